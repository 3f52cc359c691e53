// POSIX fibers: stacks from mmap with an inaccessible guard region below, fiber-local
// storage in the fiber record, and the context switch behind fiber-switch.h (our own
// assembly on x86-64, the C library's ucontext elsewhere).
//
// Memory of a created fiber, one mapping, low to high:
//   [guard region, no access][stack, grows down ...][FiberRecord]
// The stack is reserved at the requested size and the kernel commits pages on first
// touch; running off its end faults on the guard region instead of writing into whatever
// lies below, and the fault is reported as the running job's stack overflow
// (fiber-guard-posix.cpp). The guard region is larger than a page, so that a frame of
// up to its size that skips the stack's end still lands in it; it costs address space
// only. A thread's own fiber (StartFiberExecution) uses the thread's stack and a
// record in thread-local storage.
//
// Sanitizers are told about every fiber's creation, switches and release
// (fiber-sanitizer.h); in other builds those calls compile to nothing.
#include "corelib/system/platform/fiber-guard-posix.h"
#include "corelib/system/platform/fiber-overflow.h"
#include "corelib/system/platform/fiber-platform.h"
#include "corelib/system/platform/fiber-sanitizer.h"
#include "corelib/system/platform/fiber-switch.h"
#include "corelib/system/platform/fiber.h"
#include "corelib/util/msg-assert.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

