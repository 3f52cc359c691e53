#include "corelib/system/platform/thread.h"

#include "corelib/system/platform/platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#if OX_PLATFORM_POSIX
#include <pthread.h>
#include <sched.h>
#else
#include <windows.h>
#endif

using namespace oxsys;

namespace
{
// What a new thread sees of itself the moment it starts.
struct StartObservation
{
    U32 m_threadId = 0;
    char m_name[64] = {};
    U32 m_affinityMask = 0;
    I32 m_priority = -99;
    std::atomic<bool> m_ran{false};
};

U32 ObserveStart(void* pArgument)
{
    StartObservation& seen = *static_cast<StartObservation*>(pArgument);
    seen.m_threadId = CurrentThreadId();
#if OX_PLATFORM_POSIX
    pthread_getname_np(pthread_self(), seen.m_name, sizeof(seen.m_name));
    cpu_set_t set;
    CPU_ZERO(&set);
    sched_getaffinity(0, sizeof(set), &set);
    for (int cpu = 0; cpu < 32; ++cpu)
    {
        if (CPU_ISSET(cpu, &set))
            seen.m_affinityMask |= 1u << cpu;
    }
#else
    seen.m_priority = ::GetThreadPriority(::GetCurrentThread());
    DWORD_PTR processMask = 0;
    DWORD_PTR systemMask = 0;
    GetProcessAffinityMask(GetCurrentProcess(), &processMask, &systemMask);
    // SetThreadAffinityMask returns the previous mask: set it to what it is to read it.
    DWORD_PTR previous = SetThreadAffinityMask(::GetCurrentThread(), processMask);
    SetThreadAffinityMask(::GetCurrentThread(), previous);
    seen.m_affinityMask = static_cast<U32>(previous);
#endif
    seen.m_ran = true;
    return 0;
}

TEST(ThreadTest, NamePriorityAndAffinityAreInPlaceBeforeTheThreadRuns)
{
    StartObservation seen;
    ThreadDesc desc;
    desc.SetName("ObserverThreadWithALongName");
    desc.m_priority = kThreadPriorityBelowNormal;
    desc.m_affinityMask = 1; // processor 0 only
    desc.m_flags = 0x40;
    Thread thread;
    CreateThread(thread, desc, ObserveStart, &seen);
    EXPECT_TRUE(thread.IsJoinable());
    EXPECT_EQ(thread.GetFlags(), 0x41u);
    thread.Join();
    EXPECT_TRUE(seen.m_ran);
    EXPECT_EQ(seen.m_threadId, thread.GetThreadId());
    EXPECT_EQ(seen.m_affinityMask, 1u);
#if OX_PLATFORM_POSIX
    EXPECT_STREQ(seen.m_name, "ObserverThreadW"); // the kernel keeps 15 characters
#else
    EXPECT_EQ(seen.m_priority, kThreadPriorityBelowNormal);
#endif
    ReleaseThreadHandle(thread);
    EXPECT_TRUE(thread.IsEmpty());
    EXPECT_EQ(thread.GetThreadId(), 0u);
}

TEST(ThreadTest, PrioritiesTheProcessMayNotSetFallBackInsteadOfFailing)
{
    // Time-critical needs privileges on Linux; creation must still succeed.
    for (I32 priority : {kThreadPriorityTimeCritical, kThreadPriorityHighest, kThreadPriorityIdle,
                         kThreadPriorityLowest, kThreadPriorityNormal})
    {
        StartObservation seen;
        ThreadDesc desc;
        desc.m_priority = priority;
        desc.m_stackSize = 32768;
        Thread thread;
        CreateThread(thread, desc, ObserveStart, &seen);
        thread.Join();
        EXPECT_TRUE(seen.m_ran) << "priority " << priority;
        ReleaseThreadHandle(thread);
    }
}

TEST(ThreadTest, CurrentThreadDescribesTheCaller)
{
    Thread self = CurrentThread();
    EXPECT_EQ(self.GetThreadId(), CurrentThreadId());
    EXPECT_EQ(self.GetFlags(), kThreadFlagJoinable);
    EXPECT_FALSE(self.IsEmpty());
    Thread other = CurrentThread();
    EXPECT_EQ(self, other);
    Thread empty;
    EXPECT_NE(self, empty);
}

struct EndState
{
    std::atomic<int> m_step{0};
};

U32 EndEarly(void* pArgument)
{
    EndState& state = *static_cast<EndState*>(pArgument);
    state.m_step = 1;
    SleepMs(10);
    EndCurrentThread(7);
}

TEST(ThreadTest, JoinWaitsForAThreadThatEndsItself)
{
    EndState state;
    Thread thread;
    CreateThread(thread, ThreadDesc(), EndEarly, &state);
    thread.Join();
    EXPECT_EQ(state.m_step.load(), 1);
    thread.Join(); // a thread that has ended joins at once, again
    ReleaseThreadHandle(thread);
}

struct SpinState
{
    std::atomic<U64> m_ticks{0};
    std::atomic<bool> m_stop{false};
};

// Counts while it runs; the sleep keeps it from burning a core and gives sanitizer
// runtimes a point to deliver the suspend signal.
U32 Tick(void* pArgument)
{
    SpinState& state = *static_cast<SpinState*>(pArgument);
    while (!state.m_stop)
    {
        state.m_ticks.fetch_add(1);
        SleepMs(1);
    }
    return 0;
}

TEST(ThreadTest, SuspendAndResumeCountLikeWindows)
{
    SpinState state;
    Thread thread;
    CreateThread(thread, ThreadDesc(), Tick, &state);
    while (state.m_ticks.load() < 3)
        SleepMs(1);

    EXPECT_EQ(SuspendThread(thread), 0u);
    EXPECT_EQ(SuspendThread(thread), 1u);
    SleepMs(5); // let a tick that was under way finish
    const U64 frozen = state.m_ticks.load();
    SleepMs(50);
    EXPECT_EQ(state.m_ticks.load(), frozen);
    EXPECT_EQ(ResumeThread(thread), 2u);
    SleepMs(20);
    EXPECT_EQ(state.m_ticks.load(), frozen); // still suspended once
    EXPECT_EQ(ResumeThread(thread), 1u);
    while (state.m_ticks.load() < frozen + 3)
        SleepMs(1);
    EXPECT_EQ(ResumeThread(thread), 0u); // not suspended: nothing to do

    state.m_stop = true;
    thread.Join();
    ReleaseThreadHandle(thread);
}

U32 NameSelfLater(void* pArgument)
{
    std::atomic<int>& step = *static_cast<std::atomic<int>*>(pArgument);
    while (step.load() == 0)
        SleepMs(1);
    return 0;
}

TEST(ThreadTest, SetThreadNameIsHarmlessWithoutADebugger)
{
    SetThreadName(CurrentThreadId(), "gtest-main");
    std::atomic<int> step{0};
    Thread thread;
    CreateThread(thread, ThreadDesc(), NameSelfLater, &step);
    SetThreadName(thread.GetThreadId(), "renamed");
    SetThreadName(thread.GetThreadId(), nullptr);
    step = 1;
    thread.Join();
    ReleaseThreadHandle(thread);
    YieldThread();
}

TEST(ThreadDeathTest, Preconditions)
{
    Thread empty;
    EXPECT_DEATH(empty.Join(), "Attempted to join a non-joinable thread!");
    EXPECT_DEATH(ReleaseThreadHandle(empty), "nativeThread");
    EXPECT_DEATH(SuspendThread(empty), "nativeThread");
    EXPECT_DEATH(ResumeThread(empty), "nativeThread");
    Thread self = CurrentThread();
    EXPECT_DEATH(self.Join(), "A thread cannot join itself");

    Thread thread;
    std::atomic<int> step{1};
    CreateThread(thread, ThreadDesc(), NameSelfLater, &step);
    thread.Join();
    ReleaseThreadHandle(thread);
    EXPECT_DEATH(ReleaseThreadHandle(thread), "nativeThread");
}

TEST(ThreadDeathTest, AffinityOutsideTheProcessIsRefused)
{
    ThreadDesc desc;
    desc.m_affinityMask = 0;
    Thread thread;
    StartObservation seen;
    EXPECT_DEATH(CreateThread(thread, desc, ObserveStart, &seen), "retval");
}
} // namespace
