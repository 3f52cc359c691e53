#include "corelib/system/platform/mutex.h"

#include "corelib/system/platform/thread.h"
#include "corelib/system/timing.h"

#include <gtest/gtest.h>

#include <atomic>

using namespace oxsys;

namespace
{
void Create(Mutex& mutex, U32 type)
{
    MutexDesc desc;
    desc.m_type = type;
    desc.SetName("test");
    CreateMutex(desc, mutex);
}

TEST(MutexTest, DescriptionNameIsCutAndTerminated)
{
    MutexDesc desc;
    desc.SetName("a name that is much longer than thirty-one characters");
    EXPECT_EQ(std::string(desc.m_name),
              std::string("a name that is much longer than thirty-one characters").substr(0, 31));
    desc.SetName(nullptr);
    for (char c : desc.m_name)
        EXPECT_EQ(c, 0);
}

TEST(MutexTest, LifecycleFromZeroedToCreatedToDestroyed)
{
    Mutex mutex;
    EXPECT_FALSE(mutex.IsInitialized());
    EXPECT_FALSE(mutex.IsLocked());
    Create(mutex, 0);
    EXPECT_TRUE(mutex.IsInitialized());
    EXPECT_TRUE(mutex.Lock());
    EXPECT_TRUE(mutex.IsLocked());
    mutex.Unlock();
    EXPECT_FALSE(mutex.IsLocked());
    DestroyMutex(mutex);
    EXPECT_FALSE(mutex.IsInitialized());
    Create(mutex, 0); // created again after destruction
    EXPECT_TRUE(mutex.TryLock());
    mutex.Unlock();
}

TEST(MutexTest, RecursiveMutexCountsItsOwner)
{
    Mutex mutex;
    Create(mutex, MUTEX_RECURSIVE);
    EXPECT_TRUE(mutex.Lock());
    EXPECT_TRUE(mutex.Lock(10));
    EXPECT_TRUE(mutex.TryLock());
    EXPECT_EQ(mutex.m_lockCount, 3);
    mutex.Unlock();
    mutex.Unlock();
    EXPECT_TRUE(mutex.IsLocked());
    mutex.Unlock();
    EXPECT_FALSE(mutex.IsLocked());
}

struct HoldArgs
{
    Mutex* m_pMutex;
    std::atomic<int> m_phase{0}; // 1: holding, 2: let go
    std::atomic<int> m_tryResult{-1};
};

U32 HoldMutex(void* pArgument)
{
    HoldArgs& args = *static_cast<HoldArgs*>(pArgument);
    args.m_pMutex->Lock();
    args.m_phase = 1;
    while (args.m_phase.load() != 2)
        SleepMs(1);
    args.m_pMutex->Unlock();
    return 0;
}

TEST(MutexTest, TimedLockGivesUpWhileAnotherThreadHoldsIt)
{
    Mutex mutex;
    Create(mutex, 0);
    HoldArgs args;
    args.m_pMutex = &mutex;
    Thread thread;
    CreateThread(thread, ThreadDesc(), HoldMutex, &args);
    while (args.m_phase.load() != 1)
        YieldThread();

    EXPECT_FALSE(mutex.TryLock());
    const U64 start = GetTimeNow();
    EXPECT_FALSE(mutex.Lock(5));
    EXPECT_GE(TicksToSeconds(GetTimeNow() - start) * 1000.0f, 5.0f);
    EXPECT_EQ(mutex.m_lockCount, 1); // the holder's count, untouched

    args.m_phase = 2;
    EXPECT_TRUE(mutex.Lock(5000));
    EXPECT_EQ(mutex.m_lockCount, 1);
    mutex.Unlock();
    thread.Join();
    ReleaseThreadHandle(thread);
}

struct CounterArgs
{
    Mutex m_mutex;
    U64 m_counter = 0;
    bool m_timed = false;
};

constexpr U64 kIncrements = 50000;

U32 IncrementUnderMutex(void* pArgument)
{
    CounterArgs& args = *static_cast<CounterArgs*>(pArgument);
    for (U64 i = 0; i < kIncrements; ++i)
    {
        if (args.m_timed)
            EXPECT_TRUE(args.m_mutex.Lock(10000));
        else
            args.m_mutex.Lock();
        ++args.m_counter;
        args.m_mutex.Unlock();
    }
    return 0;
}

TEST(MutexTest, ExcludesAcrossThreadsWithBlockingAndTimedLocks)
{
    for (bool timed : {false, true})
    {
        CounterArgs args;
        args.m_timed = timed;
        Create(args.m_mutex, 0);
        Thread threads[2];
        for (Thread& thread : threads)
            CreateThread(thread, ThreadDesc(), IncrementUnderMutex, &args);
        for (Thread& thread : threads)
        {
            thread.Join();
            ReleaseThreadHandle(thread);
        }
        EXPECT_EQ(args.m_counter, 2 * kIncrements) << (timed ? "timed" : "blocking");
    }
}

TEST(MutexTest, PayloadValidationCounterMovesTheCountOnly)
{
    Mutex mutex;
    Create(mutex, 0);
    AdjustMutexPayloadValidationLockCounter(&mutex, true);
    EXPECT_TRUE(mutex.IsLocked());
    AdjustMutexPayloadValidationLockCounter(&mutex, false);
    EXPECT_FALSE(mutex.IsLocked());
    // The OS lock was never taken: another thread could enter it now.
    EXPECT_TRUE(mutex.TryLock());
    mutex.Unlock();
}

TEST(MutexDeathTest, Preconditions)
{
    Mutex uncreated;
    EXPECT_DEATH(uncreated.Lock(), "pMutexData->m_initialized");
    EXPECT_DEATH(uncreated.TryLock(), "pMutexData->m_initialized");
    EXPECT_DEATH(uncreated.Unlock(), "pMutexData->m_initialized");

    Mutex mutex;
    Create(mutex, 0);
    EXPECT_DEATH(Create(mutex, 0), "!pData->m_initialized");
    EXPECT_DEATH(mutex.Lock(0), "Zero timeout is not allowed - Use TryLock instead.");
    EXPECT_DEATH(mutex.Unlock(), "pMutexData->m_lockCount > 0");
    EXPECT_DEATH(AdjustMutexPayloadValidationLockCounter(&mutex, false), "pMutexData->m_lockCount > 0");
    mutex.Lock();
    EXPECT_DEATH(mutex.Lock(), "pMutexData->m_type == MUTEX_RECURSIVE");
    EXPECT_DEATH(mutex.TryLock(), "pMutexData->m_type == MUTEX_RECURSIVE");
    EXPECT_DEATH(AdjustMutexPayloadValidationLockCounter(&mutex, true),
                 "pMutexData->m_lockCount >= 0 && \\(pMutexData->m_type == MUTEX_RECURSIVE \\|\\| "
                 "pMutexData->m_lockCount == 0\\)");
    mutex.Unlock();
}
} // namespace
