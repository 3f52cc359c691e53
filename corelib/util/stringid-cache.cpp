// The string-identifier cache: texts of identifiers, kept so that an identifier can be
// printed as its name. The cache is a hash table from identifier to text over one block
// of development memory: the table's buckets and nodes come first, the rest of the block
// is a heap for the texts. When either runs out the whole cache is emptied and filling
// starts again. Before StringIdInit builds it, remembered texts go into a fixed start-up
// table that StringIdInit then moves into the cache.
#include "corelib/util/stringid-cache.h"

#include "corelib/containers/hashtable.h"
#include "corelib/memory/alloc-stack.h"
#include "corelib/memory/allocation-tracker.h"
#include "corelib/memory/allocator-heap.h"
#include "corelib/memory/memory-map.h"
#include "corelib/memory/memory.h"
#include "corelib/system/atomic-lock.h"
#include "corelib/system/platform/mutex.h"
#include "corelib/system/running-job.h"
#include "corelib/util/msg-assert.h"
#include "corelib/util/msg.h"
#include "corelib/util/static-init-order.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>

namespace
{
constexpr U32 kStartupMaxEntries = 512;
constexpr U32 kStartupPoolSize = 8192;
constexpr int kTextBufferSize = 1024;
// Memory map entry whose budget is the size of the cache block.
constexpr U32 kSidMemoryMapId = 0x3A;
// Share of the block's bytes that becomes table nodes (32 bytes each, plus a bucket).
constexpr double kNodesPerFreeByte = 0.015;
constexpr U32 kSidTrackerCapacity = 512;
constexpr Memory::Context kStringIdTempContext = Memory::kAllocSingleFrame;

// The cache hashes an identifier by its low 32 bits: they are already well mixed.
struct SidCacheTraits
{
    static U32 Hash(const StringId64& id) { return static_cast<U32>(id.GetValue()); }
    static bool Equal(const StringId64& a, const StringId64& b) { return a == b; }
};
using SidCacheTable = HashTable<StringId64, const char*, 0, SidCacheTraits>;
static_assert(sizeof(SidCacheTable::Node) == 32, "cache nodes are 32 bytes");

struct StartupEntry
{
    U64 m_base;
    U32 m_offset; // of the text in the start-up pool
};

struct alignas(16) StringIdSystem
{
    oxsys::Mutex m_sidCacheLock;
    // Created with the cache lock under the same name; nothing takes it.
    oxsys::Mutex m_sidSecondLock;
    float m_cacheSetting = 0.4f;
    float m_counter = 0.0f;
    StringIdLookupCallback m_callback = nullptr;
    std::atomic<bool> m_suppressCallback{false};

    // The table and the tracker live in raw storage: they are built by StringIdInit and
    // taken down by StringIdShutdown only, never by a destructor at process exit, when
    // the allocators they came from may already be gone.
    alignas(SidCacheTable) U8 m_cacheStorage[sizeof(SidCacheTable)];
    alignas(GenericAllocationTracker) U8 m_trackerStorage[sizeof(GenericAllocationTracker)];
    SidCacheTable* m_pCache = nullptr;
    GenericAllocationTracker* m_pTracker = nullptr;
    HeapAllocator m_sidHeap{"StringIdCache"};
    HeapAllocator m_stringHeap{"StringIdCacheText"};
    void* m_pSidMemory = nullptr;
    Memory::Allocator* m_pSidMemoryAllocator = nullptr;

    // Guards the start-up table and the hand-over to the cache (usable before any mutex).
    OxAtomicLock m_startupLock;
    StartupEntry m_startupEntries[kStartupMaxEntries] = {};
    U32 m_numStartupEntries = 0;
    U32 m_startupPoolUsed = 0;
    char m_startupPool[kStartupPoolSize] = {};

    std::atomic<U32> m_lookupCount{0};
    std::atomic<bool> m_initialized{false};
    std::atomic<bool> m_cacheReady{false};

