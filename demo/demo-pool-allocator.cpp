#include "demo/demo-pool-allocator.h"

#include "corelib/util/msg-assert.h"

DemoPoolAllocator::DemoPoolAllocator(const char* name) : Memory::Allocator(name) {}

void DemoPoolAllocator::Init(void* pBlock, U64 size)
{
    OX_ASSERT(size < 0x7FFFFFFFull);
    m_pool.Init(pBlock, static_cast<I32>(size));
    m_pool.MakeThreadSafe();
}

void DemoPoolAllocator::Shutdown()
{
    m_pool.Shutdown();
    Memory::Allocator::Shutdown();
}

void* DemoPoolAllocator::Allocate(U64 size, U64 alignment, const char* file, U32 line, const char* function)
{
    // The pool counts in signed 32-bit sizes; a larger request cannot be served.
    void* p = size < 0x7FFFFFFFull ? m_pool.Malloc(static_cast<I32>(size), alignment, 0) : nullptr;
    PostAllocate(p, size, alignment, 0, file, line, function);
    return p;
}

void DemoPoolAllocator::Free(void* p, const char* file, U32 line, const char* function)
{
    const U64 size = m_pool.GetAllocSize(p);
    m_pool.Free(p);
    PostFree(p, file, line, function, size);
}
