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

// A wait that sees no progress for this long has lost its wake-up: every wait below is
// answered within microseconds when nothing is lost, so even a loaded machine stays far
// below it.
constexpr U32 kLostWakeUpMs = 20000;

// Where the signalling thread signals: still holding the mutex, or after letting it go
// (which leaves a window between a waiter's release of the mutex and its sleep).
enum class SignalPlace
{
    kUnderMutex,
    kAfterUnlock,
};

struct PingPong
{
    Shared m_shared;
    SignalPlace m_place = SignalPlace::kUnderMutex;
    int m_turn = 0; // under the mutex: whose turn it is, 0 or 1
    bool m_stalled = false;
    std::atomic<int> m_nextPlayer{0};
};

constexpr int kPingPongRounds = 5000;

U32 PlayPingPong(void* pArgument)
{
    PingPong& game = *static_cast<PingPong*>(pArgument);
    Shared& shared = game.m_shared;
    const int me = game.m_nextPlayer.fetch_add(1);
    for (int round = 0; round < kPingPongRounds; ++round)
    {
        shared.m_mutex.Lock();
        while (game.m_turn != me && !game.m_stalled)
        {
            // A lost wake-up ends the game for both players (the other one finds the flag
            // at its own time-out at the latest).
            if (!shared.m_cv.Wait(shared.m_mutex, kLostWakeUpMs) && game.m_turn != me)
                game.m_stalled = true;
        }
        if (game.m_stalled)
        {
            shared.m_mutex.Unlock();
            break;
        }
        game.m_turn = 1 - me;
        if (game.m_place == SignalPlace::kUnderMutex)
        {
            shared.m_cv.Signal();
            shared.m_mutex.Unlock();
        }
        else
        {
            shared.m_mutex.Unlock();
            shared.m_cv.Signal();
        }
    }
    return 0;
}

// Two threads hand a turn back and forth thousands of times, each signal the only one
// that can wake the other: a single lost wake-up stalls the game.
TEST(ConditionVariableTest, PingPongLosesNoWakeUp)
{
    for (SignalPlace place : {SignalPlace::kUnderMutex, SignalPlace::kAfterUnlock})
    {
        PingPong game;
        game.m_place = place;
        Thread players[2];
        for (Thread& player : players)
            CreateThread(player, ThreadDesc(), PlayPingPong, &game);
        for (Thread& player : players)
        {
            player.Join();
            ReleaseThreadHandle(player);
        }
        EXPECT_FALSE(game.m_stalled) << (place == SignalPlace::kUnderMutex ? "under" : "after");
        EXPECT_FALSE(game.m_shared.m_mutex.IsLocked());
    }
}

struct Hammer
{
    Shared m_shared;
    bool m_posted = false; // under the mutex
    std::atomic<bool> m_finished{false};
};

constexpr int kHammerRounds = 2000;

// Takes the mutex the moment it is free, which is most often the moment a waiter
// releases it inside Wait, and posts and signals whenever nothing is posted.
U32 PostWheneverTheMutexIsFree(void* pArgument)
{
    Hammer& hammer = *static_cast<Hammer*>(pArgument);
    Shared& shared = hammer.m_shared;
    while (!hammer.m_finished.load())
    {
        if (!shared.m_mutex.TryLock())
            continue;
        if (!hammer.m_posted)
        {
            hammer.m_posted = true;
            shared.m_cv.Signal();
        }
        shared.m_mutex.Unlock();
    }
    return 0;
}

// The signal lands between the waiter's release of the mutex and its sleep, round after
// round. A wait that sleeps through such a signal never wakes: nothing else is posted
// until the waiter takes the post.
TEST(ConditionVariableTest, SignalBetweenReleaseAndSleepIsNotLost)
{
    Hammer hammer;
    Shared& shared = hammer.m_shared;
    Thread thread;
    CreateThread(thread, ThreadDesc(), PostWheneverTheMutexIsFree, &hammer);
    bool stalled = false;
    for (int round = 0; round < kHammerRounds && !stalled; ++round)
    {
        shared.m_mutex.Lock();
        while (!hammer.m_posted && !stalled)
            stalled = !shared.m_cv.Wait(shared.m_mutex, kLostWakeUpMs) && !hammer.m_posted;
        hammer.m_posted = false;
        shared.m_mutex.Unlock();
    }
    hammer.m_finished = true;
    thread.Join();
    ReleaseThreadHandle(thread);
    EXPECT_FALSE(stalled);
}

