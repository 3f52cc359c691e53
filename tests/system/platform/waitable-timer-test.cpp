#include "corelib/system/platform/waitable-timer.h"

#include "corelib/system/platform/thread.h"
#include "corelib/system/timing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <limits>

using namespace oxsys;

namespace
{
constexpr I64 kIntervalsPerMs = 10000; // 100 ns units
constexpr I64 kOneHour = 3600 * 1000 * kIntervalsPerMs;

F32 ElapsedMs(U64 start)
{
    return TicksToSeconds(GetTimeNow() - start) * 1000.0f;
}

// The current UTC time as a FILETIME: 100 ns units since 1601.
I64 FileTimeNow()
{
    const auto sinceUnixEpoch = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(sinceUnixEpoch).count() / 100 +
           116444736000000000ll;
}

enum class TimerKind
{
    kHighResolution,
    kOrdinary,
};

bool Create(WaitableTimer& timer, TimerKind kind)
{
    return kind == TimerKind::kHighResolution ? CreateHighResolutionWaitableTimer(timer)
                                              : CreateWaitableTimer(timer);
}

// A thread that announces that it is about to wait on the timer and the event, waits,
// and notes whether the test had already released it by then.
class TimerWaiter
{
public:
    TimerWaiter(WaitableTimer& timer, Event& event) : m_timer(timer), m_event(event)
    {
        CreateThread(m_thread, ThreadDesc(), Wait, this);
        while (!m_announced.load())
            YieldThread();
    }
    ~TimerWaiter()
    {
        if (!m_left.load())
            SetEvent(m_event); // a test that stopped early still lets the waiter go
        Join();
    }

    // Marks the release as begun; the waiter must not return before this.
    void BeginRelease() { m_released.store(true); }
    bool HasLeft() const { return m_left.load(); }
    bool LeftOnlyAfterRelease() const { return m_leftAfterRelease; }

    void Join()
    {
        if (m_thread.IsEmpty())
            return;
        m_thread.Join();
        ReleaseThreadHandle(m_thread);
    }

private:
    static U32 Wait(void* pArgument)
    {
        TimerWaiter& self = *static_cast<TimerWaiter*>(pArgument);
        self.m_announced.store(true);
        WaitForTimerOrEvent(self.m_timer, self.m_event);
        self.m_leftAfterRelease = self.m_released.load();
        self.m_left.store(true);
        return 0;
    }

    WaitableTimer& m_timer;
    Event& m_event;
    Thread m_thread;
    std::atomic<bool> m_announced{false};
    std::atomic<bool> m_released{false};
    std::atomic<bool> m_left{false};
    bool m_leftAfterRelease = false; // read after the join
};

class WaitableTimerTest : public testing::TestWithParam<TimerKind>
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Create(m_timer, GetParam()));
        ASSERT_TRUE(CreateEvent(m_event));
    }
    WaitableTimer m_timer;
    Event m_event;
};

INSTANTIATE_TEST_SUITE_P(BothKinds, WaitableTimerTest,
                         testing::Values(TimerKind::kHighResolution, TimerKind::kOrdinary),
                         [](const testing::TestParamInfo<TimerKind>& info) {
                             return info.param == TimerKind::kHighResolution ? "HighResolution" : "Ordinary";
                         });

TEST_P(WaitableTimerTest, TimerWakesTheWaitAtItsDueTime)
{
    struct Case
    {
        const char* m_name;
        I64 (*m_dueTime)(); // absolute times are taken when the case runs
        F32 m_minMs;        // half the delay: Windows timers may fire up to a clock tick early
    };
    const Case cases[] = {
        {"relative 20 ms", [] { return -20 * kIntervalsPerMs; }, 10.0f},
        {"relative 100 ns", [] { return I64(-1); }, 0.0f},
        {"absolute in 20 ms", [] { return FileTimeNow() + 20 * kIntervalsPerMs; }, 10.0f},
        {"absolute, already past", [] { return FileTimeNow() - kOneHour; }, 0.0f},
        {"absolute 0 (1601)", [] { return I64(0); }, 0.0f},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.m_name);
        const U64 start = GetTimeNow();
        ASSERT_TRUE(SetWaitableTimer(m_timer, c.m_dueTime()));
        WaitForTimerOrEvent(m_timer, m_event);
        EXPECT_GE(ElapsedMs(start), c.m_minMs);
    }
}

TEST_P(WaitableTimerTest, SettingAgainReplacesTheDueTime)
{
    ASSERT_TRUE(SetWaitableTimer(m_timer, -kOneHour));
    ASSERT_TRUE(SetWaitableTimer(m_timer, -1 * kIntervalsPerMs));
    WaitForTimerOrEvent(m_timer, m_event); // returns after 1 ms, not an hour
}

TEST_P(WaitableTimerTest, SignalledEventEndsTheWaitAtOnce)
{
    ASSERT_TRUE(SetWaitableTimer(m_timer, -kOneHour));
    ASSERT_TRUE(SetEvent(m_event));
    WaitForTimerOrEvent(m_timer, m_event);
    WaitForTimerOrEvent(m_timer, m_event); // manual reset: still signalled
}

