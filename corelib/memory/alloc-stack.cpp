// The pool of allocator stacks, each thread's stack and the current-allocator operations.
#include "corelib/memory/alloc-stack.h"

#include "corelib/memory/allocator.h"
#include "corelib/memory/memory-job-local.h"
#include "corelib/memory/memory-map.h"
#include "corelib/memory/memory.h"
#include "corelib/system/platform/mutex.h"
#include "corelib/system/running-job.h"
#include "corelib/util/bit-array.h"
#include "corelib/util/msg-assert.h"
#include "corelib/util/msg.h"
#include "corelib/util/static-init-order.h"

#include <cstring>

namespace Memory
{
namespace
{
// The library's own stack storage: enough for every thread the pool can serve. A host
// may hand the pool other storage instead (SetAllocStackPool).
struct AllocStackTable
{
    AllocStackTable() { std::memset(m_stacks, 0, sizeof(m_stacks)); }
    AllocStack m_stacks[kMaxAllocStacks];
};
AllocStackTable s_allocStackTable OX_INIT_PRIORITY(kInitRankMemoryAreas);

// The memory system's global mutex; it serialises changes of the stack pool.
struct MemoryMutex
{
    MemoryMutex()
    {
        oxsys::MutexDesc desc;
        desc.SetName("MemoryMutex");
        oxsys::CreateMutex(desc, m_mutex);
    }
    oxsys::Mutex m_mutex;
};
MemoryMutex s_memoryMutex OX_INIT_PRIORITY(kInitRankMemoryMutex);

struct AllocStackPool
{
    BitArray<kMaxAllocStacks> m_used;
    AllocStack* m_pStorage = nullptr;
    U32 m_numStacks = 0;
    U32 m_lastIndex = kMaxAllocStacks - 1; // the first search starts at the lowest stack
    U32 m_searchMode = 0;
};
// Constant-initialised; the storage falls back to the library's table on first use.
constinit AllocStackPool s_pool;

// The calling thread's values. Read through non-inlined accessors: code that resumes on
// another thread must not keep an address computed on the first one.
thread_local AllocStack* t_pAllocStack = nullptr;
thread_local const char* t_pendingFile = nullptr;
thread_local U32 t_pendingLine = 0xFFFFFFFFu;
thread_local const char* t_pendingFunction = nullptr;

bool s_traceAllocatorStack = false;

OX_NOINLINE AllocStack*& ThreadAllocStack()
{
    return t_pAllocStack;
}

AllocStack* PoolStorage()
{
    if (!s_pool.m_pStorage)
    {
        s_pool.m_pStorage = s_allocStackTable.m_stacks;
        s_pool.m_numStacks = kMaxAllocStacks;
        s_pool.m_lastIndex = kMaxAllocStacks - 1;
    }
    return s_pool.m_pStorage;
}

void PushEntry(Allocator* pAllocator, U32 context, const char* file, U32 line, const char* function)
{
    AllocStack* pAllocStack = ThreadAllocStack();
    OX_ASSERT(pAllocStack);
    OX_ASSERT(pAllocStack->m_allocatorStackSize < AllocStack::kMaxAllocatorStackDepth);
    AllocStack::Entry& entry = pAllocStack->m_entries[pAllocStack->m_allocatorStackSize];
    entry.m_pAllocator = pAllocator;
    entry.m_sourceFile = file;
    entry.m_sourceFunction = function;
    entry.m_sourceLine = line;
    entry.m_context = context;
    ++pAllocStack->m_allocatorStackSize;
    if (oxsys::IsJobWorkerThread())
        SetJobAllocator(pAllocator);
    if (s_traceAllocatorStack)
    {
        SetActiveMsgOutput(kMsgChannelInfo);
        PrintToActiveMsgOutput("PUSH %3d (%s:%u)\n", static_cast<int>(pAllocStack->m_allocatorStackSize),
                               file, line);
    }
}
} // namespace

void SetAllocStackPool(AllocStack* pStorage, U32 numStacks, U32 searchMode)
{
    OX_ASSERT(numStacks <= kMaxAllocStacks);
    s_memoryMutex.m_mutex.Lock();
    // The usage bits describe the current storage: it can only change while no stack is out.
    OX_ASSERT(s_pool.m_used.FindFirstSetBit() < 0);
    s_pool.m_pStorage = pStorage;
    s_pool.m_numStacks = pStorage ? numStacks : 0;
    s_pool.m_searchMode = searchMode;
    s_pool.m_lastIndex = numStacks ? numStacks - 1 : 0;
    s_memoryMutex.m_mutex.Unlock();
}

AllocStack* AllocateAllocStack()
{
    AllocStack* pAllocStack = nullptr;
    s_memoryMutex.m_mutex.Lock();
    AllocStack* pStorage = PoolStorage();
    const U32 count = s_pool.m_numStacks;
    I64 index = -1;
    if (s_pool.m_searchMode == 1 && s_pool.m_lastIndex + 1 < count)
        index = s_pool.m_used.FindNextClearBit(s_pool.m_lastIndex);
    if (index < 0 || index >= static_cast<I64>(count))
        index = s_pool.m_used.IsBitSet(0) ? s_pool.m_used.FindNextClearBit(0) : 0;
    if (index >= 0 && index < static_cast<I64>(count))
    {
        s_pool.m_lastIndex = static_cast<U32>(index);
        s_pool.m_used.SetBit(index);
        pAllocStack = &pStorage[index];
        // Clear everything, not only the size: entries above the size are always zero.
        std::memset(pAllocStack, 0, sizeof(*pAllocStack));
    }
    s_memoryMutex.m_mutex.Unlock();
    OX_ASSERT(pAllocStack);
    return pAllocStack;
}

void FreeAllocStack(AllocStack* pAllocStack)
{
    OX_ASSERT(pAllocStack);
    s_memoryMutex.m_mutex.Lock();
    const UPtr offset = reinterpret_cast<UPtr>(pAllocStack) - reinterpret_cast<UPtr>(s_pool.m_pStorage);
    const U64 index = offset / sizeof(AllocStack);
    // A stack that is not one of the pool's would clear some other stack's bit.
    OX_ASSERT(s_pool.m_pStorage && offset % sizeof(AllocStack) == 0 && index < s_pool.m_numStacks);
    OX_ASSERT(s_pool.m_used.IsBitSet(static_cast<U32>(index)));
    s_pool.m_used.ClearBit(static_cast<U32>(index));
    s_memoryMutex.m_mutex.Unlock();
}

void InitializeThreadAllocStack()
{
    AllocStack*& pAllocStack = ThreadAllocStack();
    OX_ASSERT(pAllocStack == nullptr);
    pAllocStack = AllocateAllocStack();
}

void FreeThreadAllocStack()
{
    AllocStack*& pAllocStack = ThreadAllocStack();
    OX_ASSERT(pAllocStack);
    FreeAllocStack(pAllocStack);
    pAllocStack = nullptr;
}

void SetThreadAllocStack(AllocStack* pAllocStack)
{
    ThreadAllocStack() = pAllocStack;
}

AllocStack* GetThreadAllocStack()
{
    return ThreadAllocStack();
}

void CopyAllocStack(AllocStack* pDst, const AllocStack* pSrc)
{
    OX_ASSERT(pDst && pSrc);
    OX_ASSERT(pSrc->m_allocatorStackSize <= AllocStack::kMaxAllocatorStackDepth);
    // Entries above the new size must read zero, as everywhere else.
    if (pDst->m_allocatorStackSize > pSrc->m_allocatorStackSize)
        std::memset(&pDst->m_entries[pSrc->m_allocatorStackSize], 0,
                    (pDst->m_allocatorStackSize - pSrc->m_allocatorStackSize) * sizeof(AllocStack::Entry));
    std::memcpy(pDst->m_entries, pSrc->m_entries, pSrc->m_allocatorStackSize * sizeof(AllocStack::Entry));
    pDst->m_allocatorStackSize = pSrc->m_allocatorStackSize;
}

void PushAllocator(Allocator* pAllocator, const char* file, U32 line, const char* function)
{
    PushEntry(pAllocator, kAllocUnknown.GetValue(), file, line, function);
}

void PushAllocator(Context context, const char* file, U32 line, const char* function)
{
    PushEntry(GetAllocator(context), context.GetValue(), file, line, function);
}

Allocator* PopAllocator()
{
    AllocStack* pAllocStack = ThreadAllocStack();
    OX_ASSERT(pAllocStack);
    OX_ASSERT(pAllocStack->m_allocatorStackSize > 0);
    AllocStack::Entry& entry = pAllocStack->m_entries[pAllocStack->m_allocatorStackSize - 1];
    Allocator* pAllocator = entry.m_pAllocator;
    if (s_traceAllocatorStack)
    {
        SetActiveMsgOutput(kMsgChannelInfo);
        PrintToActiveMsgOutput("pop  %3d\n", static_cast<int>(pAllocStack->m_allocatorStackSize));
    }
    std::memset(&entry, 0, sizeof(entry));
    --pAllocStack->m_allocatorStackSize;
    if (oxsys::IsJobWorkerThread())
    {
        const U32 size = pAllocStack->m_allocatorStackSize;
        SetJobAllocator(size ? pAllocStack->m_entries[size - 1].m_pAllocator : nullptr);
    }
    return pAllocator;
}

Allocator* TopAllocator()
{
    if (oxsys::IsJobWorkerThread())
        return GetJobAllocator();
    const AllocStack* pAllocStack = ThreadAllocStack();
    if (!pAllocStack || pAllocStack->m_allocatorStackSize == 0)
        return GetAllocator(kAllocInvalid);
    return pAllocStack->m_entries[pAllocStack->m_allocatorStackSize - 1].m_pAllocator;
}

U32 GetAllocatorStackDepth()
{
    const AllocStack* pAllocStack = ThreadAllocStack();
    OX_ASSERT(pAllocStack);
    return pAllocStack->m_allocatorStackSize;
}

void PushDontAssertOnAllocFail()
{
    OX_ASSERT_AS(oxsys::IsJobWorkerThread(), "oxjob::IsWorkerThread()");
    SetJobAllocFailSuppression(GetJobAllocFailSuppression() + 1);
}

void PopDontAssertOnAllocFail()
{
    OX_ASSERT_AS(oxsys::IsJobWorkerThread(), "oxjob::IsWorkerThread()");
    const U64 value = GetJobAllocFailSuppression();
    OX_ASSERT(value > 0);
    SetJobAllocFailSuppression(value - 1);
}

void SetAllocSourceLocation(const char* file, U32 line, const char* function)
{
    t_pendingFile = file;
    t_pendingLine = line;
    t_pendingFunction = function;
}

void SetAllocSourceLocationIfUnset(const char* file, U32 line, const char* function)
{
    if (t_pendingLine == 0xFFFFFFFFu)
        SetAllocSourceLocation(file, line, function);
}

void TakeAllocSourceLocation(const char** pFile, U32* pLine, const char** pFunction)
{
    *pFile = t_pendingFile ? t_pendingFile : "UNKNOWN";
    *pLine = t_pendingLine;
    *pFunction = t_pendingFunction ? t_pendingFunction : "UNKNOWN";
    t_pendingFile = "UNKNOWN";
    t_pendingLine = 0xFFFFFFFFu;
    t_pendingFunction = "UNKNOWN";
}

void SetAllocatorStackTrace(bool enable)
{
    s_traceAllocatorStack = enable;
}

bool GetAllocatorStackTrace()
{
    return s_traceAllocatorStack;
}
} // namespace Memory