    StringIdSystem() { m_startupLock.Init(); }
};

StringIdSystem s_stringIdSys OX_INIT_PRIORITY(kInitRankStringIdTable);

// The memory system can serve the cache: development memory is registered and the
// calling thread can push an allocator.
bool IsMemorySystemReady()
{
    return Memory::GetAllocator(Memory::kAllocDevCpu) != nullptr &&
           (oxsys::IsJobWorkerThread() || Memory::GetThreadAllocStack() != nullptr);
}

void* AllocateTemp(Memory::Context context, U64 size)
{
    Memory::Allocator* pAllocator = Memory::GetAllocator(context);
    return pAllocator ? pAllocator->Allocate(size, 1, __FILE__, __LINE__, __func__) : nullptr;
}

// The cache lock exists from StringIdInit to StringIdShutdown.
bool HasCacheLock()
{
    return s_stringIdSys.m_initialized.load(std::memory_order_acquire) &&
           s_stringIdSys.m_sidCacheLock.IsInitialized();
}

class CacheLockJanitor
{
public:
    CacheLockJanitor() : m_locked(HasCacheLock())
    {
        if (m_locked)
            s_stringIdSys.m_sidCacheLock.Lock();
    }
    ~CacheLockJanitor()
    {
        if (m_locked)
            s_stringIdSys.m_sidCacheLock.Unlock();
    }
    CacheLockJanitor(const CacheLockJanitor&) = delete;
    CacheLockJanitor& operator=(const CacheLockJanitor&) = delete;
    bool IsLocked() const { return m_locked; }

private:
    bool m_locked;
};

void ResetCache()
{
    s_stringIdSys.m_pCache->Clear();
    s_stringIdSys.m_stringHeap.Clear();
}

// Caches text under id, or (for an empty text) does nothing; lock held.
void CacheText(U64 id, const char* text)
{
    AddStringToLocalSidCache_NoLock(StringId64(id), text);
}

// The base's text followed by suffix, cut to the text buffer; false when the base has no text.
bool FormatWithBase(StringId64 base, const char* suffix, char (&buffer)[kTextBufferSize])
{
    const char* baseText = StringIdLookup(base, true, kStringIdTempContext, false);
    if (!baseText)
        return false;
    std::snprintf(buffer, sizeof(buffer), "%s%s", baseText, suffix);
    return true;
}

// Stores a remembered text before the cache exists; false once the cache is ready.
bool RememberInStartupTable(StringId64 base, const char* text)
{
    StringIdSystem& sys = s_stringIdSys;
    // Checked before the lock as well: a lookup callback may remember texts while
    // StringIdInit holds the lock to move the table.
    if (sys.m_cacheReady.load(std::memory_order_acquire))
        return false;
    OX_ATOMIC_LOCK_SCOPE(sys.m_startupLock);
    if (sys.m_cacheReady.load(std::memory_order_acquire))
        return false;
    const U64 size = std::strlen(text) + 1;
    if (sys.m_numStartupEntries < kStartupMaxEntries && sys.m_startupPoolUsed + size <= kStartupPoolSize)
    {
        std::memcpy(sys.m_startupPool + sys.m_startupPoolUsed, text, size);
        sys.m_startupEntries[sys.m_numStartupEntries++] =
            StartupEntry{base.GetValue(), sys.m_startupPoolUsed};
        sys.m_startupPoolUsed += static_cast<U32>(size);
    }
    return true;
}

void PrintInColor(int color, const char* text)
{
    SetMsgOutputTextColor(GetActiveMsgOutput(), color);
    PrintToActiveMsgOutput("%s", text);
}

// Builds the table and the text heap over the block; false (after the fatal report)
// when the block cannot hold them.
bool BuildCache(void* pMemory, U64 size)
{
    StringIdSystem& sys = s_stringIdSys;
    sys.m_sidHeap.Init(pMemory, size);
    sys.m_sidHeap.SetAssertOnFailure(false);
    sys.m_sidHeap.GetArena().SetQuiet(true);
    sys.m_pTracker = new (sys.m_trackerStorage) GenericAllocationTracker("SID Cache", kSidTrackerCapacity);
    sys.m_sidHeap.SetTracker(sys.m_pTracker);

    const U64 freeBytes = sys.m_sidHeap.GetFreeSize();
    U32 numNodes = static_cast<U32>(static_cast<double>(freeBytes) * kNodesPerFreeByte);
    if (numNodes < 1)
        numNodes = 1;
    const U32 numBuckets = (numNodes + 15) & ~15u;
    const U64 bucketBytes = (SidCacheTable::GetBucketMemorySize(numBuckets) + 15) & ~15ull;
    const U64 nodeBytes = static_cast<U64>(numNodes) * sizeof(SidCacheTable::Node);
    void* pTableMemory = sys.m_sidHeap.Allocate(bucketBytes + nodeBytes, 16, __FILE__, __LINE__, __func__);
    const U64 textBytes = sys.m_sidHeap.GetFreeSize();
    void* pTextMemory = pTableMemory && textBytes
                            ? sys.m_sidHeap.Allocate(textBytes, 1, __FILE__, __LINE__, __func__)
                            : nullptr;
    if (!pTextMemory)
    {
        SetActiveMsgOutput(kMsgChannelError);
        PrintToActiveMsgOutput("Error: Failed to allocate sid cache heap; out of debug memory.\n");
        OX_ASSERT_MSG(pTextMemory, "Failed to allocate sid cache heap; out of debug memory.");
        return false;
    }
    sys.m_pCache = new (sys.m_cacheStorage) SidCacheTable();
    sys.m_pCache->Init(numBuckets, numNodes, pTableMemory, static_cast<U8*>(pTableMemory) + bucketBytes,
                       Memory::kAllocDevCpu, __FILE__, __LINE__, __func__);
    sys.m_stringHeap.Init(pTextMemory, textBytes);
    sys.m_stringHeap.SetAssertOnFailure(false);
    sys.m_stringHeap.GetArena().SetQuiet(true);
    return true;
}

// Takes the table, tracker and heaps down; the block goes back to its allocator.
void TearDownCache()
{
    StringIdSystem& sys = s_stringIdSys;
    if (sys.m_pCache)
    {
        sys.m_pCache->~SidCacheTable();
        sys.m_pCache = nullptr;
    }
    sys.m_stringHeap.Shutdown();
    sys.m_sidHeap.RemoveTracker();
    if (sys.m_pTracker)
    {
        sys.m_pTracker->~GenericAllocationTracker();
        sys.m_pTracker = nullptr;
    }
    sys.m_sidHeap.Shutdown();
    if (sys.m_pSidMemory)
        sys.m_pSidMemoryAllocator->Free(sys.m_pSidMemory, __FILE__, __LINE__, __func__);
    sys.m_pSidMemory = nullptr;
    sys.m_pSidMemoryAllocator = nullptr;
}

// Moves the start-up table into the cache; both locks held.
void DrainStartupTable()
{
    StringIdSystem& sys = s_stringIdSys;
    for (U32 i = 0; i < sys.m_numStartupEntries; ++i)
    {
        const StartupEntry& entry = sys.m_startupEntries[i];
        const char* text = sys.m_startupPool + entry.m_offset;
        char combined[kTextBufferSize];
        if (entry.m_base && FormatWithBase(StringId64(entry.m_base), text, combined))
            CacheText(StringId64::HashText(0, combined), combined);
        else
            CacheText(StringId64::HashText(0, text), text);
    }
    sys.m_numStartupEntries = 0;
    sys.m_startupPoolUsed = 0;
}
} // namespace

