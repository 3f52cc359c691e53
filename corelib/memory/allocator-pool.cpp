// Memory::PoolAllocator: size-class pages in front of an embedded MemoryPoolMalloc, all
// inside the host's block. See allocator-pool.h for the layout and the locking.
#include "corelib/memory/allocator-pool.h"

#include "corelib/memory/memory-map.h"
#include "corelib/memory/memory.h"
#include "corelib/util/atomic-relaxed.h"
#include "corelib/util/msg-assert.h"
#include "corelib/util/source-path.h"

#include <atomic>
#include <bit>
#include <cstring>

namespace Memory
{
namespace
{
// Slot sizes of the size classes: steps of 16 up to 128, of 32 up to 256, of 64 up to 512.
constexpr U32 kClassSizes[PoolAllocator::kNumSizeClasses] = {16,  32,  48,  64,  80,  96,  112, 128,
                                                             160, 192, 224, 256, 320, 384, 448, 512};

// The size class of a request, indexed by (size + 15) / 16.
constexpr auto kClassOfGranule = []
{
    struct Table
    {
        U8 m_class[PoolAllocator::kMaxSmallSize / 16 + 1];
    } table{};
    U32 sizeClass = 0;
    for (U32 granule = 0; granule <= PoolAllocator::kMaxSmallSize / 16; ++granule)
    {
        while (kClassSizes[sizeClass] < granule * 16)
            ++sizeClass;
        table.m_class[granule] = static_cast<U8>(sizeClass);
    }
    return table;
}();

constexpr U32 kMaxSlotsPerPage = PoolAllocator::kPageSize / 16;
constexpr U32 kBitmapWords = kMaxSlotsPerPage / 64;

// What strict checks add to a block: guard bytes after the requested size, then the
// allocation site at the end of the block's usable space.
constexpr U64 kGuardBytes = 8;
constexpr U8 kGuardByte = 0xFD;
constexpr U64 kSiteCheck = 0x5A17E5C0DE5A17E5ull;
struct SiteRecord
{
    const char* m_file;
    U32 m_line;
    U32 m_size;
    U64 m_check;
};
static_assert(sizeof(SiteRecord) == 24, "the site record is 24 bytes");
constexpr U64 kStrictExtra = kGuardBytes + sizeof(SiteRecord) + 8; // + 8: rounding to the record

U64 SiteCheck(const SiteRecord& record)
{
    return kSiteCheck ^ static_cast<U64>(reinterpret_cast<UPtr>(record.m_file)) ^
           (static_cast<U64>(record.m_line) << 32) ^ record.m_size;
}

// The record of a guarded block whose usable space is usable bytes from p.
SiteRecord* SiteOf(void* p, U64 usable)
{
    return reinterpret_cast<SiteRecord*>(static_cast<U8*>(p) + ((usable - sizeof(SiteRecord)) & ~U64{7}));
}

void WriteGuard(void* p, U64 size, U64 usable, const char* file, U32 line)
{
    SiteRecord* pRecord = SiteOf(p, usable);
    std::memset(static_cast<U8*>(p) + size, kGuardByte,
                reinterpret_cast<U8*>(pRecord) - static_cast<U8*>(p) - size);
    pRecord->m_file = file;
    pRecord->m_line = line;
    pRecord->m_size = static_cast<U32>(size);
    pRecord->m_check = SiteCheck(*pRecord);
}

// The record when it is intact, else null.
const SiteRecord* ReadSite(void* p, U64 usable)
{
    const SiteRecord* pRecord = SiteOf(p, usable);
    if (pRecord->m_check != SiteCheck(*pRecord) || pRecord->m_size + kGuardBytes > usable)
        return nullptr;
    return pRecord;
}

// True when every guard byte of an intact record is still in place.
bool GuardIntact(void* p, U64 usable)
{
    const SiteRecord* pRecord = ReadSite(p, usable);
    if (!pRecord)
        return false;
    const U8* pByte = static_cast<const U8*>(p) + pRecord->m_size;
    for (; pByte < reinterpret_cast<const U8*>(pRecord); ++pByte)
        if (*pByte != kGuardByte)
            return false;
    return true;
}

// Thread slots: a thread that allocates from a thread-safe PoolAllocator claims one of
// kNumOwnedShards slots for its lifetime (the same shard index in every allocator) and
// gives it back when it ends; a thread that finds none uses the shared shard. The
// release touches only this bitmap, never an allocator (which may be gone by then).
std::atomic<U32> s_threadSlotsUsed{0};
thread_local U32 t_threadSlot = ~0u;

struct ThreadSlotRelease
{
    ~ThreadSlotRelease()
    {
        if (t_threadSlot < PoolAllocator::kNumOwnedShards)
            s_threadSlotsUsed.fetch_and(~(1u << t_threadSlot), std::memory_order_release);
        t_threadSlot = PoolAllocator::kSharedShard;
    }
};
thread_local ThreadSlotRelease t_threadSlotRelease;

OX_NOINLINE U32 ClaimThreadSlot()
{
    U32 used = s_threadSlotsUsed.load(std::memory_order_relaxed);
    for (;;)
    {
        const U32 free = ~used & ((1u << PoolAllocator::kNumOwnedShards) - 1);
        if (!free)
        {
            t_threadSlot = PoolAllocator::kSharedShard;
            return t_threadSlot;
        }
        const U32 slot = static_cast<U32>(std::countr_zero(free));
        if (s_threadSlotsUsed.compare_exchange_weak(used, used | (1u << slot), std::memory_order_acquire))
        {
            t_threadSlot = slot;
            (void)&t_threadSlotRelease; // registers the release at thread exit
            return slot;
        }
    }
}

constexpr const char* kUnknownSite = "UNKNOWN";
} // namespace

// A size-class page: this header, then slots of one size. The bitmap of live slots is
// also the free list: allocating takes the lowest clear bit at or after m_hint, freeing
// clears the bit, so neither touches the slot's own memory.
struct PoolAllocator::Page
{
    U32 m_magic;
    U16 m_sizeClass;
    U16 m_shard;
    U32 m_slotSize;
    U32 m_numSlots;
    U32 m_reciprocal; // 2^32 / slot size, rounded up: slot index without a division
    U32 m_numUsed;
    U32 m_hint; // no clear bit in the words below this one
    U32 m_onPartial;
    Page* m_pNext;
    Page* m_pPrev;
    U8* m_pSlots;
    // The state of 64 slots in one place, so that a free or a validity check of a slot
    // whose page has gone cold touches one cache line of bits.
    struct alignas(32) SlotBits
    {
        U64 m_live;    // handed out (and the bits past the last slot)
        U64 m_cached;  // freed, held in the class's cache (still set in m_live)
        U64 m_pending; // freed by another thread, waiting on the owner's remote list
        U64 m_guarded; // carrying guard bytes and a site record
    };
    SlotBits m_bits[kBitmapWords];

