// POSIX threads behind oxsys::Thread. A handle's nativeThread points at a ThreadRecord
// (or is the current-thread pseudo handle). The record is shared by the handle and the
// thread and freed when both are done with it, as a Windows thread object is.
//
// Windows creates the thread suspended and resumes it after naming and placing it; here
// the new thread waits at a start gate instead. Suspension uses a real-time signal whose
// handler parks the thread on a semaphore, with counts kept as Windows keeps them.
#include "corelib/system/platform/thread-platform.h"
#include "corelib/system/platform/thread.h"
#include "corelib/util/msg-assert.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <pthread.h>
#include <sched.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#if OX_PLATFORM_LINUX
#include <sys/syscall.h>
#endif

namespace oxsys
{
namespace
{
// Same value as Windows' GetCurrentThread(): it always means "the calling thread".
constexpr U64 kCurrentThreadPseudoHandle = ~1ull;
// Windows reserves at least this much stack for every thread (the executable's
// default), whatever the commit size asked for; Linux commits stack pages lazily, so
// reserving as much costs address space only.
constexpr size_t kMinThreadStackReserve = 1024 * 1024;
constexpr size_t kMaxPthreadNameLength = 15;

struct ThreadRecord
{
    pthread_t m_thread;
    ThreadFunction m_function;
    void* m_pArgument;
    std::atomic<U32> m_refs;     // the handle and the running thread
    std::atomic<U32> m_threadId; // written by the new thread before it signals m_started
    std::atomic<U32> m_suspendCount;
    std::atomic<bool> m_exited;
    bool m_joined;      // touched by the handle's owner only
    sem_t m_started;    // the new thread knows its id
    sem_t m_gate;       // name, priority and affinity are applied: run
    sem_t m_suspendAck; // the thread has entered the suspend handler
    sem_t m_resume;     // posted when the suspend count drops to 0
};

thread_local ThreadRecord* s_pSelfRecord = nullptr;
// gettid is a system call; the id is kept per thread. A forked child's only thread has
// a new id, so the cache is cleared there.
thread_local U32 s_cachedThreadId = 0;

void ClearCachedThreadId()
{
    s_cachedThreadId = 0;
}

[[maybe_unused]] const int s_atForkRegistered = pthread_atfork(nullptr, nullptr, ClearCachedThreadId);

pthread_key_t s_exitKey;
int s_suspendSignal = 0;

void ReleaseRecord(ThreadRecord* pRecord)
{
    if (pRecord->m_refs.fetch_sub(1, std::memory_order_acq_rel) != 1)
        return;
    sem_destroy(&pRecord->m_started);
    sem_destroy(&pRecord->m_gate);
    sem_destroy(&pRecord->m_suspendAck);
    sem_destroy(&pRecord->m_resume);
    std::free(pRecord);
}

// Runs when a thread started by CreateThread ends, by returning or by EndCurrentThread.
void OnThreadExit(void* pValue)
{
    ThreadRecord* pRecord = static_cast<ThreadRecord*>(pValue);
    pRecord->m_exited.store(true, std::memory_order_release);
    ReleaseRecord(pRecord);
}

void WaitSemaphore(sem_t* pSemaphore)
{
    while (sem_wait(pSemaphore) != 0)
    {
        OX_ASSERT(errno == EINTR);
    }
}

// Parks the calling thread while its suspend count is above 0. Only async-signal-safe
// calls here (sem_post, sem_wait); errno is kept for the interrupted code.
void SuspendSignalHandler(int)
{
    const int savedErrno = errno;
    ThreadRecord* pRecord = s_pSelfRecord;
    if (pRecord)
    {
        sem_post(&pRecord->m_suspendAck);
        while (pRecord->m_suspendCount.load(std::memory_order_acquire) > 0)
            sem_wait(&pRecord->m_resume);
    }
    errno = savedErrno;
}

void InitProcessThreadState()
{
    static std::once_flag s_once;
    std::call_once(s_once,
                   []
                   {
                       OX_VERIFY(pthread_key_create(&s_exitKey, OnThreadExit) == 0);
                       s_suspendSignal = SIGRTMIN + 6;
                       struct sigaction action = {};
                       action.sa_handler = SuspendSignalHandler;
                       action.sa_flags = SA_RESTART;
                       sigemptyset(&action.sa_mask);
                       OX_VERIFY(sigaction(s_suspendSignal, &action, nullptr) == 0);
                   });
}

void* ThreadTrampoline(void* pValue)
{
    ThreadRecord* pRecord = static_cast<ThreadRecord*>(pValue);
    s_pSelfRecord = pRecord;
    pthread_setspecific(s_exitKey, pRecord);
    pRecord->m_threadId.store(CurrentThreadId(), std::memory_order_release);
    sem_post(&pRecord->m_started);
    WaitSemaphore(&pRecord->m_gate);
    const U32 exitCode = pRecord->m_function(pRecord->m_pArgument);
    return reinterpret_cast<void*>(static_cast<UPtr>(exitCode));
}

ThreadRecord* RecordOf(const Thread& thread)
{
    ThreadRecord* pRecord = thread.nativeThread == kCurrentThreadPseudoHandle
                                ? s_pSelfRecord
                                : reinterpret_cast<ThreadRecord*>(thread.nativeThread);
    OX_ASSERT_MSG(pRecord, "Only threads started by oxsys::CreateThread can be suspended or resumed");
    return pRecord;
}

// Windows priorities as nice values: the same seven steps, idle at the bottom.
int NiceForPriority(I32 priority)
{
    if (priority >= kThreadPriorityTimeCritical)
        return -20;
    if (priority <= kThreadPriorityIdle)
        return 19;
    switch (priority)
    {
    case kThreadPriorityHighest:
        return -10;
    case kThreadPriorityAboveNormal:
        return -5;
    case kThreadPriorityNormal:
        return 0;
    case kThreadPriorityBelowNormal:
        return 5;
    case kThreadPriorityLowest:
        return 10;
    default:
        return priority > 0 ? -15 : 15;
    }
}

// Applies the priority as the thread's nice value. Raising it needs privileges
// (CAP_SYS_NICE or RLIMIT_NICE); without them this settles on the highest priority the
// process may set, the nearest it can do to what was asked, rather than failing.
void ApplyPriority(U32 threadId, I32 priority)
{
    const int wanted = NiceForPriority(priority);
    for (int nice = wanted; nice <= 19; ++nice)
    {
        if (setpriority(PRIO_PROCESS, threadId, nice) == 0)
            return;
        // Anything but a refusal is a real failure.
        const bool retval = errno == EACCES || errno == EPERM;
        OX_ASSERT(retval);
        if (nice >= 0)
            return; // the thread keeps the nice value it inherited
    }
}

void ApplyAffinity(pthread_t thread, U32 affinityMask)
{
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    OX_VERIFY(sched_getaffinity(0, sizeof(allowed), &allowed) == 0);
    // Processors the process may not use are left out, as they do not exist for it; a
    // mask that leaves none is an error.
    cpu_set_t wanted;
    CPU_ZERO(&wanted);
    for (int cpu = 0; cpu < 32; ++cpu)
    {
        if ((affinityMask & (1u << cpu)) && CPU_ISSET(cpu, &allowed))
            CPU_SET(cpu, &wanted);
    }
    const bool retval =
        CPU_COUNT(&wanted) != 0 && pthread_setaffinity_np(thread, sizeof(wanted), &wanted) == 0;
    OX_ASSERT(retval);
}

void SetPthreadName(pthread_t thread, const char* name)
{
    char shortName[kMaxPthreadNameLength + 1] = {};
    std::memcpy(shortName, name, strnlen(name, kMaxPthreadNameLength));
    pthread_setname_np(thread, shortName);
}
} // namespace

void CreateThread(Thread& outThread, const ThreadDesc& desc, ThreadFunction function, void* pArgument)
{
    InitProcessThreadState();
    ThreadRecord* pRecord = static_cast<ThreadRecord*>(std::calloc(1, sizeof(ThreadRecord)));
    OX_ASSERT(pRecord);
    new (&pRecord->m_refs) std::atomic<U32>(2);
    new (&pRecord->m_threadId) std::atomic<U32>(0);
    new (&pRecord->m_suspendCount) std::atomic<U32>(0);
    new (&pRecord->m_exited) std::atomic<bool>(false);
    pRecord->m_function = function;
    pRecord->m_pArgument = pArgument;
    sem_init(&pRecord->m_started, 0, 0);
    sem_init(&pRecord->m_gate, 0, 0);
    sem_init(&pRecord->m_suspendAck, 0, 0);
    sem_init(&pRecord->m_resume, 0, 0);

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    if (desc.m_stackSize != 0)
    {
        const size_t pageSize = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        size_t stackSize = std::max<size_t>(desc.m_stackSize, kMinThreadStackReserve);
        stackSize = (stackSize + pageSize - 1) & ~(pageSize - 1);
        OX_VERIFY(pthread_attr_setstacksize(&attr, stackSize) == 0);
    }
    const int err = pthread_create(&pRecord->m_thread, &attr, ThreadTrampoline, pRecord);
    pthread_attr_destroy(&attr);
    const U64 threadHandle = err == 0 ? reinterpret_cast<U64>(pRecord) : 0;
    OX_ASSERT(threadHandle != 0);

    WaitSemaphore(&pRecord->m_started);
    outThread.nativeThread = threadHandle;
    outThread.m_threadId = pRecord->m_threadId.load(std::memory_order_acquire);
    outThread.m_flags = desc.m_flags | kThreadFlagJoinable;

    SetPthreadName(pRecord->m_thread, desc.m_name);
    ApplyPriority(outThread.m_threadId, desc.m_priority);
    ApplyAffinity(pRecord->m_thread, desc.m_affinityMask);
    sem_post(&pRecord->m_gate);
}

void PlatformJoinThread(Thread& thread)
{
    ThreadRecord* pRecord = reinterpret_cast<ThreadRecord*>(thread.nativeThread);
    // Waiting on an ended thread returns at once on Windows, so a second join does too.
    if (pRecord->m_joined)
        return;
    const int err = pthread_join(pRecord->m_thread, nullptr);
    OX_ASSERT(err == 0);
    pRecord->m_joined = true;
}

void PlatformCloseThread(Thread& thread)
{
    if (thread.nativeThread == kCurrentThreadPseudoHandle)
        return;
    ThreadRecord* pRecord = reinterpret_cast<ThreadRecord*>(thread.nativeThread);
    if (!pRecord->m_joined)
        pthread_detach(pRecord->m_thread);
    ReleaseRecord(pRecord);
}

U32 PlatformSuspendThread(Thread& thread)
{
    ThreadRecord* pRecord = RecordOf(thread);
    const U32 previous = pRecord->m_suspendCount.fetch_add(1, std::memory_order_acq_rel);
    if (previous != 0 || pRecord->m_exited.load(std::memory_order_acquire))
        return previous;
    if (pRecord == s_pSelfRecord)
    {
        // The handler runs on this thread and returns once another thread resumes it.
        pthread_kill(pRecord->m_thread, s_suspendSignal);
        return previous;
    }
    if (pthread_kill(pRecord->m_thread, s_suspendSignal) != 0)
        return previous;
    // Wait until the thread has really stopped, as SuspendThread does in practice. A
    // thread that ends before it takes the signal never answers; look for that.
    for (;;)
    {
        timespec deadline;
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_nsec += 10 * 1000 * 1000;
        if (deadline.tv_nsec >= 1000000000)
        {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000000000;
        }
        if (sem_timedwait(&pRecord->m_suspendAck, &deadline) == 0)
            break;
        if (pRecord->m_exited.load(std::memory_order_acquire))
            break;
    }
    return previous;
}

U32 PlatformResumeThread(Thread& thread)
{
    ThreadRecord* pRecord = RecordOf(thread);
    U32 count = pRecord->m_suspendCount.load(std::memory_order_acquire);
    do
    {
        if (count == 0)
            return 0;
    } while (!pRecord->m_suspendCount.compare_exchange_weak(count, count - 1, std::memory_order_acq_rel));
    if (count == 1)
        sem_post(&pRecord->m_resume);
    return count;
}

Thread CurrentThread()
{
    Thread thread;
    thread.nativeThread = kCurrentThreadPseudoHandle;
    thread.m_threadId = CurrentThreadId();
    thread.m_flags = kThreadFlagJoinable;
    return thread;
}

// Not inlined: a fiber may continue on another thread, and an inlined thread-local read
// could use the address computed on the old one.
OX_NOINLINE U32 CurrentThreadId()
{
    U32 id = s_cachedThreadId;
    if (OX_UNLIKELY(id == 0))
    {
#if OX_PLATFORM_LINUX
        id = static_cast<U32>(syscall(SYS_gettid));
#else
        U64 tid = 0;
        pthread_threadid_np(nullptr, &tid);
        id = static_cast<U32>(tid);
#endif
        s_cachedThreadId = id;
    }
    return id;
}

void EndCurrentThread(U32 exitCode)
{
    pthread_exit(reinterpret_cast<void*>(static_cast<UPtr>(exitCode)));
}

void SleepMs(U32 milliseconds)
{
    timespec remaining;
    remaining.tv_sec = milliseconds / 1000;
    remaining.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000;
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR)
    {
    }
}

void YieldThread()
{
    sched_yield();
}

// System tools show the first 15 characters (the kernel's limit). Another thread of the
// process is named through its comm file, which needs no pthread_t.
void SetThreadName(U32 threadId, const char* name)
{
    if (!name)
        return;
    if (threadId == CurrentThreadId())
    {
        SetPthreadName(pthread_self(), name);
        return;
    }
#if OX_PLATFORM_LINUX
    char path[64];
    snprintf(path, sizeof(path), "/proc/self/task/%u/comm", threadId);
    if (FILE* pFile = fopen(path, "w"))
    {
        fprintf(pFile, "%.15s", name);
        fclose(pFile);
    }
#endif
}
} // namespace oxsys
