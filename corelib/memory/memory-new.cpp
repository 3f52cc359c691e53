// The context, alignment and memory-map forms of operator new and their placement
// deletes. Each takes the thread's pending source location (SetAllocSourceLocation) and
// resets it, so a location is reported by exactly one allocation.
#include "corelib/memory/memory.h"

#include "corelib/util/msg-assert.h"

#include <cstdlib>

namespace
{
constexpr U64 kDefaultNewAlignment = 16;

// A new-expression constructs its object at whatever a throwing form returns; a null
// there would be written through, so running out of memory ends in a report instead.
void* CheckThrowingResult(void* ptr, std::size_t size)
{
    OX_ASSERT_MSG(ptr, "operator new: out of memory (%zu bytes)", size);
    if (!ptr)
        std::abort();
    return ptr;
}

void* NewAligned(std::size_t size, U64 alignment)
{
    const char* file;
    U32 line;
    const char* function;
    Memory::TakeAllocSourceLocation(&file, &line, &function);
    return CheckThrowingResult(Memory::Allocate(size, alignment, file, line, function), size);
}

void* NewFromMemoryMap(std::size_t bytes, U32 memoryMapId, bool noThrow)
{
    const char* file;
    U32 line;
    const char* function;
    Memory::TakeAllocSourceLocation(&file, &line, &function);
    const Memory::MemoryMapEntry* pEntry = Memory::GetMemoryMapEntry(memoryMapId);
    OX_ASSERT(pEntry);
    OX_ASSERT(bytes <= static_cast<U64>(pEntry->m_size));
    Memory::Allocator* pAlloc = Memory::GetAllocator(pEntry->m_context);
    OX_ASSERT(pAlloc);
    if (noThrow)
    {
        // clang-format off
        OX_ASSERT(! pAlloc->WillAssertOnFailure());
        // clang-format on
    }
    // The entry's whole budget is handed out, whatever the object itself needs.
    void* ptr = pAlloc->Allocate(static_cast<U64>(pEntry->m_size), pEntry->m_alignment, file, line, function);
    return noThrow ? ptr : CheckThrowingResult(ptr, bytes);
}

void DeleteInMemoryMap(void* p, U32 memoryMapId)
{
    const char* file;
    U32 line;
    const char* function;
    Memory::TakeAllocSourceLocation(&file, &line, &function);
    const Memory::MemoryMapEntry* pEntry = Memory::GetMemoryMapEntry(memoryMapId);
    if (pEntry)
        Memory::FreeInContext(p, pEntry->m_context, file, line, function);
}

// The caller's position for the next context allocation, unless one was set explicitly.
void NoteNewSite(const CallSite& where)
{
    Memory::SetAllocSourceLocationIfUnset(where.m_file, where.m_line, where.m_function);
}

void DeleteAnywhere(void* p)
{
    const char* file;
    U32 line;
    const char* function;
    Memory::TakeAllocSourceLocation(&file, &line, &function);
    Memory::Free(p, file, line, function);
}
} // namespace

void* operator new(std::size_t size, Alignment alignment)
{
    return NewAligned(size, alignment);
}

void* operator new[](std::size_t size, Alignment alignment)
{
    return NewAligned(size, alignment);
}

void* operator new(std::size_t size, Memory::Context context, CallSite where)
{
    NoteNewSite(where);
    return CheckThrowingResult(Memory::NewHandler(size, context, kDefaultNewAlignment, false, false), size);
}

void* operator new[](std::size_t size, Memory::Context context, CallSite where)
{
    NoteNewSite(where);
    return CheckThrowingResult(Memory::NewHandler(size, context, kDefaultNewAlignment, true, false), size);
}

void* operator new(std::size_t size, Memory::Context context, Alignment alignment, CallSite where)
{
    NoteNewSite(where);
    return CheckThrowingResult(Memory::NewHandler(size, context, alignment, false, false), size);
}

void* operator new[](std::size_t size, Memory::Context context, Alignment alignment, CallSite where)
{
    NoteNewSite(where);
    return CheckThrowingResult(Memory::NewHandler(size, context, alignment, true, false), size);
}

void* operator new(std::size_t size, Memory::Context context, const std::nothrow_t&, CallSite where) noexcept
{
    NoteNewSite(where);
    return Memory::NewHandler(size, context, kDefaultNewAlignment, false, true);
}

void* operator new[](std::size_t size, Memory::Context context, const std::nothrow_t&,
                     CallSite where) noexcept
{
    NoteNewSite(where);
    return Memory::NewHandler(size, context, kDefaultNewAlignment, true, true);
}

void* operator new(std::size_t size, Memory::Context context, Alignment alignment, const std::nothrow_t&,
                   CallSite where) noexcept
{
    NoteNewSite(where);
    return Memory::NewHandler(size, context, alignment, false, true);
}

void* operator new[](std::size_t size, Memory::Context context, Alignment alignment, const std::nothrow_t&,
                     CallSite where) noexcept
{
    NoteNewSite(where);
    return Memory::NewHandler(size, context, alignment, true, true);
}

void* operator new(std::size_t size, U32 memoryMapId)
{
    return NewFromMemoryMap(size, memoryMapId, false);
}

void* operator new[](std::size_t size, U32 memoryMapId)
{
    return NewFromMemoryMap(size, memoryMapId, false);
}

void* operator new(std::size_t size, U32 memoryMapId, const std::nothrow_t&) noexcept
{
    return NewFromMemoryMap(size, memoryMapId, true);
}

void* operator new[](std::size_t size, U32 memoryMapId, const std::nothrow_t&) noexcept
{
    return NewFromMemoryMap(size, memoryMapId, true);
}

void operator delete(void* p, Alignment) noexcept
{
    DeleteAnywhere(p);
}

void operator delete[](void* p, Alignment) noexcept
{
    DeleteAnywhere(p);
}

void operator delete(void* p, Memory::Context, CallSite) noexcept
{
    DeleteAnywhere(p);
}

void operator delete[](void* p, Memory::Context, CallSite) noexcept
{
    DeleteAnywhere(p);
}

void operator delete(void* p, Memory::Context, Alignment, CallSite) noexcept
{
    DeleteAnywhere(p);
}

void operator delete[](void* p, Memory::Context, Alignment, CallSite) noexcept
{
    DeleteAnywhere(p);
}

void operator delete(void* p, Memory::Context, const std::nothrow_t&, CallSite) noexcept
{
    DeleteAnywhere(p);
}

void operator delete[](void* p, Memory::Context, const std::nothrow_t&, CallSite) noexcept
{
    DeleteAnywhere(p);
}

void operator delete(void* p, Memory::Context, Alignment, const std::nothrow_t&, CallSite) noexcept
{
    DeleteAnywhere(p);
}

void operator delete[](void* p, Memory::Context, Alignment, const std::nothrow_t&, CallSite) noexcept
{
    DeleteAnywhere(p);
}

void operator delete(void* p, U32 memoryMapId) noexcept
{
    DeleteInMemoryMap(p, memoryMapId);
}

void operator delete[](void* p, U32 memoryMapId) noexcept
{
    DeleteInMemoryMap(p, memoryMapId);
}

void operator delete(void* p, U32 memoryMapId, const std::nothrow_t&) noexcept
{
    DeleteInMemoryMap(p, memoryMapId);
}

void operator delete[](void* p, U32 memoryMapId, const std::nothrow_t&) noexcept
{
    DeleteInMemoryMap(p, memoryMapId);
}