// The remember flag of StringId64 lands here: into the start-up table before the cache
// exists, else into the cache (unless the identifier is already there).
void StringId64::Remember(StringId64 base, const char* suffix) const
{
    if (RememberInStartupTable(base, suffix))
        return;
    CacheLockJanitor lock;
    if (LookupSidInLocalCache_NoLock(*this))
        return;
    char combined[kTextBufferSize];
    if (!base.IsValid())
        CacheText(m_value, suffix);
    else if (FormatWithBase(base, suffix, combined))
        CacheText(m_value, combined);
    else
        CacheText(HashText(0, suffix), suffix); // without the base's text only the suffix is known
}

void StringIdInit(float cacheSetting, StringIdLookupCallback callback)
{
    StringIdSystem& sys = s_stringIdSys;
    if (cacheSetting > 0.0f)
        sys.m_cacheSetting = cacheSetting;
    sys.m_initialized.store(true, std::memory_order_release);
    sys.m_callback = callback;
    oxsys::MutexDesc desc;
    // Recursive: a lookup made while moving the start-up table takes the lock again.
    desc.m_type = oxsys::MUTEX_RECURSIVE;
    desc.SetName("StringIdCacheLock");
    oxsys::CreateMutex(desc, sys.m_sidCacheLock);
    oxsys::CreateMutex(desc, sys.m_sidSecondLock);

    if (!IsMemorySystemReady())
        return;
    Memory::PushAllocator(Memory::kAllocDevCpu, __FILE__, __LINE__, __func__);
    const I64 size = Memory::GetMemoryMapSize(kSidMemoryMapId);
    void* pMemory =
        size > 0 ? Memory::Allocate(static_cast<U64>(size), kAlign16, __FILE__, __LINE__, __func__) : nullptr;
    bool built = false;
    if (!pMemory)
    {
        char text[128];
        std::snprintf(text, sizeof(text),
                      " !!! Failed to allocate %d bytes for SIDs - local cache unavailable !!!\n",
                      static_cast<int>(size));
        PrintInColor(3, text);
        std::snprintf(text, sizeof(text), "Failed to allocate %d bytes for SIDs\n", static_cast<int>(size));
        PrintInColor(8, text);
    }
    else
    {
        sys.m_pSidMemory = pMemory;
        sys.m_pSidMemoryAllocator = Memory::TopAllocator();
        built = BuildCache(pMemory, static_cast<U64>(size));
        if (!built)
            TearDownCache();
    }
    Memory::PopAllocator();
    if (!built)
        return;

    CacheLockJanitor lock;
    OX_ATOMIC_LOCK_SCOPE(sys.m_startupLock);
    sys.m_cacheReady.store(true, std::memory_order_release);
    DrainStartupTable();
}