struct ItemQueue
{
    Shared m_shared;
    ConditionVariable m_drained;
    SignalPlace m_place = SignalPlace::kUnderMutex;
    int m_items = 0; // the rest under the mutex
    int m_consumed = 0;
    bool m_done = false;
};

constexpr int kConsumers = 3;
constexpr int kItems = 20000;

U32 ConsumeItems(void* pArgument)
{
    ItemQueue& queue = *static_cast<ItemQueue*>(pArgument);
    Shared& shared = queue.m_shared;
    shared.m_mutex.Lock();
    for (;;)
    {
        // Longer than the producer's wait for the drain, which fails first when an item
        // is stranded; this only lets a consumer find the end after such a failure.
        while (queue.m_items == 0 && !queue.m_done)
            shared.m_cv.Wait(shared.m_mutex, 3 * kLostWakeUpMs);
        if (queue.m_items == 0)
            break;
        --queue.m_items;
        if (++queue.m_consumed == kItems)
            queue.m_drained.Signal();
    }
    shared.m_mutex.Unlock();
    return 0;
}

// One producer signals once per item to several consumers that sleep whenever the queue
// is empty. Each signal must reach a sleeping consumer: a lost one strands an item while
// every consumer sleeps, and the queue never drains.
TEST(ConditionVariableTest, OneSignalPerItemDrainsTheQueue)
{
    for (SignalPlace place : {SignalPlace::kUnderMutex, SignalPlace::kAfterUnlock})
    {
        ItemQueue queue;
        queue.m_place = place;
        CreateConditionVariable(ConditionVariableDesc(), queue.m_drained);
        Shared& shared = queue.m_shared;
        Thread consumers[kConsumers];
        for (Thread& consumer : consumers)
            CreateThread(consumer, ThreadDesc(), ConsumeItems, &queue);
        for (int item = 0; item < kItems; ++item)
        {
            shared.m_mutex.Lock();
            ++queue.m_items;
            if (place == SignalPlace::kUnderMutex)
            {
                shared.m_cv.Signal();
                shared.m_mutex.Unlock();
            }
            else
            {
                shared.m_mutex.Unlock();
                shared.m_cv.Signal();
            }
        }
        shared.m_mutex.Lock();
        while (queue.m_consumed != kItems)
        {
            if (!queue.m_drained.Wait(shared.m_mutex, kLostWakeUpMs) && queue.m_consumed != kItems)
                break;
        }
        EXPECT_EQ(queue.m_consumed, kItems) << queue.m_items << " items stranded ("
                                            << (place == SignalPlace::kUnderMutex ? "under" : "after") << ")";
        queue.m_done = true;
        queue.m_items = 0;
        shared.m_cv.Broadcast();
        shared.m_mutex.Unlock();
        for (Thread& consumer : consumers)
        {
            consumer.Join();
            ReleaseThreadHandle(consumer);
        }
    }
}

struct Barrier
{
    Shared m_shared;
    int m_arrived = 0; // the rest under the mutex
    U32 m_generation = 0;
    bool m_stalled = false;
};

constexpr int kBarrierThreads = 3;
constexpr int kBarrierRounds = 2000;

U32 PassBarrier(void* pArgument)
{
    Barrier& barrier = *static_cast<Barrier*>(pArgument);
    Shared& shared = barrier.m_shared;
    for (int round = 0; round < kBarrierRounds; ++round)
    {
        shared.m_mutex.Lock();
        const U32 generation = barrier.m_generation;
        if (++barrier.m_arrived == kBarrierThreads)
        {
            barrier.m_arrived = 0;
            ++barrier.m_generation;
            shared.m_cv.Broadcast();
        }
        else
        {
            while (barrier.m_generation == generation && !barrier.m_stalled)
            {
                if (!shared.m_cv.Wait(shared.m_mutex, kLostWakeUpMs) && barrier.m_generation == generation)
                    barrier.m_stalled = true;
            }
        }
        const bool stalled = barrier.m_stalled;
        shared.m_mutex.Unlock();
        if (stalled)
            break;
    }
    return 0;
}

