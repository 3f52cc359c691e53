#include "corelib/memory/scoped-temp-allocator.h"

#include "corelib/containers/hashtable.h"
#include "corelib/memory/alloc-stack.h"
#include "corelib/memory/allocator-heap.h"
#include "corelib/memory/scoped-temp-owner.h"
#include "corelib/system/platform/mutex.h"
#include "corelib/util/bit-array.h"
#include "corelib/util/bitmath.h"
#include "corelib/util/msg-assert.h"
#include "corelib/util/msg.h"
#include "corelib/util/static-init-order.h"

#include <cinttypes>
#include <cstring>
#include <new>

namespace
{
constexpr U32 kWallMagic[4] = {0x12348888u, 0x56789999u, 0xC0DEC0DEu, 0xAABBAABBu};
constexpr U32 kNumOwnerBuckets = 64;
constexpr U64 kBlockSizeMask = ~static_cast<U64>(1023);

// Who took a block, for the out-of-blocks dump.
struct ScopedTempSlot
{
    const char* m_sourceFile;
    U32 m_sourceLine;
    const char* m_sourceFunc;
};

using OwnerTable = HashTable<I64, HeapAllocator*>;

// The system's process-wide state. The walls sit before, between and after the parts a
// stray write is most likely to hit: the bookkeeping and the allocator objects.
struct ScopedTempData
{
    ScopedTempData()
    {
        for (HeapAllocator& allocator : m_allocators)
            allocator.SetName("ScopedTempAllocator");
        CreateLock();
        SetWalls();
    }

    void CreateLock()
    {
        oxsys::MutexDesc desc;
        desc.SetName("ScopedTempLock");
        oxsys::CreateMutex(desc, m_mutex);
    }

    void SetWalls()
    {
        m_wallBefore.Set();
        m_wallMiddle.Set();
        m_wallAfter.Set();
    }

    void VerifyWalls() const
    {
        m_wallBefore.Verify();
        m_wallMiddle.Verify();
        m_wallAfter.Verify();
    }

    ScopedTempMemoryWall m_wallBefore;
    BitArray<kMaxBlocks> m_usageMask;
    U64 m_numBlocks = 0;
    U64 m_blockSize = 0;
    U8* m_pMemoryStart = nullptr;
    U64 m_availableSize = 0;
    I64 m_lastIndex = -1;
    ScopedTempSlot m_slots[kMaxBlocks] = {};
    ScopedTempMemoryWall m_wallMiddle;
    HeapAllocator m_allocators[kMaxBlocks];
    // The owner table lives in raw storage: built here, taken down by
    // ShutdownScopedTempAllocSystem only, never by a destructor at process exit, when the
    // allocator its usage bits came from may already be gone with the host's main.
    alignas(OwnerTable) U8 m_ownerTableStorage[sizeof(OwnerTable)];
    OwnerTable& m_ownerTable = *new (m_ownerTableStorage) OwnerTable();
    // The table's buckets and nodes live here; only its node-usage word is allocated.
    alignas(16) U8 m_ownerBuckets[OwnerTable::GetBucketMemorySize(kNumOwnerBuckets)];
    alignas(16) U8 m_ownerNodes[kMaxBlocks * sizeof(OwnerTable::Node)];
    U32 m_peakSinceQuery = 0;
    U32 m_peakEver = 0;
    oxsys::Mutex m_mutex;
    ScopedTempMemoryWall m_wallAfter;
};
static_assert(sizeof(OwnerTable::Node) == 32, "owner table nodes are 32 bytes");

ScopedTempData s_scopedTempData OX_INIT_PRIORITY(kInitRankScopedTempState);

// Holds "ScopedTempLock" for the lifetime of the scope.
class ScopedTempLockJanitor
{
public:
    ScopedTempLockJanitor() { s_scopedTempData.m_mutex.Lock(); }
    ~ScopedTempLockJanitor() { s_scopedTempData.m_mutex.Unlock(); }
    ScopedTempLockJanitor(const ScopedTempLockJanitor&) = delete;
    ScopedTempLockJanitor& operator=(const ScopedTempLockJanitor&) = delete;
};

const char* TextOrNull(const char* text)
{
    return text ? text : "<null>";
}

// Lists who holds every slot on the error channel, then fails: an owner found no free block.
OX_COLD void ReportOutOfBlocks(const char* sourceFile, U32 sourceLine, const char* sourceFunc)
{
    ScopedTempData& data = s_scopedTempData;
    SetActiveMsgOutput(kMsgChannelError);
    for (U32 slot = 0; slot < kMaxBlocks; ++slot)
    {
        const ScopedTempSlot& record = data.m_slots[slot];
        PrintError("%.2d %s:%d %s\n", static_cast<int>(slot), TextOrNull(record.m_sourceFile),
                   static_cast<int>(record.m_sourceLine), TextOrNull(record.m_sourceFunc));
    }
    const U64 mask = data.m_usageMask.GetBlocks()[0];
    OX_ASSERT_FAIL(
        "Ran out of scoped temp allocators trying to create a new one at %s:%d %s. Mask 0x%.16" PRIx64
        " (%d) see TTY for dump of current allocators",
        sourceFile, static_cast<int>(sourceLine), sourceFunc, mask,
        static_cast<int>(data.m_usageMask.CountSetBits()));
}
} // namespace

