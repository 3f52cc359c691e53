// The replaced global operator new/delete. Requests go to the current allocator
// (Memory::Allocate); a thread without one, or an allocator that cannot serve the
// request, falls back to the C runtime heap, so a throwing new never returns null.
// Release goes to the allocator that owns the block; a block no allocator knows came
// from the C runtime heap and goes back there instead of leaking.
#include "corelib/memory/memory.h"
#include "corelib/memory/new-operators/crt-heap.h"
#include "corelib/util/msg-assert.h"

#include <cstdlib>
#include <new>

namespace
{
constexpr U64 kDefaultNewAlignment = 16;

void* NewGlobal(std::size_t size, U64 alignment, bool noThrow)
{
    const char* file;
    U32 line;
    const char* function;
    Memory::TakeAllocSourceLocation(&file, &line, &function);
    void* p = Memory::Allocate(size, alignment, file, line, function);
    if (!p)
        p = Memory::CrtHeapAllocate(size, alignment);
    if (!p && !noThrow)
    {
        OX_ASSERT_MSG(p, "operator new: out of memory (%zu bytes)", size);
        std::abort();
    }
    return p;
}

void DeleteGlobal(void* p)
{
    if (!p)
        return;
    const char* file;
    U32 line;
    const char* function;
    Memory::TakeAllocSourceLocation(&file, &line, &function);
    bool inSomeRange = false;
    if (Memory::Allocator* pOwner = Memory::FindAllocatorForPtr(p, &inSomeRange))
        pOwner->Free(p, file, line, function);
    else if (!inSomeRange)
        Memory::CrtHeapFree(p);
    // A pointer inside an allocator's memory that it does not hold (released twice, say)
    // is counted by the lookup and left alone: the C runtime must never see it.
}
} // namespace

void* operator new(std::size_t size)
{
    return NewGlobal(size, kDefaultNewAlignment, false);
}

void* operator new[](std::size_t size)
{
    return NewGlobal(size, kDefaultNewAlignment, false);
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    return NewGlobal(size, kDefaultNewAlignment, true);
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    return NewGlobal(size, kDefaultNewAlignment, true);
}

void* operator new(std::size_t size, std::align_val_t alignment)
{
    return NewGlobal(size, static_cast<U64>(alignment), false);
}

void* operator new[](std::size_t size, std::align_val_t alignment)
{
    return NewGlobal(size, static_cast<U64>(alignment), false);
}

void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept
{
    return NewGlobal(size, static_cast<U64>(alignment), true);
}

void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept
{
    return NewGlobal(size, static_cast<U64>(alignment), true);
}

void operator delete(void* p) noexcept
{
    DeleteGlobal(p);
}

void operator delete[](void* p) noexcept
{
    DeleteGlobal(p);
}

void operator delete(void* p, std::size_t) noexcept
{
    DeleteGlobal(p);
}

void operator delete[](void* p, std::size_t) noexcept
{
    DeleteGlobal(p);
}

void operator delete(void* p, std::align_val_t) noexcept
{
    DeleteGlobal(p);
}

void operator delete[](void* p, std::align_val_t) noexcept
{
    DeleteGlobal(p);
}

void operator delete(void* p, std::size_t, std::align_val_t) noexcept
{
    DeleteGlobal(p);
}

void operator delete[](void* p, std::size_t, std::align_val_t) noexcept
{
    DeleteGlobal(p);
}

void operator delete(void* p, const std::nothrow_t&) noexcept
{
    DeleteGlobal(p);
}

void operator delete[](void* p, const std::nothrow_t&) noexcept
{
    DeleteGlobal(p);
}

void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept
{
    DeleteGlobal(p);
}

void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept
{
    DeleteGlobal(p);
}
