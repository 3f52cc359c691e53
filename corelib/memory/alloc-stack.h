// Per-thread allocator stacks. Each thread that allocates without naming a context has a
// 1 KiB stack of current allocators, handed out from a pool of at most 256 stacks whose
// storage the host provides. On a worker thread the job's current allocator also lives in
// job local storage, so that it follows the job to whichever worker resumes it.
#pragma once

#include "corelib/memory/memory-context.h"
#include "corelib/util/types.h"

namespace Memory
{
class Allocator;

// One thread's stack of current allocators (exactly 1 KiB).
struct AllocStack
{
    static constexpr U32 kMaxAllocatorStackDepth = 31;

    struct Entry
    {
        Allocator* m_pAllocator;
        const char* m_sourceFile;
        const char* m_sourceFunction;
        U32 m_sourceLine;
        U32 m_context; // kAllocUnknown when an allocator was pushed directly
    };

    Entry m_entries[kMaxAllocatorStackDepth];
    U32 m_allocatorStackSize;
    U8 m_padding[1024 - kMaxAllocatorStackDepth * sizeof(Entry) - sizeof(U32)];
};
static_assert(sizeof(AllocStack::Entry) == 32, "allocator stack entries are 32 bytes");
static_assert(sizeof(AllocStack) == 1024, "allocator stacks are 1 KiB");

constexpr U32 kMaxAllocStacks = 256;

// Hands the pool its storage (numStacks consecutive stacks, at most 256) and search mode
// (1 = continue after the most recently handed-out stack, otherwise lowest free first).
// Call before the first stack is taken; the storage must outlive every stack.
void SetAllocStackPool(AllocStack* pStorage, U32 numStacks, U32 searchMode);

// Takes a free stack from the pool (empty).
AllocStack* AllocateAllocStack();
// Gives a stack back to the pool.
void FreeAllocStack(AllocStack* pAllocStack);
// Gives the calling thread a stack from the pool.
void InitializeThreadAllocStack();
// Gives the calling thread's stack back to the pool.
void FreeThreadAllocStack();
// Sets (or with null, clears) the calling thread's stack without touching the pool.
void SetThreadAllocStack(AllocStack* pAllocStack);
// The calling thread's stack, or null.
AllocStack* GetThreadAllocStack();
// Copies the size and the used entries.
void CopyAllocStack(AllocStack* pDst, const AllocStack* pSrc);

// Makes the allocator current for the calling thread (or job).
void PushAllocator(Allocator* pAllocator, const char* file, U32 line, const char* function);
// Makes the context's allocator current for the calling thread (or job).
void PushAllocator(Context context, const char* file, U32 line, const char* function);
// Undoes the last push; returns the allocator it removed.
Allocator* PopAllocator();
// The current allocator: the job's on a worker, else the stack top, else the kAllocInvalid slot.
Allocator* TopAllocator();
U32 GetAllocatorStackDepth();
// Suppresses allocation-failure reports for the calling job (worker threads only; nests).
void PushDontAssertOnAllocFail();
void PopDontAssertOnAllocFail();

// Sets the pending location only when none is pending (the context forms of operator new
// record their caller this way, without overriding an explicit SetAllocSourceLocation).
void SetAllocSourceLocationIfUnset(const char* file, U32 line, const char* function);
// Releases the calling thread's pending allocation source location and resets it; null
// parts read "UNKNOWN". Used by the operator new family.
void TakeAllocSourceLocation(const char** pFile, U32* pLine, const char** pFunction);
} // namespace Memory