void ScopedTempMemoryWall::Set()
{
    for (U32 i = 0; i < 4; ++i)
        m_magic[i] = kWallMagic[i];
}

void ScopedTempMemoryWall::Verify() const
{
    OX_ASSERT(m_magic[0] == 0x12348888);
    OX_ASSERT(m_magic[1] == 0x56789999);
    OX_ASSERT(m_magic[2] == 0xC0DEC0DE);
    OX_ASSERT(m_magic[3] == 0xAABBAABB);
}

void InitializeScopedTempAllocSystem(void* buffer, U64 size, U64 numBlocks)
{
    ScopedTempData& data = s_scopedTempData;
    OX_ASSERT(numBlocks <= kMaxBlocks);
    // Zero blocks would divide by zero below and leave a system no scope can use.
    OX_ASSERT(numBlocks > 0);
    OX_ASSERT(buffer != nullptr || size == 0);
    // Shutdown destroyed the lock; the system's static construction made the first one.
    if (!data.m_mutex.IsInitialized())
        data.CreateLock();

    ScopedTempLockJanitor lock;
    data.m_ownerTable.Init(kNumOwnerBuckets, kMaxBlocks, data.m_ownerBuckets, data.m_ownerNodes,
                           Memory::kAllocSystemDirect, __FILE__, __LINE__, __func__);
    data.m_pMemoryStart = static_cast<U8*>(buffer);
    data.m_availableSize = size;
    data.m_numBlocks = numBlocks;
    data.m_blockSize = (size / numBlocks) & kBlockSizeMask;
    data.m_usageMask.GetBlocks()[0] = 0;
    data.m_lastIndex = -1;
    std::memset(data.m_slots, 0, sizeof(data.m_slots));
    data.m_peakSinceQuery = 0;
    data.m_peakEver = 0;
    data.SetWalls();
}

void ShutdownScopedTempAllocSystem()
{
    ScopedTempData& data = s_scopedTempData;
    OX_ASSERT(s_scopedTempData.m_usageMask.AreAllBitsClear());
    data.m_ownerTable.Shutdown();
    data.m_pMemoryStart = nullptr;
    data.m_availableSize = 0;
    data.m_blockSize = 0;
    data.m_numBlocks = 0;
    // Every bit set: a scope that starts before the next initialisation finds no block.
    data.m_usageMask.GetBlocks()[0] = ~static_cast<U64>(0);
    oxsys::DestroyMutex(data.m_mutex);
    data.VerifyWalls();
}

HeapAllocator* GetScopedTempAllocatorForOwner(I64 key)
{
    ScopedTempData& data = s_scopedTempData;
    ScopedTempLockJanitor lock;
    if (!data.m_ownerTable.IsInitialized())
        return nullptr;
    const OwnerTable::Iterator findIter = data.m_ownerTable.Find(key);
    return findIter != data.m_ownerTable.end() ? findIter->m_value : nullptr;
}

U32 TakeScopedTempPeak()
{
    ScopedTempData& data = s_scopedTempData;
    ScopedTempLockJanitor lock;
    const U32 peak = data.m_peakSinceQuery;
    if (peak > data.m_peakEver)
        data.m_peakEver = peak;
    // The new period starts with the blocks still in use, not with zero: they are busy in it too.
    data.m_peakSinceQuery = data.m_usageMask.CountSetBits();
    return peak;
}

U32 GetScopedTempPeakEver()
{
    ScopedTempLockJanitor lock;
    return s_scopedTempData.m_peakEver;
}

U64 GetScopedTempBlockSize()
{
    return s_scopedTempData.m_blockSize;
}

U64 GetScopedTempNumBlocks()
{
    return s_scopedTempData.m_numBlocks;
}

