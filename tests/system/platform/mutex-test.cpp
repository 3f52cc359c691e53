#include "corelib/system/platform/mutex.h"

#include "corelib/system/platform/fiber.h"
#include "corelib/system/platform/mutex-sanitizer.h"
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

// How a thread of the mixed test below enters the mutex.
enum class EntryForm
{
    kBlocking,
    kTimed,
    kTryUntilTaken,
    kNested, // four levels: blocking twice, timed, try
};
constexpr EntryForm kEntryForms[] = {EntryForm::kBlocking, EntryForm::kTimed, EntryForm::kTryUntilTaken,
                                     EntryForm::kNested};
constexpr int kMixedThreads = 4;
constexpr U64 kMixedIterations = 20000;

struct MixedArgs
{
    Mutex m_mutex;
    U64 m_counter = 0;                 // changed under the mutex only
    std::atomic<int> m_inside{0};      // threads between entry and exit: never more than one
    std::atomic<int> m_overlaps{0};    // times a thread found another inside
    std::atomic<int> m_wrongCounts{0}; // times the owner saw a lock count other than its depth
    std::atomic<int> m_nextThread{0};
};

// Each iteration uses the next entry form, so every form meets every other one.
U32 EnterInEveryForm(void* pArgument)
{
    MixedArgs& args = *static_cast<MixedArgs*>(pArgument);
    const int thread = args.m_nextThread.fetch_add(1);
    for (U64 i = 0; i < kMixedIterations; ++i)
    {
        const EntryForm form = kEntryForms[(i + thread) % 4];
        int depth = 1;
        switch (form)
        {
        case EntryForm::kBlocking:
            args.m_mutex.Lock();
            break;
        case EntryForm::kTimed:
            EXPECT_TRUE(args.m_mutex.Lock(60000));
            break;
        case EntryForm::kTryUntilTaken:
            while (!args.m_mutex.TryLock())
                YieldThread();
            break;
        case EntryForm::kNested:
            args.m_mutex.Lock();
            args.m_mutex.Lock();
            EXPECT_TRUE(args.m_mutex.Lock(60000));
            EXPECT_TRUE(args.m_mutex.TryLock());
            depth = 4;
            break;
        }
        if (args.m_inside.fetch_add(1) != 0)
            args.m_overlaps.fetch_add(1);
        if (args.m_mutex.m_lockCount != depth)
            args.m_wrongCounts.fetch_add(1);
        ++args.m_counter;
        args.m_inside.fetch_sub(1);
        for (int level = 0; level < depth; ++level)
            args.m_mutex.Unlock();
    }
    return 0;
}

// More threads than cores, so that waiters spin, sleep and are woken, with every entry
// form and recursion mixed: no two threads are ever inside together and no increment is lost.
TEST(MutexTest, ExcludesManyThreadsMixingEveryEntryFormAndRecursion)
{
    MixedArgs args;
    Create(args.m_mutex, MUTEX_RECURSIVE);
    Thread threads[kMixedThreads];
    for (Thread& thread : threads)
        CreateThread(thread, ThreadDesc(), EnterInEveryForm, &args);
    for (Thread& thread : threads)
    {
        thread.Join();
        ReleaseThreadHandle(thread);
    }
    EXPECT_EQ(args.m_counter, kMixedThreads * kMixedIterations);
    EXPECT_EQ(args.m_overlaps.load(), 0);
    EXPECT_EQ(args.m_wrongCounts.load(), 0);
    EXPECT_FALSE(args.m_mutex.IsLocked());
}

struct QueueArgs
{
    Mutex m_mutex;
    std::atomic<int> m_started{0};
    std::atomic<int> m_timedOut{0};
    std::atomic<bool> m_released{false};
    int m_entered = 0; // under the mutex
};

constexpr int kQueuedThreads = 3;

// Blocks on the mutex that the test holds.
U32 LockBehindHolder(void* pArgument)
{
    QueueArgs& args = *static_cast<QueueArgs*>(pArgument);
    args.m_started.fetch_add(1);
    args.m_mutex.Lock();
    ++args.m_entered;
    args.m_mutex.Unlock();
    return 0;
}

// Times out on the mutex while the test holds it, then takes it once it is let go.
U32 TimedLockBehindHolder(void* pArgument)
{
    QueueArgs& args = *static_cast<QueueArgs*>(pArgument);
    if (!args.m_mutex.Lock(5))
        args.m_timedOut.fetch_add(1);
    args.m_started.fetch_add(1);
    while (!args.m_released.load())
        YieldThread();
    EXPECT_TRUE(args.m_mutex.Lock(60000));
    ++args.m_entered;
    args.m_mutex.Unlock();
    return 0;
}

