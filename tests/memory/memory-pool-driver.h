// Drives a MemoryPoolMalloc with a stream of malloc / free / resize / realloc /
// free-check operations and checks every result against an independent record of the
// live blocks: alignment, containment in the pool, byte patterns that reveal overlap,
// the agreement of CanAlloc and FreeCheckCanAlloc with Malloc, the running totals, and
// a full Validate after every step. Shared by the randomized test and the fuzzer.
#pragma once

#include "corelib/memory/bigmalloc.h"

#include <cstring>
#include <memory>

class MemoryPoolDriver
{
public:
    // Receives the description of a failed check.
    using FailHandler = void (*)(const char* what);

    static constexpr U32 kMaxLiveBlocks = 96;

    MemoryPoolDriver(U32 poolSize, FailHandler fail)
        : m_storage(new U64[poolSize / 8]), m_poolSize(poolSize), m_fail(fail)
    {
        m_pool.Init(m_storage.get(), static_cast<I32>(poolSize));
    }

    ~MemoryPoolDriver() { m_pool.Shutdown(); }

    MemoryPoolMalloc& GetPool() { return m_pool; }
    U32 GetNumLive() const { return m_numLive; }

    // One operation: op selects it, a and b are its (already random) arguments.
    void Step(U32 op, U32 a, U32 b)
    {
        switch (op % 8)
        {
        case 0:
        case 1:
        case 2:
            DoMalloc(SizeFrom(a), AlignmentFrom(b));
            break;
        case 3:
        case 4:
            DoFree(a);
            break;
        case 5:
            DoResize(a, SizeFrom(b));
            break;
        case 6:
            DoRealloc(a, SizeFrom(b), AlignmentFrom(a >> 8));
            break;
        default:
            DoFreeCheck(a, SizeFrom(b), AlignmentFrom(b >> 16));
            break;
        }
        CheckPool();
    }

    // Frees every live block, checking each, and expects a pool as fresh as after Init.
    void FreeEverything()
    {
        while (m_numLive)
            DoFree(0);
        CheckPool();
        Check(m_pool.GetFreeSize() == m_poolSize - 32, "free size after freeing everything");
        Check(m_pool.GetNumFreeAllocationUnits() == 1, "one free node after freeing everything");
        Check(m_pool.GetOverheadSize() == 64, "overhead after freeing everything");
    }

private:
    struct Block
    {
        U8* m_pData;
        U32 m_size;
        U8 m_pattern;
        U32 m_userData;
    };

    void Check(bool ok, const char* what)
    {
        if (!ok)
            m_fail(what);
    }

    // Mostly small requests, sometimes large ones, sometimes zero or negative.
    I32 SizeFrom(U32 value) const
    {
        switch (value % 16)
        {
        case 0:
            return 0;
        case 1:
            return -static_cast<I32>((value >> 4) % 64);
        case 2:
        case 3:
            return static_cast<I32>((value >> 4) % (m_poolSize / 4));
        default:
            return static_cast<I32>((value >> 4) % 512);
        }
    }

    static U64 AlignmentFrom(U32 value) { return U64{1} << (value % 9); }

    U8 NextPattern() { return static_cast<U8>(++m_patternCounter * 37 + 11); }

    void Fill(const Block& block) { std::memset(block.m_pData, block.m_pattern, block.m_size); }

    void Verify(const Block& block, U32 bytes)
    {
        for (U32 i = 0; i < bytes; ++i)
        {
            if (block.m_pData[i] != block.m_pattern)
            {
                m_fail("block contents changed: blocks overlap or a header was written into user data");
                return;
            }
        }
    }

    bool InPool(const void* p, U32 size) const
    {
        const U8* pByte = static_cast<const U8*>(p);
        const U8* pMem = static_cast<const U8*>(m_pool.GetMemory());
        return pByte >= pMem + 16 && pByte + size <= pMem + m_poolSize - 32;
    }

    static U32 Usable(I32 size) { return size <= 0 ? 1u : static_cast<U32>(size); }

    void Record(void* p, U32 size)
    {
        Block& block = m_blocks[m_numLive++];
        block.m_pData = static_cast<U8*>(p);
        block.m_size = size;
        block.m_pattern = NextPattern();
        block.m_userData = m_patternCounter * 2654435761u;
        m_pool.SetUserDataForAllocation(p, block.m_userData);
        Fill(block);
    }