void StringIdShutdown()
{
    StringIdSystem& sys = s_stringIdSys;
    if (HasCacheLock())
    {
        {
            CacheLockJanitor lock;
            sys.m_cacheReady.store(false, std::memory_order_release);
            TearDownCache();
        }
        oxsys::DestroyMutex(sys.m_sidCacheLock);
        oxsys::DestroyMutex(sys.m_sidSecondLock);
    }
    sys.m_callback = nullptr;
    sys.m_initialized.store(false, std::memory_order_release);
}

const char* StringIdLookup(StringId64 id, bool nullIfMissing, Memory::Context tempContext, bool callbackFlag)
{
    StringIdSystem& sys = s_stringIdSys;
    if (!id.IsValid())
        return nullIfMissing ? nullptr : "(null)";
    sys.m_lookupCount.fetch_add(1, std::memory_order_relaxed);
    if (sys.m_cacheReady.load(std::memory_order_acquire))
    {
        CacheLockJanitor lock;
        if (const char* text = LookupSidInLocalCache_NoLock(id))
            return text;
    }
    const StringIdLookupCallback callback = sys.m_callback;
    if (callback && !sys.m_suppressCallback.load(std::memory_order_relaxed))
    {
        char buffer[kTextBufferSize];
        buffer[0] = '\0';
        if (const char* text = callback(id, buffer, kTextBufferSize, callbackFlag))
        {
            {
                CacheLockJanitor lock;
                if (lock.IsLocked() && sys.m_cacheReady.load(std::memory_order_acquire) &&
                    !IsLocalSidCacheFull())
                {
                    if (const char* cached = AddStringToLocalSidCache_NoLock(id, text))
                        return cached;
                }
            }
            if (char* copy = static_cast<char*>(AllocateTemp(tempContext, kTextBufferSize)))
            {
                std::strncpy(copy, text, kTextBufferSize - 1);
                copy[kTextBufferSize - 1] = '\0';
                return copy;
            }
        }
    }
    return nullIfMissing ? nullptr : "(#f)";
}

