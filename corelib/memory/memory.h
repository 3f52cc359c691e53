// Allocation routing: the calling thread's allocator stack decides where an unqualified
// allocation goes; explicit contexts go to the registry. Also the allocation hooks an
// online-services library may be given, and the context, alignment and memory-map forms
// of operator new. (Replacing the global operator new/delete is a separate, opt-in
// library: corelib::memory_new.)
#pragma once

#include "corelib/memory/alloc-stack.h"
#include "corelib/memory/allocator.h"
#include "corelib/memory/memory-context.h"
#include "corelib/memory/memory-map.h"
#include "corelib/util/call-site.h"
#include "corelib/util/types.h"

#include <atomic>
#include <cstddef>
#include <new>

namespace Memory
{
// Allocates from the current allocator: the job's on a worker, else the top of the
// thread's stack; null on a non-worker thread without a stack or with an empty one.
void* Allocate(U64 size, U64 alignment, const char* file, U32 line, const char* function);
// Frees a block through the allocator that owns it (each allocator on the thread's stack
// asked with FreeIfOwned, then the registry); null and unowned pointers are ignored, or
// reported under strict checks.
void Free(void* p, const char* file, U32 line, const char* function);
// Frees a block only when the context's allocator owns it.
void FreeInContext(void* p, const Context& context, const char* file, U32 line, const char* function);
// The allocator that owns p (thread stack first, then the registry from the top), or null.
Allocator* FindAllocatorForPtr(const void* p);
// The same; *pInSomeRange tells whether any allocator had p inside its range, owner or not.
Allocator* FindAllocatorForPtr(const void* p, bool* pInSomeRange);
// Sets the source location the next operator new of this thread reports.
void SetAllocSourceLocation(const char* file, U32 line, const char* function);
// Allocates the whole budget of a memory map entry from its context; null without one.
void* AllocateFromMemoryMap(U32 id, const char* file, U32 line, const char* function);
// Calls Reset on the context's allocator.
void ResetAllocator(const Context& context, bool keep);

// Allocation hooks for an online-services library, served by the kAllocNetwork allocator.
void* EosAllocate(U64 size, U64 alignment);
void* EosReallocate(void* p, U64 size, U64 alignment);
void EosRelease(void* p);

// The allocation behind the context forms of operator new.
void* NewHandler(std::size_t size, const Context& context, U64 alignment, bool isArray, bool noThrow);

// Strict checks, off by default. When on, Memory::Free reports a pointer no allocator
// owns and a block freed twice, PoolAllocator blocks carry guard bytes checked when they
// are freed, and Memory::Allocate reports a call before the memory map is set or on a
// thread without an allocator stack instead of returning null. Every report names the
// caller's file and line (and the allocation's site where it is known).
void SetStrictChecks(bool enable);
// The switch itself, read on every allocation: use SetStrictChecks and GetStrictChecks.
inline std::atomic<bool> g_strictChecks{false};
inline bool GetStrictChecks()
{
    return g_strictChecks.load(std::memory_order_relaxed);
}

// Debug switches: trace pushes and pops on channel 1; log frees of one context on
// channel 23 (kAllocInvalid = off).
void SetAllocatorStackTrace(bool enable);
bool GetAllocatorStackTrace();
void SetFreeLogContext(Context context);
Context GetFreeLogContext();
} // namespace Memory

// Context, alignment and memory-map forms of operator new. Memory they return is
// released with Memory::Free (or the replaced global delete of corelib::memory_new). The
// context forms record where they were called (the call site their last parameter
// defaults to), so reports and trackers name the caller's file and line; a location set
// with SetAllocSourceLocation just before takes precedence.
void* operator new(std::size_t size, Alignment alignment);
void* operator new[](std::size_t size, Alignment alignment);
void* operator new (std::size_t size, Memory::Context context, CallSite where = {});
void* operator new[](std::size_t size, Memory::Context context, CallSite where = {});
void* operator new (std::size_t size, Memory::Context context, Alignment alignment, CallSite where = {});
void* operator new[](std::size_t size, Memory::Context context, Alignment alignment, CallSite where = {});
void* operator new (std::size_t size, Memory::Context context, const std::nothrow_t&,
                    CallSite where = {}) noexcept;
void* operator new[](std::size_t size, Memory::Context context, const std::nothrow_t&,
                     CallSite where = {}) noexcept;
void* operator new (std::size_t size, Memory::Context context, Alignment alignment, const std::nothrow_t&,
                    CallSite where = {}) noexcept;
void* operator new[](std::size_t size, Memory::Context context, Alignment alignment, const std::nothrow_t&,
                     CallSite where = {}) noexcept;
void* operator new(std::size_t size, U32 memoryMapId);
void* operator new[](std::size_t size, U32 memoryMapId);
void* operator new(std::size_t size, U32 memoryMapId, const std::nothrow_t&) noexcept;
void* operator new[](std::size_t size, U32 memoryMapId, const std::nothrow_t&) noexcept;

// Matching placement deletes: called only when a constructor throws after one of the above.
void operator delete(void* p, Alignment alignment) noexcept;
void operator delete[](void* p, Alignment alignment) noexcept;
void operator delete(void* p, Memory::Context context, CallSite) noexcept;
void operator delete[](void* p, Memory::Context context, CallSite) noexcept;
void operator delete(void* p, Memory::Context context, Alignment alignment, CallSite) noexcept;
void operator delete[](void* p, Memory::Context context, Alignment alignment, CallSite) noexcept;
void operator delete(void* p, Memory::Context context, const std::nothrow_t&, CallSite) noexcept;
void operator delete[](void* p, Memory::Context context, const std::nothrow_t&, CallSite) noexcept;
void operator delete(void* p, Memory::Context context, Alignment alignment, const std::nothrow_t&,
                     CallSite) noexcept;
void operator delete[](void* p, Memory::Context context, Alignment alignment, const std::nothrow_t&,
                       CallSite) noexcept;
void operator delete(void* p, U32 memoryMapId) noexcept;
void operator delete[](void* p, U32 memoryMapId) noexcept;
void operator delete(void* p, U32 memoryMapId, const std::nothrow_t&) noexcept;
void operator delete[](void* p, U32 memoryMapId, const std::nothrow_t&) noexcept;
