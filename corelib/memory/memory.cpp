// Allocation routing: Memory::Allocate and Free, pointer ownership lookups, memory-map
// allocations and the allocation hooks of the online-services library.
#include "corelib/memory/memory.h"

#include "corelib/memory/allocator-pool.h"
#include "corelib/memory/memory-job-local.h"
#include "corelib/system/running-job.h"
#include "corelib/util/msg-assert.h"
#include "corelib/util/source-path.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace Memory
{
namespace
{
Context s_freeLogContext = kAllocInvalid;

// The hooks report under this file name, whatever the build's paths.
constexpr const char* kEosFile = "corelib/memory/memory";
constexpr const char* kEosAllocateFunction =
    "void *__cdecl Memory::EosAllocate(unsigned __int64,unsigned __int64)";
constexpr const char* kEosReallocateFunction =
    "void *__cdecl Memory::EosReallocate(void *,unsigned __int64,unsigned __int64)";
constexpr const char* kEosReleaseFunction = "void __cdecl Memory::EosRelease(void *)";

bool Owns(Allocator* pAllocator, const void* p)
{
    return pAllocator && pAllocator->IsPtrInRange(p) && pAllocator->IsValidPtr(p);
}

const char* FileName(const char* file)
{
    return SourceFileName(file ? file : "UNKNOWN");
}

// Under strict checks: why an allocation had no allocator to go to.
OX_NOINLINE void ReportNoAllocator(const char* what, const char* file, U32 line)
{
    OX_ASSERT_AS_MSG(false, "pAllocator", "Memory::Allocate %s (called from %s:%u)", what, FileName(file),
                     line);
}

// Under strict checks: a free that no allocator owns. An allocator that has the pointer
// in its range says what it knows (freed before, and where it was allocated).
OX_NOINLINE void ReportUnownedFree(void* p, const char* file, U32 line)
{
    const AllocStack* pAllocStack = GetThreadAllocStack();
    for (U32 i = pAllocStack ? pAllocStack->m_allocatorStackSize : 0; i > 0; --i)
        if (auto* pPool = dynamic_cast<PoolAllocator*>(pAllocStack->m_entries[i - 1].m_pAllocator))
            if (pPool->IsPtrInRange(p))
                return pPool->ReportInvalidFree(p, file, line);
    for (U32 slot = kMaxAllocators; slot > 0; --slot)
        if (auto* pPool = dynamic_cast<PoolAllocator*>(GetAllocator(Context(slot - 1))))
            if (pPool->IsPtrInRange(p))
                return pPool->ReportInvalidFree(p, file, line);
    OX_ASSERT_AS_MSG(false, "FindAllocatorForPtr(p)",
                     "Memory::Free of %p, which no allocator owns (freed twice, or never allocated here), "
                     "called from %s:%u",
                     p, FileName(file), line);
}
} // namespace

void SetStrictChecks(bool enable)
{
    g_strictChecks.store(enable, std::memory_order_relaxed);
}

void* Allocate(U64 size, U64 alignment, const char* file, U32 line, const char* function)
{
    if (size == 0)
        size = 1;
    Allocator* pAllocator = nullptr;
    if (oxsys::IsJobWorkerThread())
    {
        pAllocator = GetJobAllocator();
    }
    else
    {
        const AllocStack* pAllocStack = GetThreadAllocStack();
        if (OX_UNLIKELY(!pAllocStack || pAllocStack->m_allocatorStackSize == 0))
        {
            if (GetStrictChecks())
                ReportNoAllocator(pAllocStack ? "with an empty allocator stack"
                                              : "on a thread without an allocator stack",
                                  file, line);
            return nullptr;
        }
        if (OX_UNLIKELY(GetStrictChecks() && !g_pMemoryMap))
            ReportNoAllocator("before the memory map is set", file, line);
        // What TopAllocator answers here, without asking the job system again.
        const AllocStack::Entry& top = pAllocStack->m_entries[pAllocStack->m_allocatorStackSize - 1];
        pAllocator = top.m_pAllocator;
        // A pushed context without a registered allocator lands here.
        OX_ASSERT_MSG(pAllocator, "No allocator is registered for memory context %s (%u), pushed at %s:%u",
                      GetContextName(Context(top.m_context)), top.m_context, FileName(top.m_sourceFile),
                      top.m_sourceLine);
    }
    OX_ASSERT(pAllocator);
    void* ptr = pAllocator->Allocate(size, alignment, file, line, function);
    OX_ASSERT(!ptr || IsPointerAligned(ptr, alignment));
    return ptr;
}

Allocator* FindAllocatorForPtr(const void* p)
{
    bool inSomeRange = false;
    return FindAllocatorForPtr(p, &inSomeRange);
}

Allocator* FindAllocatorForPtr(const void* p, bool* pInSomeRange)
{
    *pInSomeRange = false;
    if (const AllocStack* pAllocStack = GetThreadAllocStack())
    {
        for (U32 i = pAllocStack->m_allocatorStackSize; i > 0; --i)
        {
            Allocator* pAllocator = pAllocStack->m_entries[i - 1].m_pAllocator;
            if (!pAllocator || !pAllocator->IsPtrInRange(p))
                continue;
            *pInSomeRange = true;
            if (pAllocator->IsValidPtr(p))
                return pAllocator;
        }
    }
    return FindRegisteredAllocatorForPtr(p, pInSomeRange);
}

void Free(void* p, const char* file, U32 line, const char* function)
{
    if (!p)
        return;
    // The owner walk of FindAllocatorForPtr, each allocator on the stack asked and
    // freeing in one call.
    if (const AllocStack* pAllocStack = GetThreadAllocStack())
    {
        for (U32 i = pAllocStack->m_allocatorStackSize; i > 0; --i)
        {
            Allocator* pAllocator = pAllocStack->m_entries[i - 1].m_pAllocator;
            if (pAllocator &&
                pAllocator->FreeIfOwned(p, file, line, function) == Allocator::FreeResult::kFreed)
                return;
        }
    }
    bool inSomeRange = false;
    if (Allocator* pAllocator = FindRegisteredAllocatorForPtr(p, &inSomeRange))
        pAllocator->Free(p, file, line, function);
    else if (OX_UNLIKELY(GetStrictChecks()))
        ReportUnownedFree(p, file, line);
}

void FreeInContext(void* p, const Context& context, const char* file, U32 line, const char* function)
{
    Allocator* pAllocator = GetAllocator(context);
    if (p && Owns(pAllocator, p))
        pAllocator->Free(p, file, line, function);
}

void* AllocateFromMemoryMap(U32 id, const char* file, U32 line, const char* function)
{
    const MemoryMapEntry* pEntry = GetMemoryMapEntry(id);
    if (!pEntry)
        return nullptr;
    SetAllocSourceLocation(file, line, function);
    return operator new[](static_cast<std::size_t>(pEntry->m_size), pEntry->m_context, pEntry->m_alignment);
}

void ResetAllocator(const Context& context, bool keep)
{
    Allocator* pAllocator = GetAllocator(context);
    OX_ASSERT(pAllocator);
    pAllocator->Reset(keep);
}

void* EosAllocate(U64 size, U64 alignment)
{
    Allocator* pAllocator = GetAllocator(kAllocNetwork);
    if (!pAllocator || !pAllocator->CanAllocate(size, alignment))
        return nullptr;
    return pAllocator->Allocate(size, alignment, kEosFile, 792, kEosAllocateFunction);
}

void* EosReallocate(void* p, U64 size, U64 alignment)
{
    if (size == 0)
    {
        EosRelease(p);
        return nullptr;
    }
    if (!p)
        return EosAllocate(size, alignment);
    Allocator* pAllocator = GetAllocator(kAllocNetwork);
    if (!pAllocator)
        return nullptr;
    // Without the old block's size its contents could not be carried over: refuse rather
    // than hand back a block that lost the caller's data.
    const U64 oldSize = pAllocator->GetAllocSize(p);
    if (oldSize == 0 || !pAllocator->CanAllocate(size, alignment))
        return nullptr;
    void* pNew = pAllocator->Allocate(size, alignment, kEosFile, 770, kEosReallocateFunction);
    if (!pNew)
        return nullptr;
    std::memcpy(pNew, p, static_cast<U32>(std::min(oldSize, size)));
    pAllocator->Free(p, kEosFile, 777, kEosReallocateFunction);
    return pNew;
}

void EosRelease(void* p)
{
    Allocator* pAllocator = GetAllocator(kAllocNetwork);
    if (pAllocator && pAllocator->IsPtrInRange(p))
        pAllocator->Free(p, kEosFile, 804, kEosReleaseFunction);
}

void* NewHandler(std::size_t size, const Context& context, U64 alignment, bool isArray, bool noThrow)
{
    const char* file;
    U32 line;
    const char* function;
    TakeAllocSourceLocation(&file, &line, &function);
    Allocator* pAlloc = GetAllocator(context);
    OX_ASSERT_AS_MSG(pAlloc != nullptr, "pAlloc",
                     "No allocator is registered for memory context %s (%u) (new at %s:%u)",
                     GetContextName(context), context.GetValue(), FileName(file), line);
    OX_ASSERT(!noThrow || !pAlloc->WillAssertOnFailure());
    return pAlloc->Allocate(size, alignment, file, line, function);
}

void SetFreeLogContext(Context context)
{
    s_freeLogContext = context;
}

Context GetFreeLogContext()
{
    return s_freeLogContext;
}
} // namespace Memory