namespace oxsys
{
namespace
{
constexpr U32 kMaxFlsSlots = 128;
constexpr U64 kDefaultFiberStackSize = 1024 * 1024;
constexpr size_t kGuardRegionSize = 256 * 1024;

struct FiberRecord
{
    void* m_pContext; // saved context (fiber-switch.h) while the fiber is not running
    FiberFunction m_function;
    void* m_pArgument;
    void* m_pMapping; // the whole mapping (null for a thread's own fiber)
    size_t m_mappingSize;
    UPtr m_stackLow; // usable stack, for AddressSanitizer
    UPtr m_stackHigh;
    void* m_pSanitizerFiber; // ThreadSanitizer's state for the fiber
    FiberRecord* m_pPrev; // list of records that may hold fiber-local values
    FiberRecord* m_pNext;
    bool m_inList;
    bool m_isThreadFiber;
    bool m_switchesFloatState; // carries its own control words (kFiberFlagFloatSwitch)
    char m_name[32];
    void* m_flsValues[kMaxFlsSlots];
};

// The fiber-local storage slots. Allocation and the record list are guarded by m_mutex;
// the used flags are atomic because Set/Get read them without the lock.
struct FlsSlots
{
    std::mutex m_mutex;
    std::atomic<bool> m_used[kMaxFlsSlots] = {};
    std::atomic<FiberLocalStorageCallback> m_callbacks[kMaxFlsSlots] = {};
    FiberRecord* m_pFirst = nullptr;
};
FlsSlots s_fls;

// The calling thread's own fiber record (holds its fiber-local values too), and the
// fiber the thread runs: null on a plain thread.
thread_local FiberRecord s_threadFiber;
thread_local FiberRecord* s_pCurrentFiber = nullptr;
pthread_key_t s_threadFlsKey;

// Not inlined, as every thread-local access here: code calling these may have moved to
// another thread by a fiber switch since its last call.
OX_NOINLINE FiberRecord* GetCurrentFiberRecord()
{
    return s_pCurrentFiber;
}

OX_NOINLINE void SetCurrentFiberRecord(FiberRecord* pRecord)
{
    s_pCurrentFiber = pRecord;
}

OX_NOINLINE FiberRecord* GetThreadFiberRecord()
{
    return &s_threadFiber;
}

// Where the running code keeps its fiber-local values: its fiber, else its thread.
FiberRecord* GetFlsRecord()
{
    FiberRecord* pRecord = GetCurrentFiberRecord();
    return pRecord ? pRecord : GetThreadFiberRecord();
}

void LinkRecord(FiberRecord* pRecord)
{
    // Caller holds s_fls.m_mutex.
    pRecord->m_pPrev = nullptr;
    pRecord->m_pNext = s_fls.m_pFirst;
    if (s_fls.m_pFirst)
        s_fls.m_pFirst->m_pPrev = pRecord;
    s_fls.m_pFirst = pRecord;
    pRecord->m_inList = true;
}

void UnlinkRecord(FiberRecord* pRecord)
{
    // Caller holds s_fls.m_mutex.
    if (!pRecord->m_inList)
        return;
    if (pRecord->m_pPrev)
        pRecord->m_pPrev->m_pNext = pRecord->m_pNext;
    else
        s_fls.m_pFirst = pRecord->m_pNext;
    if (pRecord->m_pNext)
        pRecord->m_pNext->m_pPrev = pRecord->m_pPrev;
    pRecord->m_pPrev = pRecord->m_pNext = nullptr;
    pRecord->m_inList = false;
}

// Takes the record out of the list and runs the callbacks of its non-null values.
void ReleaseFlsValues(FiberRecord* pRecord)
{
    {
        std::lock_guard<std::mutex> guard(s_fls.m_mutex);
        UnlinkRecord(pRecord);
    }
    for (U32 index = 0; index < kMaxFlsSlots; ++index)
    {
        void* pValue = pRecord->m_flsValues[index];
        if (!pValue)
            continue;
        pRecord->m_flsValues[index] = nullptr;
        FiberLocalStorageCallback callback = s_fls.m_callbacks[index].load(std::memory_order_acquire);
        if (callback && s_fls.m_used[index].load(std::memory_order_acquire))
            callback(pValue);
    }
}

// Thread exit: the thread's own fiber-local values are released like a fiber's.
void OnThreadExitReleaseFls(void* pValue)
{
    ReleaseFlsValues(static_cast<FiberRecord*>(pValue));
}

void InitThreadFlsKey()
{
    static std::once_flag s_once;
    std::call_once(s_once,
                   [] { OX_VERIFY(pthread_key_create(&s_threadFlsKey, OnThreadExitReleaseFls) == 0); });
}

size_t PageSize()
{
    static const size_t s_pageSize = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return s_pageSize;
}

size_t RoundUpToPage(size_t size)
{
    return (size + PageSize() - 1) & ~(PageSize() - 1);
}

// Reads the calling thread's stack bounds, which AddressSanitizer wants when switching
// back to the thread's own fiber.
void ReadThreadStackBounds(FiberRecord* pRecord)
{
    pthread_attr_t attr;
    void* pStackAddr = nullptr;
    size_t stackSize = 0;
    if (pthread_getattr_np(pthread_self(), &attr) == 0)
    {
        pthread_attr_getstack(&attr, &pStackAddr, &stackSize);
        pthread_attr_destroy(&attr);
    }
    pRecord->m_stackLow = reinterpret_cast<UPtr>(pStackAddr);
    pRecord->m_stackHigh = pRecord->m_stackLow + stackSize;
}
} // namespace
} // namespace oxsys

// The first C++ frame of every created fiber, with its record as the argument.
extern "C" [[noreturn]] void OxFiberEntry(void* pRecordAddress)
{
    oxsys::FiberRecord* pRecord = static_cast<oxsys::FiberRecord*>(pRecordAddress);
    oxsys::SanitizerFinishSwitch(nullptr);
    pRecord->m_function(pRecord->m_pArgument);
    OX_ASSERT_FAIL("Fiber %s returned from its entry function; fibers must never return", pRecord->m_name);
    std::abort();
}