    void DoMalloc(I32 size, U64 alignment)
    {
        if (m_numLive == kMaxLiveBlocks)
            return;
        const bool canAlloc = m_pool.CanAlloc(size, alignment);
        void* p = m_pool.Malloc(size, alignment, 0);
        Check((p != nullptr) == canAlloc, "CanAlloc disagrees with Malloc");
        if (!p)
            return;
        Check(IsPointerAligned(p, alignment < 8 ? 8 : alignment), "Malloc result not aligned");
        Check(InPool(p, Usable(size)), "Malloc result outside the pool");
        Check(m_pool.IsValidPtr(p), "Malloc result not valid");
        Check(m_pool.GetAllocSize(p) >= Usable(size) + 16, "node smaller than the request");
        Record(p, Usable(size));
    }

    void Remove(U32 index) { m_blocks[index] = m_blocks[--m_numLive]; }

    void DoFree(U32 pick)
    {
        if (!m_numLive)
            return;
        const U32 index = pick % m_numLive;
        const Block block = m_blocks[index];
        Verify(block, block.m_size);
        Check(m_pool.GetUserDataForAllocation(block.m_pData) == block.m_userData, "user word changed");
        m_pool.Free(block.m_pData);
        Check(!m_pool.IsValidPtr(block.m_pData), "freed pointer still valid");
        Check(m_pool.GetAllocSize(block.m_pData) == 0, "freed pointer still has a size");
        Remove(index);
    }

    void DoResize(U32 pick, I32 newSize)
    {
        if (!m_numLive || newSize <= 0)
            return;
        Block& block = m_blocks[pick % m_numLive];
        const U32 nodeBefore = m_pool.GetAllocSize(block.m_pData);
        if (m_pool.ResizeAlloc(block.m_pData, newSize))
        {
            const U32 kept =
                block.m_size < static_cast<U32>(newSize) ? block.m_size : static_cast<U32>(newSize);
            Verify(block, kept);
            Check(m_pool.GetAllocSize(block.m_pData) >= static_cast<U32>(newSize) + 16,
                  "resized node too small");
            block.m_size = static_cast<U32>(newSize);
            Fill(block);
        }
        else
        {
            Check(m_pool.GetAllocSize(block.m_pData) == nodeBefore, "failed resize changed the node");
            Verify(block, block.m_size);
        }
    }

    void DoRealloc(U32 pick, I32 newSize, U64 alignment)
    {
        if (!m_numLive || newSize <= 0)
            return;
        const U32 index = pick % m_numLive;
        Block block = m_blocks[index];
        void* p = m_pool.Realloc(block.m_pData, static_cast<U32>(newSize), alignment);
        if (!p)
        {
            // The old block stays as it was.
            Check(m_pool.IsValidPtr(block.m_pData), "failed realloc lost the block");
            Verify(block, block.m_size);
            return;
        }
        Check(IsPointerAligned(p, alignment < 8 ? 8 : alignment), "Realloc result not aligned");
        Check(InPool(p, static_cast<U32>(newSize)), "Realloc result outside the pool");
        const U32 kept = block.m_size < static_cast<U32>(newSize) ? block.m_size : static_cast<U32>(newSize);
        Block moved = block;
        moved.m_pData = static_cast<U8*>(p);
        Verify(moved, kept);
        if (p != block.m_pData)
            Check(!m_pool.IsValidPtr(block.m_pData), "moved-from block still valid");
        Remove(index);
        Record(p, static_cast<U32>(newSize));
    }

    void DoFreeCheck(U32 pick, I32 size, U64 alignment)
    {
        if (!m_numLive)
            return;
        const U32 index = pick % m_numLive;
        const Block block = m_blocks[index];
        Verify(block, block.m_size);
        const bool fits = m_pool.FreeCheckCanAlloc(block.m_pData, size, alignment);
        Remove(index);
        const bool canAlloc = m_pool.CanAlloc(size, alignment);
        Check(!fits || canAlloc, "FreeCheckCanAlloc said yes but CanAlloc said no");
        DoMalloc(size, alignment);
    }

    void CheckPool()
    {
        m_pool.Validate();
        U64 allocated = 0;
        for (U32 i = 0; i < m_numLive; ++i)
            allocated += m_pool.GetAllocSize(m_blocks[i].m_pData);
        Check(allocated == m_pool.GetAllocSize(), "live node sizes do not add up to the allocated total");
        Check(m_pool.CalculateFreeSize() == m_pool.GetFreeSize(),
              "free list sum differs from the free total");
        Check(m_pool.GetNumAllocationUnits() == static_cast<I32>(m_numLive) + 1, "allocation count");
        Check(m_pool.CalculateLargestFreeBlock() <= m_pool.GetFreeSize(),
              "largest free block above free total");
    }

    std::unique_ptr<U64[]> m_storage;
    U32 m_poolSize;
    FailHandler m_fail;
    MemoryPoolMalloc m_pool;
    Block m_blocks[kMaxLiveBlocks];
    U32 m_numLive = 0;
    U32 m_patternCounter = 0;
};