// Several threads queue behind a holder; each must get in after it lets go. With waiters
// asleep, a wake-up that reaches only the first of them would leave the others asleep for
// good (the join would never return).
TEST(MutexTest, EveryThreadQueuedBehindAHolderGetsIn)
{
    for (ThreadFunction function : {LockBehindHolder, TimedLockBehindHolder})
    {
        QueueArgs args;
        Create(args.m_mutex, 0);
        args.m_mutex.Lock();
        Thread threads[kQueuedThreads];
        for (Thread& thread : threads)
            CreateThread(thread, ThreadDesc(), function, &args);
        while (args.m_started.load() != kQueuedThreads)
            YieldThread();
        // Give the blocking waiters time to fall asleep; the test holds either way.
        for (int i = 0; i < 100; ++i)
            YieldThread();
        EXPECT_EQ(args.m_mutex.m_lockCount, 1); // the timed attempts left the holder's count alone
        args.m_mutex.Unlock();
        args.m_released = true;
        for (Thread& thread : threads)
        {
            thread.Join();
            ReleaseThreadHandle(thread);
        }
        EXPECT_EQ(args.m_entered, kQueuedThreads);
        const int expectedTimeOuts = function == TimedLockBehindHolder ? kQueuedThreads : 0;
        EXPECT_EQ(args.m_timedOut.load(), expectedTimeOuts);
        EXPECT_FALSE(args.m_mutex.IsLocked());
    }
}

struct FiberArgs
{
    Mutex m_mutex;
    Fiber m_locker;
    Fiber m_unlocker;
    std::atomic<bool> m_takenByAnotherThread{false};
};

void LockAndSwitch(void* pArgument)
{
    FiberArgs& args = *static_cast<FiberArgs*>(pArgument);
    args.m_mutex.Lock();
    SanitizerMutexHoldLeavesFiber(args.m_mutex.m_criticalSection);
    SwitchToFiber(args.m_unlocker);
}

void UnlockAndStop(void* pArgument)
{
    FiberArgs& args = *static_cast<FiberArgs*>(pArgument);
    SanitizerMutexHoldJoinsFiber(args.m_mutex.m_criticalSection);
    args.m_mutex.Unlock();
    StopFiberExecution();
}

U32 TryLockOnce(void* pArgument)
{
    FiberArgs& args = *static_cast<FiberArgs*>(pArgument);
    if (args.m_mutex.TryLock())
    {
        args.m_takenByAnotherThread = true;
        args.m_mutex.Unlock();
    }
    return 0;
}

// The owner of a mutex is its thread, not its fiber: a lock taken on one fiber may be
// released by the next fiber the thread runs (the job system holds a lock across a fiber
// switch that way; ThreadSanitizer, which sees two threads there, is told).
TEST(MutexTest, AnotherFiberOfTheOwningThreadMayUnlock)
{
    FiberArgs args;
    Create(args.m_mutex, 0);
    CreateFiber(args.m_locker, "locker", LockAndSwitch, nullptr, 64 * 1024, &args);
    CreateFiber(args.m_unlocker, "unlocker", UnlockAndStop, nullptr, 64 * 1024, &args);
    StartFiberExecution(args.m_locker);
    ReleaseFiber(args.m_locker);
    ReleaseFiber(args.m_unlocker);
    EXPECT_FALSE(args.m_mutex.IsLocked());
    Thread thread;
    CreateThread(thread, ThreadDesc(), TryLockOnce, &args);
    thread.Join();
    ReleaseThreadHandle(thread);
    EXPECT_TRUE(args.m_takenByAnotherThread.load());
    EXPECT_TRUE(args.m_mutex.TryLock()); // and for this thread
    args.m_mutex.Unlock();
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

U32 LockAndHold(void* pArgument)
{
    QueueArgs& args = *static_cast<QueueArgs*>(pArgument);
    args.m_mutex.Lock();
    args.m_started = 1;
    while (!args.m_released.load()) // never: the process ends first
        YieldThread();
    return 0;
}

void UnlockWhileAnotherThreadHolds()
{
    QueueArgs args;
    Create(args.m_mutex, 0);
    Thread thread;
    CreateThread(thread, ThreadDesc(), LockAndHold, &args);
    while (args.m_started.load() != 1)
        YieldThread();
    args.m_mutex.Unlock();
}

// Unlocking a mutex that another thread holds would let a third thread in beside the owner.
TEST(MutexDeathTest, UnlockByAThreadThatDoesNotHoldItIsReported)
{
    EXPECT_DEATH(UnlockWhileAnotherThreadHolds(), "Mutex unlocked by a thread that does not hold it");
}
} // namespace