namespace
{
// The owner's allocator: the one its enclosing scope holds, else a free block's (then
// *pTookBlock is set), else null after the out-of-blocks report.
HeapAllocator* TakeOwnerAllocator(I64 key, const char* sourceFile, U32 sourceLine, const char* sourceFunc,
                                  bool* pTookBlock)
{
    ScopedTempData& data = s_scopedTempData;
    ScopedTempLockJanitor lock;
    data.VerifyWalls();
    HeapAllocator* pAllocInst = nullptr;
    const OwnerTable::Iterator findIter = data.m_ownerTable.IsInitialized()
                                              ? data.m_ownerTable.Find(key)
                                              : OwnerTable::Iterator{nullptr, nullptr};
    if (findIter.m_pNode && findIter != data.m_ownerTable.end())
    {
        pAllocInst = findIter->m_value;
    }
    else
    {
        const I64 blockIndex = data.m_usageMask.FindFirstClearBit();
        if (blockIndex < 0 || static_cast<U64>(blockIndex) >= data.m_numBlocks)
            ReportOutOfBlocks(sourceFile, sourceLine, sourceFunc);
        else
        {
            data.m_usageMask.SetBit(static_cast<U64>(blockIndex));
            data.m_lastIndex = blockIndex;
            data.m_slots[blockIndex] = ScopedTempSlot{sourceFile, sourceLine, sourceFunc};
            pAllocInst = &data.m_allocators[blockIndex];
            pAllocInst->Init(data.m_pMemoryStart + static_cast<U64>(blockIndex) * data.m_blockSize,
                             data.m_blockSize, HeapAllocator::kResetNone);
            // Only the owner ever uses its block.
            pAllocInst->SetThreadSafe(false);
            data.m_ownerTable.Insert(key, pAllocInst);
            *pTookBlock = true;
        }
    }
    data.VerifyWalls();
    const U32 blocksInUse = data.m_usageMask.CountSetBits();
    if (blocksInUse > data.m_peakSinceQuery)
        data.m_peakSinceQuery = blocksInUse;
    return pAllocInst;
}

// Gives the owner's block back.
void ReleaseOwnerBlock(I64 key, HeapAllocator* pAllocInst)
{
    ScopedTempData& data = s_scopedTempData;
    ScopedTempLockJanitor lock;
    data.VerifyWalls();
    const OwnerTable::Iterator findIter = data.m_ownerTable.Find(key);
    const OwnerTable::Iterator endIter = data.m_ownerTable.end();
    // A scope must end with the owner that began it (the same thread, or the same job).
    OX_ASSERT(findIter != endIter);
    OX_ASSERT(findIter->m_value == pAllocInst);
    data.m_ownerTable.Erase(findIter);
    const U64 blockIndex = static_cast<U64>(pAllocInst - data.m_allocators);
    OX_ASSERT(blockIndex < s_scopedTempData.m_numBlocks);
    OX_ASSERT(s_scopedTempData.m_usageMask.IsBitSet(blockIndex));
    data.m_usageMask.ClearBit(blockIndex);
    data.VerifyWalls();
}
} // namespace

void ScopedTempAllocator::Init(bool pushAllocator, const char* sourceFile, U32 sourceLine,
                               const char* sourceFunc)
{
    OX_ASSERT(sourceFile && strlen(sourceFile) > 0);
    OX_ASSERT(sourceFunc && strlen(sourceFunc) > 0);
    // A scope holds one allocator; a second Init would lose track of the first.
    OX_ASSERT(m_pAllocInst == nullptr);
    bool tookBlock = false;
    HeapAllocator* pAllocInst =
        TakeOwnerAllocator(GetScopedTempOwnerKey(), sourceFile, sourceLine, sourceFunc, &tookBlock);
    OX_ASSERT(pAllocInst);
    if (!pAllocInst)
        return;
    m_tookBlock = tookBlock ? 1 : 0;
    if (pushAllocator)
    {
        Memory::PushAllocator(pAllocInst, sourceFile, sourceLine, sourceFunc);
        m_pushedAllocator = 1;
    }
    m_pAllocInst = pAllocInst;
    m_entryMarker = pAllocInst->GetMarker();
}

ScopedTempAllocator::~ScopedTempAllocator()
{
    HeapAllocator* pAllocInst = m_pAllocInst;
    if (m_pushedAllocator)
    {
        OX_ASSERT(pAllocInst);
        OX_ASSERT(Memory::TopAllocator() == pAllocInst);
        Memory::PopAllocator();
    }
    if (!m_skipRewind && pAllocInst)
        pAllocInst->FreeToMarker(m_entryMarker);
    if (m_tookBlock)
        ReleaseOwnerBlock(GetScopedTempOwnerKey(), pAllocInst);
}

void* ScopedTempAllocator::Allocate(U64 size, U64 alignment, const char* file, U32 line, const char* function)
{
    OX_ASSERT(m_pAllocInst);
    return m_pAllocInst->Allocate(size, alignment, file, line, function);
}

U64 ScopedTempAllocator::GetFreeSize() const
{
    return m_pAllocInst ? m_pAllocInst->GetFreeSize() : 0;
}