namespace oxsys
{
void CreateFiber(Fiber& outFiber, const char* name, FiberFunction function, void* pStackMem, U64 stackSize,
                 void* pArgument, U32 flags)
{
    OX_ASSERT(pStackMem == nullptr);
    OX_ASSERT(function != nullptr);
    if (stackSize == 0)
        stackSize = kDefaultFiberStackSize;
    InstallFiberGuardHandler();
    const size_t guardSize = RoundUpToPage(kGuardRegionSize);
    const size_t stackBytes = RoundUpToPage(stackSize * kSanitizerStackFactor);
    const size_t recordBytes = RoundUpToPage(sizeof(FiberRecord));
    const size_t mappingSize = guardSize + stackBytes + recordBytes;

    void* pMapping = mmap(nullptr, mappingSize, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
    const bool mapped = pMapping != MAP_FAILED;
    OX_ASSERT(mapped);
    OX_VERIFY(mprotect(pMapping, guardSize, PROT_NONE) == 0);

    U8* pBase = static_cast<U8*>(pMapping);
    FiberRecord* pRecord = reinterpret_cast<FiberRecord*>(pBase + guardSize + stackBytes);
    std::memset(pRecord, 0, sizeof(FiberRecord));
    pRecord->m_function = function;
    pRecord->m_pArgument = pArgument;
    pRecord->m_pMapping = pMapping;
    pRecord->m_mappingSize = mappingSize;
    pRecord->m_stackLow = reinterpret_cast<UPtr>(pBase + guardSize);
    pRecord->m_stackHigh = reinterpret_cast<UPtr>(pRecord);
    pRecord->m_switchesFloatState = (flags & kFiberFlagFloatSwitch) != 0;
    if (name)
        std::strncpy(pRecord->m_name, name, sizeof(pRecord->m_name) - 1);

    // The first switch to the fiber calls OxFiberEntry(pRecord) on its stack.
    pRecord->m_pContext = PrepareFiberContext(pRecord->m_stackLow, pRecord->m_stackHigh, pRecord);

    pRecord->m_pSanitizerFiber = SanitizerCreateFiber(pRecord->m_name);
    {
        std::lock_guard<std::mutex> guard(s_fls.m_mutex);
        LinkRecord(pRecord);
    }
    outFiber.nativeFiber = reinterpret_cast<U64>(pRecord);
}

void ReleaseFiber(Fiber& fiber)
{
    const U64 nativeFiber = fiber.nativeFiber;
    OX_ASSERT(nativeFiber);
    FiberRecord* pRecord = reinterpret_cast<FiberRecord*>(nativeFiber);
    // Releasing the running fiber would pull the stack from under the caller (Windows
    // ends the thread instead); a thread's own fiber ends with its StartFiberExecution.
    OX_ASSERT_MSG(pRecord != GetCurrentFiberRecord(), "A fiber cannot release itself");
    OX_ASSERT_MSG(!pRecord->m_isThreadFiber, "A thread's own fiber is released by StopFiberExecution");
    ReleaseFlsValues(pRecord);
    SanitizerReleaseFiber(pRecord->m_pSanitizerFiber, pRecord->m_stackLow, pRecord->m_stackHigh);
    OX_VERIFY(munmap(pRecord->m_pMapping, pRecord->m_mappingSize) == 0);
    fiber.nativeFiber = 0;
}

Fiber CurrentFiber()
{
    Fiber fiber;
    fiber.nativeFiber = reinterpret_cast<U64>(GetCurrentFiberRecord());
    return fiber;
}

// Not inlined anywhere, so the thread-local access below is computed afresh on every
// call; nothing thread-local is touched after the switch, where the thread may differ.
OX_NOINLINE void SwitchToFiber(Fiber& fiber)
{
    FiberRecord* pTo = reinterpret_cast<FiberRecord*>(fiber.nativeFiber);
    OX_ASSERT(fiber.IsValid());
    FiberRecord* pFrom = s_pCurrentFiber;
    OX_ASSERT_MSG(pFrom, "Only a thread running fibers (StartFiberExecution) can switch fibers");
    s_pCurrentFiber = pTo;
    void* pFakeStack = SanitizerStartSwitch(pTo->m_pSanitizerFiber, pTo->m_stackLow, pTo->m_stackHigh);
    const U32 floatMode = (pFrom->m_switchesFloatState ? kFiberSwitchSaveControlWords : 0u) |
                          (pTo->m_switchesFloatState ? kFiberSwitchLoadControlWords : 0u);
    SwitchFiberContext(&pFrom->m_pContext, pTo->m_pContext, floatMode);
    // Running again, possibly on another thread.
    SanitizerFinishSwitch(pFakeStack);
}

U64 PlatformConvertThreadToFiber()
{
    FiberRecord* pRecord = GetThreadFiberRecord();
    if (GetCurrentFiberRecord() != nullptr)
        return 0; // already a fiber, as ConvertThreadToFiber fails then
    pRecord->m_isThreadFiber = true;
    // The thread leaves fiber execution with the control words it entered with, whatever
    // its fibers did to them.
    pRecord->m_switchesFloatState = true;
    ReadThreadStackBounds(pRecord);
    pRecord->m_pSanitizerFiber = SanitizerThreadFiber();
    BeginFiberGuardOnThread();
    SetCurrentFiberRecord(pRecord);
    return reinterpret_cast<U64>(pRecord);
}

bool PlatformConvertFiberToThread()
{
    if (GetCurrentFiberRecord() != GetThreadFiberRecord())
        return false;
    SetCurrentFiberRecord(nullptr);
    EndFiberGuardOnThread();
    return true;
}

bool GetRunningFiberGuard(UPtr* pGuardLow, UPtr* pStackLow)
{
    const FiberRecord* pRecord = GetCurrentFiberRecord();
    if (!pRecord || pRecord->m_isThreadFiber)
        return false;
    *pGuardLow = reinterpret_cast<UPtr>(pRecord->m_pMapping);
    *pStackLow = pRecord->m_stackLow;
    return true;
}

U32 AllocFiberLocalStorage(FiberLocalStorageCallback callback)
{
    std::lock_guard<std::mutex> guard(s_fls.m_mutex);
    for (U32 index = 0; index < kMaxFlsSlots; ++index)
    {
        if (s_fls.m_used[index].load(std::memory_order_relaxed))
            continue;
        s_fls.m_callbacks[index].store(callback, std::memory_order_relaxed);
        s_fls.m_used[index].store(true, std::memory_order_release);
        return index;
    }
    return kFlsOutOfIndexes;
}

void FreeFiberLocalStorage(U32 index)
{
    OX_ASSERT(index < kMaxFlsSlots);
    std::lock_guard<std::mutex> guard(s_fls.m_mutex);
    OX_ASSERT(s_fls.m_used[index].load(std::memory_order_relaxed));
    FiberLocalStorageCallback callback = s_fls.m_callbacks[index].load(std::memory_order_relaxed);
    // Every value goes, so that the slot's next owner starts from null everywhere.
    for (FiberRecord* pRecord = s_fls.m_pFirst; pRecord; pRecord = pRecord->m_pNext)
    {
        void* pValue = pRecord->m_flsValues[index];
        pRecord->m_flsValues[index] = nullptr;
        if (pValue && callback)
            callback(pValue);
    }
    s_fls.m_used[index].store(false, std::memory_order_release);
    s_fls.m_callbacks[index].store(nullptr, std::memory_order_relaxed);
}

bool SetFiberLocalStorage(U32 index, void* pValue)
{
    if (index >= kMaxFlsSlots || !s_fls.m_used[index].load(std::memory_order_acquire))
        return false;
    FiberRecord* pRecord = GetFlsRecord();
    if (OX_UNLIKELY(!pRecord->m_inList))
    {
        // A thread's first value: list the thread's record so that freeing a slot finds
        // it, and release its values when the thread ends.
        InitThreadFlsKey();
        {
            std::lock_guard<std::mutex> guard(s_fls.m_mutex);
            LinkRecord(pRecord);
        }
        pthread_setspecific(s_threadFlsKey, pRecord);
    }
    pRecord->m_flsValues[index] = pValue;
    return true;
}

void* GetFiberLocalStorage(U32 index)
{
    if (index >= kMaxFlsSlots || !s_fls.m_used[index].load(std::memory_order_acquire))
        return nullptr;
    return GetFlsRecord()->m_flsValues[index];
}
} // namespace oxsys
