#include "corelib/system/platform/event.h"

#include "corelib/system/platform/platform.h"
#include "corelib/system/platform/thread.h"
#include "corelib/system/timing.h"

#if OX_PLATFORM_POSIX
#include "corelib/system/platform/event-posix.h"
#endif

#include <gtest/gtest.h>

#include <atomic>
#include <functional>

using namespace oxsys;

namespace
{
F32 ElapsedMs(U64 start)
{
    return TicksToSeconds(GetTimeNow() - start) * 1000.0f;
}

// Threads that each announce that they are about to wait, wait on the event without a
// time-out and count themselves out.
class Waiters
{
public:
    Waiters(Event& event, int count) : m_event(event), m_count(count)
    {
        for (int i = 0; i < m_count; ++i)
            CreateThread(m_threads[i], ThreadDesc(), Wait, this);
    }
    // A test that stopped early still lets its waiters go.
    ~Waiters()
    {
        if (m_left.load() != m_count)
            SetEvent(m_event);
        Join();
    }

    void WaitUntilAllAnnounced() const
    {
        while (m_announced.load() != m_count)
            YieldThread();
    }

    // Calls release until every waiter has left its wait, then joins them.
    void ReleaseUntilAllLeft(const std::function<void()>& release)
    {
        WaitUntilAllAnnounced();
        while (m_left.load() != m_count)
        {
            release();
            YieldThread();
        }
        Join();
    }

    void Join()
    {
        for (int i = 0; i < m_count; ++i)
        {
            if (m_threads[i].IsEmpty())
                continue;
            m_threads[i].Join();
            ReleaseThreadHandle(m_threads[i]);
        }
    }

    int Left() const { return m_left.load(); }
    int Succeeded() const { return m_succeeded.load(); }

private:
    static U32 Wait(void* pArgument)
    {
        Waiters& self = *static_cast<Waiters*>(pArgument);
        self.m_announced.fetch_add(1);
        if (WaitForEvent(self.m_event, kInfinite))
            self.m_succeeded.fetch_add(1);
        self.m_left.fetch_add(1);
        return 0;
    }

    static constexpr int kMaxWaiters = 4;
    Event& m_event;
    int m_count;
    Thread m_threads[kMaxWaiters];
    std::atomic<int> m_announced{0};
    std::atomic<int> m_left{0};
    std::atomic<int> m_succeeded{0};
};

class EventTest : public testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(CreateEvent(m_event)); }
    Event m_event;
};

TEST_F(EventTest, ManualResetStateFollowsSetResetAndPulse)
{
    EXPECT_FALSE(WaitForEvent(m_event, 0)) << "created non-signalled";
    ASSERT_TRUE(SetEvent(m_event));
    // Manual reset: waits do not consume the signal.
    EXPECT_TRUE(WaitForEvent(m_event, 0));
    EXPECT_TRUE(WaitForEvent(m_event, 10));
    EXPECT_TRUE(WaitForEvent(m_event, kInfinite));
    EXPECT_TRUE(SetEvent(m_event)) << "setting a signalled event succeeds";
    ASSERT_TRUE(ResetEvent(m_event));
    EXPECT_FALSE(WaitForEvent(m_event, 0));
    EXPECT_TRUE(ResetEvent(m_event)) << "resetting a non-signalled event succeeds";

    // A pulse leaves the event non-signalled, whatever it was; with nobody waiting it
    // releases nobody later.
    ASSERT_TRUE(SetEvent(m_event));
    ASSERT_TRUE(PulseEvent(m_event));
    EXPECT_FALSE(WaitForEvent(m_event, 0));
    ASSERT_TRUE(PulseEvent(m_event));
    EXPECT_FALSE(WaitForEvent(m_event, 0));
}

TEST_F(EventTest, TimedWaitOnANonSignalledEventTimesOut)
{
    const U64 start = GetTimeNow();
    EXPECT_FALSE(WaitForEvent(m_event, 40));
    // Windows may end a wait up to one clock tick (15.6 ms) early.
    EXPECT_GE(ElapsedMs(start), 20.0f);
    EXPECT_FALSE(WaitForEvent(m_event, 1));
}

TEST_F(EventTest, SetReleasesEveryWaiterAndStaysSignalled)
{
    Waiters waiters(m_event, 3);
    waiters.WaitUntilAllAnnounced();
    ASSERT_TRUE(SetEvent(m_event));
    waiters.Join();
    EXPECT_EQ(waiters.Succeeded(), 3);
    EXPECT_TRUE(WaitForEvent(m_event, 0));
}