const char* StringIdToString(StringId64 id)
{
    return StringIdToString(id, kStringIdTempContext);
}

const char* StringIdToString(StringId64 id, Memory::Context tempContext)
{
    if (!id.IsValid())
        return "(INVALID_STRING_ID_64)";
    if (const char* text = StringIdLookup(id, true, tempContext, false))
        return text;
    constexpr const char* kUnprintable = "#????????????????";
    if (tempContext == Memory::kAllocDevCpu && !IsMemorySystemReady())
        return kUnprintable;
    constexpr U64 kHexSize = 18;
    char* out = static_cast<char*>(AllocateTemp(tempContext, kHexSize));
    if (!out)
        return kUnprintable;
    std::snprintf(out, kHexSize, "#%.16llx", static_cast<unsigned long long>(id.GetValue()));
    return out;
}

void SetStringIdLookupSuppressed(bool suppress)
{
    s_stringIdSys.m_suppressCallback.store(suppress, std::memory_order_relaxed);
}

U32 GetStringIdLookupCount()
{
    return s_stringIdSys.m_lookupCount.load(std::memory_order_relaxed);
}

float GetStringIdCacheSetting()
{
    return s_stringIdSys.m_cacheSetting;
}

bool IsLocalSidCacheReady()
{
    return s_stringIdSys.m_cacheReady.load(std::memory_order_acquire);
}

void LockLocalSidCache()
{
    OX_ASSERT(HasCacheLock());
    s_stringIdSys.m_sidCacheLock.Lock();
}

void UnlockLocalSidCache()
{
    s_stringIdSys.m_sidCacheLock.Unlock();
}

const char* AddStringToLocalSidCache_NoLock(StringId64 id, const char* text)
{
    StringIdSystem& sys = s_stringIdSys;
    if (!sys.m_cacheReady.load(std::memory_order_acquire))
        return nullptr;
    OX_ASSERT(s_stringIdSys.m_sidCacheLock.IsLocked());
    if (!text || !*text)
        return "";
    const U64 size = std::strlen(text) + 1;
    if (!CanAllocateNewCacheEntry(size) && sys.m_pCache->GetCount() > 0)
    {
        PrintInColor(1, "StringId Cache is full! Resetting...\n");
        SetMsgOutputTextColor(GetActiveMsgOutput(), 8);
        ResetCache();
    }
    if (!CanAllocateNewCacheEntry(size))
        return nullptr;
    char* copy = static_cast<char*>(sys.m_stringHeap.Allocate(size, 1, __FILE__, __LINE__, __func__));
    if (!copy)
        return nullptr;
    std::memcpy(copy, text, size);
    const auto it = sys.m_pCache->Insert(id, copy, kHashTableReplace);
    return it == sys.m_pCache->end() ? nullptr : copy;
}

const char* LookupSidInLocalCache_NoLock(StringId64 id)
{
    StringIdSystem& sys = s_stringIdSys;
    if (!sys.m_cacheReady.load(std::memory_order_acquire))
        return nullptr;
    OX_ASSERT(s_stringIdSys.m_sidCacheLock.IsLocked());
    const auto it = sys.m_pCache->Find(id);
    return it == sys.m_pCache->end() ? nullptr : it->m_value;
}

bool CanAllocateNewCacheEntry(U64 size)
{
    StringIdSystem& sys = s_stringIdSys;
    if (!sys.m_cacheReady.load(std::memory_order_acquire))
        return false;
    OX_ASSERT(s_stringIdSys.m_sidCacheLock.IsLocked());
    if (sys.m_pCache->GetCount() >= sys.m_pCache->GetMaxNodes())
        return false;
    return sys.m_stringHeap.CanAllocate(size, 1);
}

bool IsLocalSidCacheFull()
{
    // Full when not even a one-character text fits.
    return !CanAllocateNewCacheEntry(2);
}

U64 GetLocalSidCacheCount()
{
    StringIdSystem& sys = s_stringIdSys;
    if (!sys.m_cacheReady.load(std::memory_order_acquire))
        return 0;
    CacheLockJanitor lock;
    return sys.m_pCache->GetCount();
}
