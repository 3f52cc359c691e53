// Allocation routing: Memory::Allocate and Free, pointer ownership lookups, memory-map
// allocations and the allocation hooks of the online-services library.
#include "corelib/memory/memory.h"

#include "corelib/memory/memory-job-local.h"
#include "corelib/system/running-job.h"
#include "corelib/util/msg-assert.h"

#include <algorithm>
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
} // namespace

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
        if (!pAllocStack || pAllocStack->m_allocatorStackSize == 0)
            return nullptr;
        // What TopAllocator answers here, without asking the job system again.
        pAllocator = pAllocStack->m_entries[pAllocStack->m_allocatorStackSize - 1].m_pAllocator;
    }
    // A pushed context without a registered allocator lands here.
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
    if (Allocator* pAllocator = FindAllocatorForPtr(p))
        pAllocator->Free(p, file, line, function);
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
    OX_ASSERT(pAlloc);
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
