// DemoPoolAllocator: the demo's general-purpose allocator, a Memory::Allocator over a
// MemoryPoolMalloc that manages one block the host hands it. Thread safe (the pool's own
// lock), so jobs on any worker may use it.
#pragma once

#include "corelib/memory/allocator.h"
#include "corelib/memory/bigmalloc.h"

class DemoPoolAllocator final : public Memory::Allocator
{
public:
    explicit DemoPoolAllocator(const char* name);

    // Manages the block (8-byte aligned, a multiple of 8 bytes and below 2 GiB); the caller
    // keeps owning it and releases it after Shutdown.
    void Init(void* pBlock, U64 size);
    void Shutdown() override;

    void Reset(bool keep) override {}
    void* Allocate(U64 size, U64 alignment, const char* file, U32 line, const char* function) override;
    void Free(void* p, const char* file, U32 line, const char* function) override;
    bool IsInitialized() override { return m_pool.GetMemory() != nullptr; }
    bool IsValidPtr(const void* p) override { return m_pool.IsValidPtr(p); }
    bool IsPtrInRange(const void* p) override { return m_pool.IsPtrInRange(p); }
    void* GetMemoryBase() override { return m_pool.GetMemory(); }
    U64 GetTotalSize() override { return m_pool.GetMemSize(); }
    U64 GetFreeSize() override { return m_pool.GetFreeSize(); }
    U64 GetAllocSize(const void* p) override { return m_pool.GetAllocSize(const_cast<void*>(p)); }

    // Bytes in live allocations (node headers included) and the most there ever were.
    U64 GetBytesInUse() const { return m_pool.GetAllocSize(); }
    U64 GetPeakBytesInUse() const { return m_pool.GetPeakAllocSize(); }

private:
    // The first member after the base: the pool's debug validation switch finds it there.
    MemoryPoolMalloc m_pool;
};
