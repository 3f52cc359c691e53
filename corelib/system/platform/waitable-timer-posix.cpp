// The waitable timer on POSIX: the due time on CLOCK_MONOTONIC in nanoseconds (kNotSet
// when the timer is not set), and the combined wait is a timed wait on the event until
// that due time. The event's wait is the only place that sleeps, so a pulse or a set of
// the event releases the wait exactly as it releases any other waiter.
#include "corelib/system/platform/event-posix.h"
#include "corelib/system/platform/waitable-timer-platform.h"
#include "corelib/util/msg-assert.h"

#include <atomic>
#include <ctime>
#include <limits>
#include <new>

namespace oxsys
{
namespace
{
struct PosixTimer
{
    std::atomic<U64> m_dueNs;
};
static_assert(sizeof(PosixTimer) <= kWaitableTimerStorageSize, "the timer storage is too small");
static_assert(alignof(PosixTimer) <= 16, "the timer storage is not aligned enough");

// The due time of a timer that is not set (or whose firing was consumed); the monotonic
// clock never reads 0 once the system runs.
constexpr U64 kNotSet = 0;
constexpr U64 kNsPerSecond = 1000000000;
constexpr U64 kNsPerInterval = 100;
// 100 ns intervals from 1601-01-01 (the FILETIME origin) to 1970-01-01.
constexpr U64 kFileTimeOfUnixEpoch = 116444736000000000ull;
constexpr U64 kMaxU64 = std::numeric_limits<U64>::max();

inline PosixTimer& NativeTimer(WaitableTimer& timer)
{
    return *std::launder(reinterpret_cast<PosixTimer*>(timer.m_timer));
}

U64 ReadClockNs(clockid_t clock)
{
    timespec now;
    OX_VERIFY(clock_gettime(clock, &now) == 0);
    return static_cast<U64>(now.tv_sec) * kNsPerSecond + static_cast<U64>(now.tv_nsec);
}

// Due times far in the future saturate instead of wrapping into the past.
U64 IntervalsToNs(U64 intervals)
{
    return intervals > kMaxU64 / kNsPerInterval ? kMaxU64 : intervals * kNsPerInterval;
}

U64 SaturatingAdd(U64 a, U64 b)
{
    return b > kMaxU64 - a ? kMaxU64 : a + b;
}

timespec ToTimespec(U64 ns)
{
    timespec time;
    time.tv_sec = static_cast<time_t>(ns / kNsPerSecond);
    time.tv_nsec = static_cast<long>(ns % kNsPerSecond);
    return time;
}
} // namespace

bool PlatformCreateWaitableTimer(WaitableTimer& timer, bool highResolution)
{
    // Both kinds are the same here: the wait's resolution is the condition's.
    (void)highResolution;
    new (timer.m_timer) PosixTimer{kNotSet};
    return true;
}

void PlatformDestroyWaitableTimer(WaitableTimer& timer)
{
    (void)timer;
}

bool PlatformSetWaitableTimer(WaitableTimer& timer, I64 dueTime100ns)
{
    const U64 now = ReadClockNs(CLOCK_MONOTONIC);
    U64 delayNs = 0;
    if (dueTime100ns < 0)
    {
        // The negation in unsigned arithmetic is defined for the most negative value too.
        delayNs = IntervalsToNs(0 - static_cast<U64>(dueTime100ns));
    }
    else
    {
        // An absolute UTC time: its distance from now on the wall clock, measured once;
        // a time already past fires at once.
        const U64 nowFileTime = ReadClockNs(CLOCK_REALTIME) / kNsPerInterval + kFileTimeOfUnixEpoch;
        const U64 dueFileTime = static_cast<U64>(dueTime100ns);
        if (dueFileTime > nowFileTime)
            delayNs = IntervalsToNs(dueFileTime - nowFileTime);
    }
    U64 due = SaturatingAdd(now, delayNs);
    if (due == kNotSet)
        due = 1;
    NativeTimer(timer).m_dueNs.store(due, std::memory_order_release);
    return true;
}

void PlatformWaitForTimerOrEvent(WaitableTimer& timer, Event& event)
{
    PosixTimer& native = NativeTimer(timer);
    for (;;)
    {
        U64 due = native.m_dueNs.load(std::memory_order_acquire);
        if (due != kNotSet && ReadClockNs(CLOCK_MONOTONIC) >= due)
        {
            // The timer is auto-reset: the wait that sees it fire consumes the firing. A
            // failed exchange means it was set again (or consumed by another waiter).
            if (native.m_dueNs.compare_exchange_strong(due, kNotSet, std::memory_order_acq_rel))
                return;
            continue;
        }
        if (due == kNotSet)
        {
            if (PosixWaitForEventUntil(event, nullptr))
                return;
            continue;
        }
        const timespec deadline = ToTimespec(due);
        if (PosixWaitForEventUntil(event, &deadline))
            return;
    }
}
} // namespace oxsys