// A barrier over many rounds: each Broadcast must wake every thread that sleeps in it,
// also while the woken ones race back for the mutex and into the next round.
TEST(ConditionVariableTest, BroadcastBarrierWakesEveryWaiterEveryRound)
{
    Barrier barrier;
    Thread threads[kBarrierThreads];
    for (Thread& thread : threads)
        CreateThread(thread, ThreadDesc(), PassBarrier, &barrier);
    for (Thread& thread : threads)
    {
        thread.Join();
        ReleaseThreadHandle(thread);
    }
    EXPECT_FALSE(barrier.m_stalled);
    EXPECT_EQ(barrier.m_generation, static_cast<U32>(kBarrierRounds));
}

struct TimedWaiters
{
    Shared m_shared;
    int m_signalledResults = 0; // the rest under the mutex
    int m_timedOutResults = 0;
};

U32 WaitWithLongTimeOut(void* pArgument)
{
    TimedWaiters& waiters = *static_cast<TimedWaiters*>(pArgument);
    Shared& shared = waiters.m_shared;
    shared.m_mutex.Lock();
    shared.m_waiting.fetch_add(1);
    while (shared.m_value == 0)
    {
        if (shared.m_cv.Wait(shared.m_mutex, kLostWakeUpMs))
            ++waiters.m_signalledResults;
        else
            ++waiters.m_timedOutResults;
    }
    ++shared.m_woken;
    shared.m_mutex.Unlock();
    return 0;
}

// Waits with a time-out end at the signal, long before their time runs out, and report
// that they were signalled.
TEST(ConditionVariableTest, TimedWaitsEndAtTheSignalAndSaySo)
{
    for (bool broadcast : {false, true})
    {
        TimedWaiters waiters;
        Shared& shared = waiters.m_shared;
        constexpr int kWaiters = 3;
        Thread threads[kWaiters];
        for (Thread& thread : threads)
            CreateThread(thread, ThreadDesc(), WaitWithLongTimeOut, &waiters);
        while (shared.m_waiting.load() != kWaiters)
            YieldThread();
        // Each waiter registered under the mutex and releases it only by waiting: once the
        // mutex is ours, all of them wait.
        shared.m_mutex.Lock();
        shared.m_value = 1;
        if (broadcast)
            shared.m_cv.Broadcast();
        else
        {
            for (int i = 0; i < kWaiters; ++i)
                shared.m_cv.Signal();
        }
        shared.m_mutex.Unlock();
        for (Thread& thread : threads)
        {
            thread.Join();
            ReleaseThreadHandle(thread);
        }
        EXPECT_EQ(shared.m_woken, kWaiters);
        EXPECT_EQ(waiters.m_timedOutResults, 0) << (broadcast ? "broadcast" : "signal");
        EXPECT_GE(waiters.m_signalledResults, kWaiters);
    }
}

struct Intruder
{
    Shared* m_pShared;
    std::atomic<bool> m_started{false};
    bool m_inside = false; // under the mutex
    bool m_done = false;
};

U32 HoldMutexForAWhile(void* pArgument)
{
    Intruder& intruder = *static_cast<Intruder*>(pArgument);
    intruder.m_started = true;
    intruder.m_pShared->m_mutex.Lock();
    intruder.m_inside = true;
    SleepMs(30); // longer than the wait's time-out, so that it runs out while this thread holds the mutex
    intruder.m_inside = false;
    intruder.m_done = true;
    intruder.m_pShared->m_mutex.Unlock();
    return 0;
}

// A timed wait whose time runs out while another thread holds the mutex returns only once
// it has the mutex again: never beside the other thread.
TEST(ConditionVariableTest, TimedOutWaitRetakesTheMutexOnlyWhenFree)
{
    Shared shared;
    Intruder intruder;
    intruder.m_pShared = &shared;
    shared.m_mutex.Lock();
    Thread thread;
    CreateThread(thread, ThreadDesc(), HoldMutexForAWhile, &intruder);
    while (!intruder.m_started.load())
        YieldThread();
    EXPECT_FALSE(shared.m_cv.Wait(shared.m_mutex, 5));
    EXPECT_FALSE(intruder.m_inside);
    EXPECT_EQ(shared.m_mutex.m_lockCount, 1);
    shared.m_mutex.Unlock();
    thread.Join();
    ReleaseThreadHandle(thread);
    EXPECT_TRUE(intruder.m_done);
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