    // The index of the slot that starts at p, or ~0u when p starts none.
    U32 SlotIndex(const void* p) const
    {
        const U64 offset = static_cast<U64>(static_cast<const U8*>(p) - m_pSlots);
        const U32 index = static_cast<U32>((offset * m_reciprocal) >> 32);
        if (offset >= PoolAllocator::kPageSize || static_cast<U64>(index) * m_slotSize != offset ||
            index >= m_numSlots)
            return ~0u;
        return index;
    }
    bool IsLive(U32 index) const { return (LoadRelaxed(m_bits[index / 64].m_live) >> (index % 64)) & 1; }
    bool IsGuarded(U32 index) const { return (m_bits[index / 64].m_guarded >> (index % 64)) & 1; }
    bool IsPending(U32 index) const
    {
        return (LoadRelaxed(m_bits[index / 64].m_pending) >> (index % 64)) & 1;
    }
    bool IsCached(U32 index) const { return (LoadRelaxed(m_bits[index / 64].m_cached) >> (index % 64)) & 1; }
    // Handed out and not freed since: live, neither cached nor waiting for its owner.
    bool IsInUse(U32 index) const { return IsLive(index) && !IsCached(index) && !IsPending(index); }
    void SetBit(U64 SlotBits::*bits, U32 index, bool value)
    {
        U64& word = m_bits[index / 64].*bits;
        const U64 mask = U64{1} << (index % 64);
        const U64 old = LoadRelaxed(word);
        StoreRelaxed(word, value ? old | mask : old & ~mask);
    }
};

PoolAllocator::PoolAllocator(const char* name) : Allocator(name)
{
    // Ready before SetThreadSafe(true), whenever the host calls it.
    for (Shard& shard : m_shards)
        shard.m_lock.Init();
}

PoolAllocator::~PoolAllocator()
{
    if (m_pBlock)
        DeclareAllocatorRange(this, nullptr, nullptr);
}

void PoolAllocator::Init(void* memory, U64 size, bool threadSafe)
{
    OX_ASSERT(m_pBlock == nullptr);
    OX_ASSERT(memory != nullptr);
    OX_ASSERT_MSG(size <= kMaxBlockSize, "PoolAllocator %s: a block of %llu bytes is larger than %llu",
                  m_name ? m_name : "", static_cast<unsigned long long>(size),
                  static_cast<unsigned long long>(kMaxBlockSize));
    const UPtr begin = (reinterpret_cast<UPtr>(memory) + 15) & ~UPtr{15};
    const UPtr end = (reinterpret_cast<UPtr>(memory) + size) & ~UPtr{15};
    OX_ASSERT_MSG(end > begin && end - begin >= 1024, "PoolAllocator %s: a block of %llu bytes is too small",
                  m_name ? m_name : "", static_cast<unsigned long long>(size));
    m_pBlock = static_cast<U8*>(memory);
    m_blockSize = size;
    m_pPoolMem = reinterpret_cast<U8*>(begin);
    m_poolSize = static_cast<U32>(end - begin);
    m_pageBase = begin & ~static_cast<UPtr>(kPageSize - 1);
    m_numPages = static_cast<U32>((end - m_pageBase + kPageSize - 1) / kPageSize);
    SetThreadSafe(threadSafe);
    LayOut();
    DeclareAllocatorRange(this, m_pPoolMem, m_pPoolMem + m_poolSize);
}

void PoolAllocator::LayOut()
{
    m_pool.Init(m_pPoolMem, static_cast<I32>(m_poolSize));
    m_pageMagic = m_pool.GetMagic() ^ 0x9A6E9A6Eu;
    m_pPageMap = static_cast<U8*>(m_pool.Malloc(static_cast<I32>(m_numPages), 8, 0));
    OX_ASSERT(m_pPageMap);
    std::memset(m_pPageMap, 0, m_numPages);
    for (Shard& shard : m_shards)
    {
        shard.m_pRemoteFree.store(nullptr, std::memory_order_relaxed);
        for (ClassList& list : shard.m_classes)
            list = ClassList{};
    }
}

void PoolAllocator::Shutdown()
{
    if (m_pBlock)
        m_pool.Shutdown();
    m_pBlock = nullptr;
    m_blockSize = 0;
    m_pPoolMem = nullptr;
    m_poolSize = 0;
    m_pPageMap = nullptr;
    m_numPages = 0;
    for (Shard& shard : m_shards)
        for (ClassList& list : shard.m_classes)
            list = ClassList{};
    Allocator::Shutdown();
    DeclareAllocatorRange(this, nullptr, nullptr);
}

void PoolAllocator::Reset(bool) {}

void PoolAllocator::Clear()
{
    if (m_pBlock)
    {
        Lock();
        LayOut();
        Unlock();
    }
    Allocator::Clear();
}

OX_FORCEINLINE U32 PoolAllocator::ShardIndex() const
{
    if (!m_isThreadSafe)
        return 0;
    const U32 slot = t_threadSlot;
    return OX_LIKELY(slot <= kSharedShard) ? slot : ClaimThreadSlot();
}

void PoolAllocator::LockShard(U32 index)
{
    if (index == kSharedShard)
        m_shards[index].m_lock.AcquireLock(__FILE__, __LINE__, m_name ? m_name : "PoolAllocator");
}

void PoolAllocator::UnlockShard(U32 index)
{
    if (index == kSharedShard)
        m_shards[index].m_lock.Release();
}

void* PoolAllocator::Allocate(U64 size, U64 alignment, const char* file, U32 line, const char* function)
{
    OX_ASSERT_MSG(m_pBlock, "PoolAllocator %s: Allocate before Init", m_name ? m_name : "");
    const bool guarded = GetStrictChecks();
    const U64 need = guarded ? size + kStrictExtra : (size ? size : 1);
    void* p;
    if (need <= kMaxSmallSize && alignment <= 16 && m_pBlock)
        p = AllocateSmall(kClassOfGranule.m_class[(need + 15) / 16], size, guarded, file, line);
    else
        p = AllocateLarge(size, alignment, guarded, file, line);
    if (OX_UNLIKELY(!p || m_pTracker))
    {
        // PostAllocate expects the allocator's lock held (its failure report releases it).
        Lock();
        PostAllocate(p, size, alignment, 0, file, line, function);
        Unlock();
    }
    return p;
}

OX_FORCEINLINE void* PoolAllocator::AllocateSmall(U32 sizeClass, U64 size, bool guarded, const char* file,
                                                  U32 line)
{
    const U32 shardIndex = ShardIndex();
    Shard& shard = m_shards[shardIndex];
    LockShard(shardIndex);
    ClassList& list = shard.m_classes[sizeClass];
    U8* p;
    Page* pPage;
    U32 index;
    if (OX_LIKELY(list.m_cacheCount != 0))
    {
        // The most recently freed slot of the class: its page header is still warm.
        p = static_cast<U8*>(list.m_cache[--list.m_cacheCount]);
        pPage = FindPage(p);
        index = pPage->SlotIndex(p);
        pPage->SetBit(&Page::SlotBits::m_cached, index, false);
    }
    else
    {
        pPage = list.m_pCurrent;
        if (OX_UNLIKELY(!pPage || pPage->m_numUsed == pPage->m_numSlots))
            pPage = TakePage(shard, sizeClass, shardIndex);
        if (OX_UNLIKELY(!pPage))
        {
            // No room for another page: the pool serves the request itself.
            UnlockShard(shardIndex);
            return AllocateLarge(size, 16, guarded, file, line);
        }
        U32 word = pPage->m_hint;
        while (pPage->m_bits[word].m_live == ~U64{0})
            ++word;
        pPage->m_hint = word;
        const U64 bits = pPage->m_bits[word].m_live;
        index = word * 64 + static_cast<U32>(std::countr_one(bits));
        StoreRelaxed(pPage->m_bits[word].m_live, bits | (bits + 1));
        StoreRelaxed(pPage->m_numUsed, pPage->m_numUsed + 1);
        p = pPage->m_pSlots + static_cast<U64>(index) * pPage->m_slotSize;
    }
    if (OX_UNLIKELY(guarded != pPage->IsGuarded(index)))
        pPage->SetBit(&Page::SlotBits::m_guarded, index, guarded);
    UnlockShard(shardIndex);
    if (guarded)
        WriteGuard(p, size, pPage->m_slotSize, file, line);
    return p;
}

PoolAllocator::Page* PoolAllocator::TakePage(Shard& shard, U32 sizeClass, U32 shardIndex)
{
    // Blocks other threads gave back may make a new page unnecessary.
    if (shard.m_pRemoteFree.load(std::memory_order_relaxed))
    {
        TakeRemoteFrees(shard);
        Page* pCurrent = shard.m_classes[sizeClass].m_pCurrent;
        if (pCurrent && pCurrent->m_numUsed < pCurrent->m_numSlots)
            return pCurrent;
    }
    ClassList& list = shard.m_classes[sizeClass];
    if (Page* pPage = list.m_pPartial)
    {
        list.m_pPartial = pPage->m_pNext;
        if (pPage->m_pNext)
            pPage->m_pNext->m_pPrev = nullptr;
        pPage->m_onPartial = 0;
        list.m_pCurrent = pPage;
        return pPage;
    }
    Lock();
    void* pMemory = m_pool.Malloc(static_cast<I32>(kPageSize), kPageSize, 0);
    Unlock();
    if (!pMemory)
        return nullptr;
    Page* pPage = static_cast<Page*>(pMemory);
    std::memset(pPage, 0, sizeof(Page));
    pPage->m_magic = m_pageMagic;
    pPage->m_sizeClass = static_cast<U16>(sizeClass);
    pPage->m_shard = static_cast<U16>(shardIndex);
    pPage->m_slotSize = kClassSizes[sizeClass];
    pPage->m_pSlots = reinterpret_cast<U8*>(pPage) + ((sizeof(Page) + 15) & ~size_t{15});
    pPage->m_numSlots =
        static_cast<U32>((reinterpret_cast<U8*>(pPage) + kPageSize - pPage->m_pSlots) / pPage->m_slotSize);
    pPage->m_reciprocal = static_cast<U32>(((U64{1} << 32) + pPage->m_slotSize - 1) / pPage->m_slotSize);
    // The bits past the last slot read as live, so the search never hands them out.
    for (U32 index = pPage->m_numSlots; index < kMaxSlotsPerPage; ++index)
        pPage->m_bits[index / 64].m_live |= U64{1} << (index % 64);
    const U64 pageIndex = (reinterpret_cast<UPtr>(pPage) - m_pageBase) / kPageSize;
    std::atomic_ref<U8>(m_pPageMap[pageIndex]).store(1, std::memory_order_release);
    list.m_pCurrent = pPage;
    return pPage;
}

void PoolAllocator::ReleasePage(Shard& shard, Page* pPage)
{
    ClassList& list = shard.m_classes[pPage->m_sizeClass];
    if (pPage->m_pPrev)
        pPage->m_pPrev->m_pNext = pPage->m_pNext;
    else
        list.m_pPartial = pPage->m_pNext;
    if (pPage->m_pNext)
        pPage->m_pNext->m_pPrev = pPage->m_pPrev;
    const U64 pageIndex = (reinterpret_cast<UPtr>(pPage) - m_pageBase) / kPageSize;
    std::atomic_ref<U8>(m_pPageMap[pageIndex]).store(0, std::memory_order_release);
    pPage->m_magic = 0;
    Lock();
    m_pool.Free(pPage);
    Unlock();
}

void* PoolAllocator::AllocateLarge(U64 size, U64 alignment, bool guarded, const char* file, U32 line)
{
    const U64 need = guarded ? size + kStrictExtra : size;
    if (need >= 0x7FFFFFF0 || !m_pBlock)
        return nullptr;
    Lock();
    void* p = m_pool.Malloc(static_cast<I32>(need), alignment, guarded ? 1 : 0);
    Unlock();
    if (p && guarded)
        WriteGuard(p, size, m_pool.GetAllocSize(p) - sizeof(MemoryPoolMalloc::NodeHeader), file, line);
    return p;
}

OX_FORCEINLINE PoolAllocator::Page* PoolAllocator::FindPage(const void* p) const
{
    const U64 pageIndex = (reinterpret_cast<UPtr>(p) - m_pageBase) / kPageSize;
    if (pageIndex >= m_numPages ||
        !std::atomic_ref<U8>(m_pPageMap[pageIndex]).load(std::memory_order_acquire))
        return nullptr;
    return reinterpret_cast<Page*>(m_pageBase + pageIndex * kPageSize);
}

void PoolAllocator::Free(void* p, const char* file, U32 line, const char* function)
{
    if (!p)
        return;
    OX_ASSERT_MSG(IsPtrInRange(p), "PoolAllocator %s: %p is not in its block (freed in %s:%u)",
                  m_name ? m_name : "", p, SourceFileName(file ? file : kUnknownSite), line);
    if (Page* pPage = FindPage(p))
        FreeSmall(pPage, p, file, line, function);
    else
        FreeLarge(p, file, line, function);
}

PoolAllocator::FreeResult PoolAllocator::FreeIfOwned(void* p, const char* file, U32 line,
                                                     const char* function)
{
    if (!IsPtrInRange(p))
        return FreeResult::kNotInRange;
    if (Page* pPage = FindPage(p))
    {
        const U32 index = pPage->SlotIndex(p);
        if (index == ~0u || !pPage->IsInUse(index))
            return FreeResult::kInRangeNotValid;
        FreeSmall(pPage, p, file, line, function);
        return FreeResult::kFreed;
    }
    if (!IsValidPtr(p))
        return FreeResult::kInRangeNotValid;
    FreeLarge(p, file, line, function);
    return FreeResult::kFreed;
}

OX_FORCEINLINE void PoolAllocator::FreeSmall(Page* pPage, void* p, const char* file, U32 line,
                                             const char* function)
{
    const U32 shardIndex = pPage->m_shard;
    if (m_isThreadSafe && shardIndex != kSharedShard && shardIndex != ShardIndex())
    {
        FreeRemote(pPage, p, file, line);
    }
    else
    {
        Shard& shard = m_shards[shardIndex];
        LockShard(shardIndex);
        const bool freed = FreeSlot(shard, pPage, p, file, line);
        UnlockShard(shardIndex);
        if (!freed)
            return;
    }
    if (OX_UNLIKELY(m_pTracker || GetFreeLogContext().GetValue() != 0))
    {
        Lock();
        PostFree(p, file, line, function, kClassSizes[pPage->m_sizeClass]);
        Unlock();
    }
}

bool PoolAllocator::FreeSlot(Shard& shard, Page* pPage, void* p, const char* file, U32 line)
{
    const U32 index = pPage->SlotIndex(p);
    if (OX_UNLIKELY(index == ~0u || !pPage->IsInUse(index)))
    {
        UnlockShard(pPage->m_shard);
        ReportInvalidFree(p, file, line);
        LockShard(pPage->m_shard);
        return false;
    }
    const U64 slotSize = pPage->m_slotSize;
    if (OX_UNLIKELY(pPage->IsGuarded(index)) && !GuardIntact(p, slotSize))
    {
        UnlockShard(pPage->m_shard);
        ReportOverrun(p, slotSize, file, line);
        LockShard(pPage->m_shard);
        return false;
    }
    ClassList& list = shard.m_classes[pPage->m_sizeClass];
    if (OX_UNLIKELY(list.m_cacheCount == kCacheSize))
    {
        // Half of the cache goes back to its pages, the oldest first.
        for (U32 i = 0; i < kCacheSize / 2; ++i)
        {
            Page* pCachedPage = FindPage(list.m_cache[i]);
            const U32 cachedIndex = pCachedPage->SlotIndex(list.m_cache[i]);
            pCachedPage->SetBit(&Page::SlotBits::m_cached, cachedIndex, false);
            ReleaseSlot(shard, pCachedPage, cachedIndex);
        }
        std::memmove(list.m_cache, list.m_cache + kCacheSize / 2,
                     sizeof(void*) * (kCacheSize - kCacheSize / 2));
        list.m_cacheCount = kCacheSize - kCacheSize / 2;
    }
    pPage->SetBit(&Page::SlotBits::m_cached, index, true);
    list.m_cache[list.m_cacheCount++] = p;
    return true;
}

void PoolAllocator::ReleaseSlot(Shard& shard, Page* pPage, U32 index)
{
    pPage->SetBit(&Page::SlotBits::m_live, index, false);
    if (index / 64 < pPage->m_hint)
        pPage->m_hint = index / 64;
    const U32 numUsed = pPage->m_numUsed - 1;
    StoreRelaxed(pPage->m_numUsed, numUsed);
    ClassList& list = shard.m_classes[pPage->m_sizeClass];
    if (pPage != list.m_pCurrent)
    {
        if (numUsed == 0)
        {
            if (!pPage->m_onPartial)
            {
                pPage->m_pPrev = nullptr;
                pPage->m_pNext = nullptr;
            }
            ReleasePage(shard, pPage);
        }
        else if (!pPage->m_onPartial)
        {
            // Full until now: it can serve allocations again.
            pPage->m_onPartial = 1;
            pPage->m_pPrev = nullptr;
            pPage->m_pNext = list.m_pPartial;
            if (list.m_pPartial)
                list.m_pPartial->m_pPrev = pPage;
            list.m_pPartial = pPage;
        }
    }
}

void PoolAllocator::FreeRemote(Page* pPage, void* p, const char* file, U32 line)
{
    // The owner alone changes the page; this thread marks the slot pending (catching a
    // second free) and leaves it on the owner's list.
    const U32 index = pPage->SlotIndex(p);
    const U64 mask = U64{1} << (index % 64);
    if (OX_UNLIKELY(index == ~0u || !pPage->IsLive(index) || pPage->IsCached(index) ||
                    (std::atomic_ref<U64>(pPage->m_bits[index / 64].m_pending)
                         .fetch_or(mask, std::memory_order_relaxed) &
                     mask)))
    {
        ReportInvalidFree(p, file, line);
        return;
    }
    if (OX_UNLIKELY(pPage->IsGuarded(index)) && !GuardIntact(p, pPage->m_slotSize))
    {
        ReportOverrun(p, pPage->m_slotSize, file, line);
        return;
    }
    std::atomic<void*>& head = m_shards[pPage->m_shard].m_pRemoteFree;
    void* pHead = head.load(std::memory_order_relaxed);
    do
        *static_cast<void**>(p) = pHead;
    while (!head.compare_exchange_weak(pHead, p, std::memory_order_release, std::memory_order_relaxed));
}

void PoolAllocator::TakeRemoteFrees(Shard& shard)
{
    void* p = shard.m_pRemoteFree.exchange(nullptr, std::memory_order_acquire);
    while (p)
    {
        void* pNext = *static_cast<void**>(p);
        Page* pPage = FindPage(p);
        const U32 index = pPage->SlotIndex(p);
        std::atomic_ref<U64>(pPage->m_bits[index / 64].m_pending)
            .fetch_and(~(U64{1} << (index % 64)), std::memory_order_relaxed);
        FreeSlot(shard, pPage, p, "PoolAllocator remote free", 0);
        p = pNext;
    }
}

void PoolAllocator::FreeLarge(void* p, const char* file, U32 line, const char* function)
{
    Lock();
    if (OX_UNLIKELY(!m_pool.IsValidPtr(p)))
    {
        Unlock();
        ReportInvalidFree(p, file, line);
        return;
    }
    const U64 usable = m_pool.GetAllocSize(p) - sizeof(MemoryPoolMalloc::NodeHeader);
    if (OX_UNLIKELY(m_pool.GetUserDataForAllocation(p) == 1) && !GuardIntact(p, usable))
    {
        Unlock();
        ReportOverrun(p, usable, file, line);
        return;
    }
    m_pool.Free(p);
    if (m_pTracker || GetFreeLogContext().GetValue() != 0)
        PostFree(p, file, line, function, usable);
    Unlock();
}

void PoolAllocator::ReportOverrun(void* p, U64 usable, const char* file, U32 line) const
{
    const SiteRecord* pSite = ReadSite(p, usable);
    OX_ASSERT_AS_MSG(false, "guard bytes intact",
                     "PoolAllocator %s: write past the end of the block at %p, found freeing it in %s:%u "
                     "(allocated in %s:%u)",
                     m_name ? m_name : "", p, SourceFileName(file ? file : kUnknownSite), line,
                     pSite ? SourceFileName(pSite->m_file ? pSite->m_file : kUnknownSite) : kUnknownSite,
                     pSite ? pSite->m_line : 0u);
}

void PoolAllocator::ReportInvalidFree(const void* p, const char* file, U32 line)
{
    // A freed slot keeps its site record (only its first word is reused); a freed pool
    // node keeps it while its header survives.
    const char* allocFile = kUnknownSite;
    U32 allocLine = 0;
    bool freedBefore = false;
    if (Page* pPage = FindPage(p))
    {
        const U32 index = pPage->SlotIndex(p);
        freedBefore = index != ~0u;
        if (freedBefore && pPage->IsGuarded(index))
            if (const SiteRecord* pSite = ReadSite(const_cast<void*>(p), pPage->m_slotSize))
            {
                allocFile = pSite->m_file;
                allocLine = pSite->m_line;
            }
    }
    else if (IsPtrInRange(p) && IsPointerAligned(p, kAlign8) &&
             static_cast<const U8*>(p) >= m_pPoolMem + sizeof(MemoryPoolMalloc::NodeHeader))
    {
        const auto* pHeader = reinterpret_cast<const MemoryPoolMalloc::NodeHeader*>(
            static_cast<const U8*>(p) - sizeof(MemoryPoolMalloc::NodeHeader));
        freedBefore = pHeader->m_magic == m_pool.GetMagic() && pHeader->m_size > 0 &&
                      pHeader->m_size != MemoryPoolMalloc::kSentinel;
        if (freedBefore && pHeader->m_userData == 1 &&
            static_cast<U64>(pHeader->m_size) > sizeof(MemoryPoolMalloc::Node) + sizeof(SiteRecord))
            if (const SiteRecord* pSite =
                    ReadSite(const_cast<void*>(p),
                             static_cast<U64>(pHeader->m_size) - sizeof(MemoryPoolMalloc::NodeHeader)))
            {
                allocFile = pSite->m_file;
                allocLine = pSite->m_line;
            }
    }
    if (allocLine == 0 && m_pTracker)
    {
        const U64 address = static_cast<U64>(reinterpret_cast<UPtr>(p));
        if (m_pTracker->FindAllocation(address))
        {
            allocFile = m_pTracker->GetAllocationFile(address);
            allocLine = m_pTracker->GetAllocationLine(address);
        }
    }
    OX_ASSERT_AS_MSG(false, "IsValidPtr(p)", "PoolAllocator %s: %p %s, freed in %s:%u (allocated in %s:%u)",
                     m_name ? m_name : "", p,
                     freedBefore ? "was freed before" : "is not a block it handed out",
                     SourceFileName(file ? file : kUnknownSite), line,
                     SourceFileName(allocFile ? allocFile : kUnknownSite), allocLine);
}

bool PoolAllocator::IsPtrInRange(const void* p)
{
    return static_cast<const U8*>(p) >= m_pPoolMem && static_cast<const U8*>(p) < m_pPoolMem + m_poolSize;
}

bool PoolAllocator::IsValidPtr(const void* p)
{
    if (!IsPtrInRange(p))
        return false;
    if (const Page* pPage = FindPage(p))
    {
        const U32 index = pPage->SlotIndex(p);
        return index != ~0u && pPage->IsInUse(index);
    }
    Lock();
    const bool valid = m_pool.IsValidPtr(p);
    Unlock();
    return valid;
}

U64 PoolAllocator::GetAllocSize(const void* p)
{
    if (!IsPtrInRange(p))
        return 0;
    if (const Page* pPage = FindPage(p))
    {
        const U32 index = pPage->SlotIndex(p);
        return index != ~0u && pPage->IsInUse(index) ? pPage->m_slotSize : 0;
    }
    Lock();
    const U32 nodeSize = m_pool.IsValidPtr(p) ? m_pool.GetAllocSize(const_cast<void*>(p)) : 0;
    Unlock();
    return nodeSize ? nodeSize - sizeof(MemoryPoolMalloc::NodeHeader) : 0;
}

bool PoolAllocator::CanAllocate(U64 size, U64 alignment)
{
    if (!m_pBlock || size >= 0x7FFFFFF0)
        return false;
    if (size <= kMaxSmallSize && alignment <= 16)
        return true; // a slot or, failing that, the pool; a guess for the slot case
    Lock();
    const bool can = m_pool.CanAlloc(static_cast<I32>(size), alignment);
    Unlock();
    return can;
}

U64 PoolAllocator::GetFreeSize()
{
    if (!m_pBlock)
        return 0;
    Lock();
    U64 freeSize = m_pool.GetFreeSize();
    Unlock();
    for (U32 i = 0; i < m_numPages; ++i)
        if (const Page* pPage = FindPage(reinterpret_cast<const void*>(m_pageBase + i * kPageSize)))
            freeSize +=
                static_cast<U64>(pPage->m_numSlots - LoadRelaxed(pPage->m_numUsed)) * pPage->m_slotSize;
    return freeSize;
}

U64 PoolAllocator::GetLargestFreeBlock()
{
    if (!m_pBlock)
        return 0;
    Lock();
    const U64 largest = m_pool.CalculateLargestFreeBlock();
    Unlock();
    return largest;
}

U64 PoolAllocator::GetNumAllocations() const
{
    if (!m_pBlock)
        return 0;
    U64 count = static_cast<U64>(m_pool.GetNumAllocationUnits()) - 2; // less the end node and the page map
    for (U32 i = 0; i < m_numPages; ++i)
        if (const Page* pPage = FindPage(reinterpret_cast<const void*>(m_pageBase + i * kPageSize)))
        {
            --count; // the page's own pool node
            for (U32 index = 0; index < pPage->m_numSlots; ++index)
                count += pPage->IsInUse(index) ? 1 : 0;
        }
    return count;
}

void PoolAllocator::ReportSmallFailure(const Page* pPage, const char* message) const
{
    OX_ASSERT_AS_MSG(false, "PoolAllocator::Validate()", "PoolAllocator %s: size-class page @ %p: %s",
                     m_name ? m_name : "", static_cast<const void*>(pPage), message);
}

bool PoolAllocator::Validate()
{
    if (!m_pBlock)
        return true;
    Lock();
    const bool poolValid = m_pool.Validate();
    Unlock();
    if (!poolValid)
        return false;
    for (U32 shardIndex = 0; shardIndex <= kSharedShard; ++shardIndex)
    {
        LockShard(shardIndex);
        for (const ClassList& list : m_shards[shardIndex].m_classes)
            for (const Page* pPage = list.m_pPartial; pPage; pPage = pPage->m_pNext)
                if (!pPage->m_onPartial)
                    ReportSmallFailure(pPage, "on a partial list without its mark");
        UnlockShard(shardIndex);
    }
    for (U32 i = 0; i < m_numPages; ++i)
    {
        Page* pPage = FindPage(reinterpret_cast<const void*>(m_pageBase + i * kPageSize));
        if (!pPage)
            continue;
        const U32 shardIndex = pPage->m_shard <= kSharedShard ? pPage->m_shard : 0;
        LockShard(shardIndex);
        const char* failure = nullptr;
        U32 live = 0;
        for (const Page::SlotBits& bits : pPage->m_bits)
            live += static_cast<U32>(std::popcount(bits.m_live));
        live -= kMaxSlotsPerPage - pPage->m_numSlots; // the bits past the last slot
        if (pPage->m_magic != m_pageMagic)
            failure = "magic corrupted";
        else if (pPage->m_sizeClass >= kNumSizeClasses ||
                 pPage->m_slotSize != kClassSizes[pPage->m_sizeClass])
            failure = "size class corrupted";
        else if (pPage->m_numSlots > kMaxSlotsPerPage || pPage->m_hint >= kBitmapWords)
            failure = "slot count corrupted";
        else if (live != pPage->m_numUsed)
            failure = "live slot count does not match the bitmap";
        UnlockShard(shardIndex);
        if (failure)
        {
            ReportSmallFailure(pPage, failure);
            return false;
        }
    }
    return true;
}
} // namespace Memory