// A pulse or a set followed at once by a reset releases the threads that are waiting at
// that moment and leaves the event non-signalled. A release that comes before a waiter
// has gone to sleep is legitimately lost, so the release is repeated until all have left.
TEST_F(EventTest, PulseOrSetAndResetReleaseEveryWaiterAndLeaveTheEventNonSignalled)
{
    const std::pair<const char*, std::function<void(Event&)>> releases[] = {
        {"pulse", [](Event& event) { EXPECT_TRUE(PulseEvent(event)); }},
        {"set and reset",
         [](Event& event)
         {
             EXPECT_TRUE(SetEvent(event));
             EXPECT_TRUE(ResetEvent(event));
         }},
    };
    for (const auto& [name, release] : releases)
    {
        SCOPED_TRACE(name);
        Waiters waiters(m_event, 3);
        waiters.ReleaseUntilAllLeft([&] { release(m_event); });
        EXPECT_EQ(waiters.Succeeded(), 3);
        EXPECT_FALSE(WaitForEvent(m_event, 0));
    }
}

// Two threads hand a turn back and forth through two events; a wake-up lost anywhere
// between the lock-free check of a signalled event and the sleeping path hangs the test.
TEST_F(EventTest, PingPongLosesNoWakeUp)
{
    struct Shared
    {
        Event m_ping;
        Event m_pong;
        int m_turns = 0; // written by one side at a time, ordered by the events
    } shared;
    ASSERT_TRUE(CreateEvent(shared.m_ping));
    ASSERT_TRUE(CreateEvent(shared.m_pong));
    constexpr int kRounds = 2000;

    Thread thread;
    CreateThread(
        thread, ThreadDesc(),
        [](void* pArgument) -> U32
        {
            Shared& shared = *static_cast<Shared*>(pArgument);
            for (int i = 0; i < kRounds; ++i)
            {
                EXPECT_TRUE(WaitForEvent(shared.m_ping, kInfinite));
                EXPECT_TRUE(ResetEvent(shared.m_ping));
                ++shared.m_turns;
                EXPECT_TRUE(SetEvent(shared.m_pong));
            }
            return 0;
        },
        &shared);
    for (int i = 0; i < kRounds; ++i)
    {
        EXPECT_TRUE(SetEvent(shared.m_ping));
        EXPECT_TRUE(WaitForEvent(shared.m_pong, kInfinite));
        EXPECT_TRUE(ResetEvent(shared.m_pong));
        ++shared.m_turns;
    }
    thread.Join();
    ReleaseThreadHandle(thread);
    EXPECT_EQ(shared.m_turns, 2 * kRounds);
}

TEST(EventLifecycleTest, DestroyIsHarmlessOnAnyEventAndTheEventCanBeCreatedAgain)
{
    Event event;
    EXPECT_FALSE(event.IsInitialized());
    DestroyEvent(event); // never created
    ASSERT_TRUE(CreateEvent(event));
    EXPECT_TRUE(event.IsInitialized());
    ASSERT_TRUE(SetEvent(event));
    DestroyEvent(event);
    EXPECT_FALSE(event.IsInitialized());
    DestroyEvent(event); // already destroyed
    ASSERT_TRUE(CreateEvent(event));
    EXPECT_FALSE(WaitForEvent(event, 0)) << "a new event starts non-signalled";
}

TEST(EventDeathTest, UseBeforeCreationAndDoubleCreationAreReported)
{
    Event event;
    EXPECT_DEATH(SetEvent(event), "event.m_initialized");
    EXPECT_DEATH(ResetEvent(event), "event.m_initialized");
    EXPECT_DEATH(PulseEvent(event), "event.m_initialized");
    EXPECT_DEATH(WaitForEvent(event, 0), "event.m_initialized");
    ASSERT_TRUE(CreateEvent(event));
    EXPECT_DEATH(CreateEvent(event), "!event.m_initialized");
}

#if OX_PLATFORM_POSIX
// The stand-in event can tell when its waiters are asleep, so here one release must be
// enough: a single pulse, or a set undone at once by a reset, before any woken waiter
// has looked at the state again.
TEST_F(EventTest, OneReleaseFreesEveryRegisteredWaiter)
{
    const std::pair<const char*, std::function<void(Event&)>> releases[] = {
        {"pulse", [](Event& event) { EXPECT_TRUE(PulseEvent(event)); }},
        {"set and reset",
         [](Event& event)
         {
             EXPECT_TRUE(SetEvent(event));
             EXPECT_TRUE(ResetEvent(event));
         }},
    };
    for (const auto& [name, release] : releases)
    {
        SCOPED_TRACE(name);
        Waiters waiters(m_event, 3);
        while (PosixEventWaiterCount(m_event) != 3)
            YieldThread();
        release(m_event);
        waiters.Join();
        EXPECT_EQ(waiters.Succeeded(), 3);
        EXPECT_EQ(PosixEventWaiterCount(m_event), 0u);
        EXPECT_FALSE(WaitForEvent(m_event, 0));
    }
}
#endif
} // namespace
