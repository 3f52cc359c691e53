#include "corelib/system/platform/condition-variable.h"

#include "corelib/system/platform/thread.h"
#include "corelib/system/timing.h"

#include <gtest/gtest.h>

#include <atomic>

using namespace oxsys;

namespace
{
struct Shared
{
    Shared()
    {
        MutexDesc mutexDesc;
        CreateMutex(mutexDesc, m_mutex);
        ConditionVariableDesc cvDesc;
        cvDesc.SetName("test");
        CreateConditionVariable(cvDesc, m_cv);
    }
    Mutex m_mutex;
    ConditionVariable m_cv;
    int m_value = 0;
    int m_woken = 0;
    std::atomic<int> m_waiting{0};
};

TEST(ConditionVariableTest, TimedWaitRunsOutWithTheMutexHeldAgain)
{
    Shared shared;
    shared.m_mutex.Lock();
    const U64 start = GetTimeNow();
    EXPECT_FALSE(shared.m_cv.Wait(shared.m_mutex, 10));
    EXPECT_GE(TicksToSeconds(GetTimeNow() - start) * 1000.0f, 9.0f);
    EXPECT_EQ(shared.m_mutex.m_lockCount, 1);
    shared.m_mutex.Unlock();
    EXPECT_FALSE(shared.m_mutex.IsLocked());
}

TEST(ConditionVariableTest, RecursiveMutexHeldOnceWaitsAndRestoresItsCount)
{
    Shared shared;
    DestroyMutex(shared.m_mutex);
    MutexDesc desc;
    desc.m_type = MUTEX_RECURSIVE;
    CreateMutex(desc, shared.m_mutex);
    shared.m_mutex.Lock();
    EXPECT_FALSE(shared.m_cv.Wait(shared.m_mutex, 1));
    EXPECT_TRUE(shared.m_mutex.Lock()); // still recursive after the wait
    EXPECT_EQ(shared.m_mutex.m_lockCount, 2);
    shared.m_mutex.Unlock();
    shared.m_mutex.Unlock();
}

U32 WaitForValue(void* pArgument)
{
    Shared& shared = *static_cast<Shared*>(pArgument);
    shared.m_mutex.Lock();
    shared.m_waiting.fetch_add(1);
    while (shared.m_value == 0)
        EXPECT_TRUE(shared.m_cv.Wait(shared.m_mutex));
    ++shared.m_woken;
    shared.m_mutex.Unlock();
    return 0;
}

// Signal wakes one waiter at a time, Broadcast all of them; none is lost either way.
TEST(ConditionVariableTest, SignalAndBroadcastWakeTheirWaiters)
{
    for (bool broadcast : {false, true})
    {
        Shared shared;
        constexpr int kWaiters = 3;
        Thread threads[kWaiters];
        for (Thread& thread : threads)
            CreateThread(thread, ThreadDesc(), WaitForValue, &shared);
        while (shared.m_waiting.load() != kWaiters)
            SleepMs(1);
        shared.m_mutex.Lock();
        shared.m_value = 1;
        if (broadcast)
            shared.m_cv.Broadcast();
        shared.m_mutex.Unlock();
        if (!broadcast)
        {
            for (int woken = 0; woken < kWaiters;)
            {
                shared.m_mutex.Lock();
                woken = shared.m_woken;
                shared.m_cv.Signal();
                shared.m_mutex.Unlock();
                SleepMs(1);
            }
        }
        for (Thread& thread : threads)
        {
            thread.Join();
            ReleaseThreadHandle(thread);
        }
        EXPECT_EQ(shared.m_woken, kWaiters);
    }
}

TEST(ConditionVariableDeathTest, Preconditions)
{
    ConditionVariable uncreated;
    Mutex mutex;
    MutexDesc desc;
    desc.m_type = MUTEX_RECURSIVE;
    CreateMutex(desc, mutex);
    EXPECT_DEATH(uncreated.Signal(), "pData->m_initialized");
    EXPECT_DEATH(uncreated.Broadcast(), "pData->m_initialized");
    EXPECT_DEATH(uncreated.Wait(mutex, 1), "pData->m_initialized");

    Shared shared;
    ConditionVariableDesc cvDesc;
    EXPECT_DEATH(CreateConditionVariable(cvDesc, shared.m_cv), "!pData->m_initialized");
    shared.m_mutex.Lock();
    EXPECT_DEATH(shared.m_cv.Wait(shared.m_mutex, 0), "Zero timeout is not allowed");
    shared.m_mutex.Unlock();
    // Not held at all, or held twice: the wait could not release it.
    EXPECT_DEATH(shared.m_cv.Wait(mutex, 1), "held exactly once");
    mutex.Lock();
    mutex.Lock();
    EXPECT_DEATH(shared.m_cv.Wait(mutex, 1), "held exactly once");
    mutex.Unlock();
    mutex.Unlock();
}
} // namespace