// The event ends a wait long before the timer, whether it is set or pulsed; due times at
// the ends of the range neither wrap into the past nor overflow.
TEST_P(WaitableTimerTest, EventEndsTheWaitBeforeALongTimer)
{
    const I64 dueTimes[] = {-kOneHour, std::numeric_limits<I64>::min(), std::numeric_limits<I64>::max()};
    for (const I64 dueTime : dueTimes)
    {
        for (const bool pulse : {false, true})
        {
            SCOPED_TRACE(testing::Message() << "due time " << dueTime << (pulse ? ", pulse" : ", set"));
            ASSERT_TRUE(SetWaitableTimer(m_timer, dueTime));
            TimerWaiter waiter(m_timer, m_event);
            waiter.BeginRelease();
            // A pulse before the waiter sleeps is lost; it is repeated until the waiter left.
            if (pulse)
            {
                while (!waiter.HasLeft())
                {
                    EXPECT_TRUE(PulseEvent(m_event));
                    YieldThread();
                }
            }
            else
            {
                EXPECT_TRUE(SetEvent(m_event));
            }
            waiter.Join();
            EXPECT_TRUE(waiter.LeftOnlyAfterRelease());
            ASSERT_TRUE(ResetEvent(m_event));
        }
    }
}

// The timer is auto-reset: the wait that sees it fire consumes the firing. A timer that
// was never set, or whose firing was consumed, leaves the wait to the event.
TEST_P(WaitableTimerTest, TimerWithoutAPendingFiringWaitsForTheEvent)
{
    for (const bool fireFirst : {false, true})
    {
        SCOPED_TRACE(fireFirst ? "fired and consumed" : "never set");
        WaitableTimer timer;
        ASSERT_TRUE(Create(timer, GetParam()));
        if (fireFirst)
        {
            ASSERT_TRUE(SetWaitableTimer(timer, -1));
            WaitForTimerOrEvent(timer, m_event);
        }
        TimerWaiter waiter(timer, m_event);
        waiter.BeginRelease();
        EXPECT_TRUE(SetEvent(m_event));
        waiter.Join();
        EXPECT_TRUE(waiter.LeftOnlyAfterRelease());
        ASSERT_TRUE(ResetEvent(m_event));
    }
}

// An emergency worker's idle loop: arm the timer for 0.5 ms and wait, again and again,
// while another thread pulses and sets the event. Every wait must end.
TEST_P(WaitableTimerTest, PollingLoopEndsEveryWaitWhileTheEventIsPulsed)
{
    struct Shared
    {
        WaitableTimer* m_pTimer;
        Event* m_pEvent;
        std::atomic<bool> m_done{false};
    } shared{&m_timer, &m_event};

    Thread worker;
    CreateThread(
        worker, ThreadDesc(),
        [](void* pArgument) -> U32
        {
            Shared& shared = *static_cast<Shared*>(pArgument);
            for (int i = 0; i < 200; ++i)
            {
                EXPECT_TRUE(SetWaitableTimer(*shared.m_pTimer, -5000));
                WaitForTimerOrEvent(*shared.m_pTimer, *shared.m_pEvent);
            }
            shared.m_done.store(true);
            return 0;
        },
        &shared);
    for (int round = 0; !shared.m_done.load(); ++round)
    {
        if (round % 16 == 0)
        {
            EXPECT_TRUE(SetEvent(m_event));
            EXPECT_TRUE(ResetEvent(m_event));
        }
        else
        {
            EXPECT_TRUE(PulseEvent(m_event));
        }
        YieldThread();
    }
    worker.Join();
    ReleaseThreadHandle(worker);
}

TEST(WaitableTimerLifecycleTest, DestroyIsHarmlessOnAnyTimerAndTheTimerCanBeCreatedAgain)
{
    WaitableTimer timer;
    EXPECT_FALSE(timer.IsInitialized());
    DestroyWaitableTimer(timer); // never created
    ASSERT_TRUE(CreateWaitableTimer(timer));
    EXPECT_TRUE(timer.IsInitialized());
    ASSERT_TRUE(SetWaitableTimer(timer, -kOneHour));
    DestroyWaitableTimer(timer); // destroying an armed timer
    EXPECT_FALSE(timer.IsInitialized());
    DestroyWaitableTimer(timer); // already destroyed
    ASSERT_TRUE(CreateHighResolutionWaitableTimer(timer));
    DestroyWaitableTimer(timer);
}

TEST(WaitableTimerDeathTest, UseBeforeCreationAndDoubleCreationAreReported)
{
    WaitableTimer timer;
    Event event;
    ASSERT_TRUE(CreateEvent(event));
    EXPECT_DEATH(SetWaitableTimer(timer, -1), "timer.m_initialized");
    EXPECT_DEATH(WaitForTimerOrEvent(timer, event), "timer.m_initialized");
    ASSERT_TRUE(CreateWaitableTimer(timer));
    EXPECT_DEATH(CreateWaitableTimer(timer), "!timer.m_initialized");
    EXPECT_DEATH(CreateHighResolutionWaitableTimer(timer), "!timer.m_initialized");
    Event uncreated;
    EXPECT_DEATH(WaitForTimerOrEvent(timer, uncreated), "event.m_initialized");
}
} // namespace
