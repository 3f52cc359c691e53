// Memory::PoolAllocator: a ready-made general-purpose allocator over one block the host
// hands it. Small requests (up to kMaxSmallSize bytes, alignment up to 16) are served
// from size-class pages carved out of the block: each page holds slots of one size, a
// free list and a bitmap of live slots, so allocating and freeing are a few loads and
// stores. Everything else, and the pages themselves, come from an embedded
// MemoryPoolMalloc over the same block. Nothing outside the block is used.
//
// When thread safe, each of the first kNumOwnedShards threads that allocate (over the
// whole process) owns a shard of size-class pages in every PoolAllocator and allocates
// and frees there without any lock or atomic read-modify-write. A block freed by another
// thread is pushed on the owning shard's lock-free list of remote frees, which the owner
// takes over when it next needs a page. A thread's shard passes to the next thread once
// it has ended. Threads beyond the first kNumOwnedShards share one shard under a lock.
// The embedded pool is guarded by the allocator's own lock (Allocator::Lock), so
// SetThreadSafe(true) makes the whole allocator safe.
//
// With Memory::SetStrictChecks(true), new blocks carry guard bytes after the requested
// size and a record of their allocation site; freeing such a block checks the guard and
// reports a write past its end with both the freeing and the allocating site.
#pragma once

#include "corelib/memory/allocator.h"
#include "corelib/memory/bigmalloc.h"
#include "corelib/system/atomic-lock.h"
#include "corelib/util/types.h"

#include <atomic>

namespace Memory
{
class PoolAllocator final : public Allocator
{
public:
    // Requests up to this size (and alignment up to 16) are served from size-class pages.
    static constexpr U64 kMaxSmallSize = 512;
    // Size-class pages are this large and aligned to their size.
    static constexpr U64 kPageSize = 16384;
    static constexpr U32 kNumSizeClasses = 16;
    // Sets of size-class pages owned by one thread each, and the one shared by the rest.
    static constexpr U32 kNumOwnedShards = 8;
    static constexpr U32 kSharedShard = kNumOwnedShards;
    // The largest block the allocator manages (the embedded pool's limit).
    static constexpr U64 kMaxBlockSize = 0x7FFFFFF0;

    // The name is kept by pointer and must outlive the allocator.
    explicit PoolAllocator(const char* name);
    ~PoolAllocator() override;

    // Manages the block (any alignment; at least 64 KiB is useful, at most kMaxBlockSize).
    // The host keeps owning the block and releases it after Shutdown.
    void Init(void* memory, U64 size, bool threadSafe);
    // Forgets the block and every allocation in it.
    void Shutdown() override;

    // Nothing: a pool frees block by block, not by frame.
    void Reset(bool keep) override;
    // Frees every allocation at once (the block is laid out afresh).
    void Clear() override;
    void* Allocate(U64 size, U64 alignment, const char* file, U32 line, const char* function) override;
    void Free(void* p, const char* file, U32 line, const char* function) override;
    FreeResult FreeIfOwned(void* p, const char* file, U32 line, const char* function) override;
    bool IsInitialized() override { return m_pBlock != nullptr; }
    // True when p is the address of a live allocation.
    bool IsValidPtr(const void* p) override;
    // True when p lies in the host's block.
    bool IsPtrInRange(const void* p) override;
    bool CanAllocate(U64 size, U64 alignment) override;
    void* GetMemoryBase() override { return m_pBlock; }
    U64 GetTotalSize() override { return m_blockSize; }
    // Bytes not handed out: the embedded pool's free bytes plus the free slots of the pages.
    U64 GetFreeSize() override;
    U64 GetLargestFreeBlock() override;
    Alignment GetDefaultAlignment() override { return kAlign16; }
    // The usable size behind p (its slot or pool node), 0 when p is not a live allocation.
    U64 GetAllocSize(const void* p) override;

    // Checks the embedded pool and every size-class page; a failure ends in the report.
    // Call it while no other thread allocates from this allocator.
    bool Validate();
    // The number of live allocations.
    U64 GetNumAllocations() const;
    // Reports a pointer this allocator does not hold as live: a block freed before (with
    // its allocation site when strict checks recorded one) or an address inside no block.
    void ReportInvalidFree(const void* p, const char* file, U32 line);

private:
    struct Page;
    // Freed slots a class keeps at hand before they go back to their pages.
    static constexpr U32 kCacheSize = 16;
    struct ClassList
    {
        Page* m_pCurrent = nullptr; // where allocations go when the cache is empty
        Page* m_pPartial = nullptr; // other pages with free slots
        U32 m_cacheCount = 0;
        void* m_cache[kCacheSize] = {};
    };
    struct alignas(64) Shard
    {
        OxAtomicLock m_lock;                // taken for the shared shard only
        std::atomic<void*> m_pRemoteFree{}; // blocks freed by other threads, not yet taken back
        ClassList m_classes[kNumSizeClasses];
    };

    void* AllocateSmall(U32 sizeClass, U64 size, bool guarded, const char* file, U32 line);
    void* AllocateLarge(U64 size, U64 alignment, bool guarded, const char* file, U32 line);
    void FreeSmall(Page* pPage, void* p, const char* file, U32 line, const char* function);
    // Returns a slot to its page; the caller owns the page's shard (or holds its lock).
    bool FreeSlot(Shard& shard, Page* pPage, void* p, const char* file, U32 line);
    // Gives a live slot back to its page's bitmap (and the page to the pool once empty).
    void ReleaseSlot(Shard& shard, Page* pPage, U32 index);
    void FreeRemote(Page* pPage, void* p, const char* file, U32 line);
    void TakeRemoteFrees(Shard& shard);
    void FreeLarge(void* p, const char* file, U32 line, const char* function);
    Page* TakePage(Shard& shard, U32 sizeClass, U32 shardIndex);
    void ReleasePage(Shard& shard, Page* pPage);
    Page* FindPage(const void* p) const;
    // The calling thread's shard: 0 when not thread safe, else its own or the shared one.
    U32 ShardIndex() const;
    void LockShard(U32 index);
    void UnlockShard(U32 index);
    void LayOut();
    // Reports guard bytes found overwritten when p was freed (usable: its usable size).
    void ReportOverrun(void* p, U64 usable, const char* file, U32 line) const;
    void ReportSmallFailure(const Page* pPage, const char* message) const;

    // Must stay the first member: the debug validation switch finds the pool right after the base.
    MemoryPoolMalloc m_pool;
    U8* m_pBlock = nullptr;   // the host's block as handed in
    U64 m_blockSize = 0;      // and its size
    U8* m_pPoolMem = nullptr; // the part the embedded pool manages
    U32 m_poolSize = 0;
    UPtr m_pageBase = 0;      // address of page index 0
    U8* m_pPageMap = nullptr; // one byte per page: 1 when it is a size-class page
    U32 m_numPages = 0;
    U32 m_pageMagic = 0;
    Shard m_shards[kNumOwnedShards + 1];
};
} // namespace Memory
