// Test helpers: a Memory::Allocator over a MemoryPoolMalloc (the pool embedded as the first
// member after the base, the way the debug validation switch expects), and a scope that
// gives the calling thread an allocator stack and registers allocators for contexts.
#pragma once

#include "corelib/memory/alloc-stack.h"
#include "corelib/memory/allocator.h"
#include "corelib/memory/bigmalloc.h"
#include "corelib/memory/memory-map.h"

#include <memory>
#include <vector>

class TestPoolAllocator : public Memory::Allocator
{
public:
    explicit TestPoolAllocator(U32 size, const char* name = "TestPool")
        : Memory::Allocator(name), m_storage(new U64[size / 8])
    {
        m_pool.Init(m_storage.get(), static_cast<I32>(size));
    }

    void Reset(bool) override {}
    void* Allocate(U64 size, U64 alignment, const char* file, U32 line, const char* function) override
    {
        void* p = size < 0x7FFFFFFF ? m_pool.Malloc(static_cast<I32>(size), alignment, 0) : nullptr;
        ++m_numAllocations;
        PostAllocate(p, size, alignment, 0, file, line, function);
        return p;
    }
    void Free(void* p, const char* file, U32 line, const char* function) override
    {
        const U32 size = m_pool.GetAllocSize(p);
        m_pool.Free(p);
        ++m_numFrees;
        PostFree(p, file, line, function, size);
    }
    bool IsInitialized() override { return m_pool.GetMemory() != nullptr; }
    bool IsValidPtr(const void* p) override { return m_pool.IsValidPtr(p); }
    bool IsPtrInRange(const void* p) override { return m_pool.IsPtrInRange(p); }
    U64 GetTotalSize() override { return m_pool.GetMemSize(); }
    U64 GetFreeSize() override { return m_pool.GetFreeSize(); }
    U64 GetAllocSize(const void* p) override { return m_pool.GetAllocSize(const_cast<void*>(p)); }

    MemoryPoolMalloc& GetPool() { return m_pool; }

    // Must stay the first member: the validation switch finds the pool right after the base.
    MemoryPoolMalloc m_pool;
    std::unique_ptr<U64[]> m_storage;
    U32 m_numAllocations = 0;
    U32 m_numFrees = 0;
};

// Gives the calling thread an allocator stack for the scope and unregisters the
// allocators it registered.
class TestMemoryScope
{
public:
    TestMemoryScope()
    {
        Memory::SetAllocStackPool(s_stacks, 4, 0);
        Memory::InitializeThreadAllocStack();
    }
    ~TestMemoryScope()
    {
        for (Memory::Context context : m_registered)
            Memory::RegisterAllocator(context, nullptr);
        Memory::FreeThreadAllocStack();
        Memory::SetAllocStackPool(nullptr, 0, 0);
    }
    void Register(Memory::Context context, Memory::Allocator* pAllocator)
    {
        Memory::RegisterAllocator(context, pAllocator);
        m_registered.push_back(context);
    }

private:
    static inline Memory::AllocStack s_stacks[4];
    std::vector<Memory::Context> m_registered;
};
