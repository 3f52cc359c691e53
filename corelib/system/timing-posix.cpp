#include "corelib/system/platform/platform.h"
#include "corelib/system/timing-platform.h"
#include "corelib/system/timing.h"
#include "corelib/util/msg-assert.h"

#include <cstring>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#if OX_ARCH_X64
#include <cpuid.h>
#include <x86intrin.h>
#endif

// The time base is the processor's time-stamp counter where it runs at a constant rate
// on every core whatever the power state (the "invariant TSC" of CPUID leaf 0x80000007):
// reading it costs a few nanoseconds, where the monotonic clock costs 25 to 45 under a
// hypervisor's clock source, and the job system reads the time several times per job.
// Its frequency is measured once against the monotonic clock. Elsewhere the monotonic
// clock in nanoseconds stands in for the performance counter: it never jumps with
// wall-clock changes and its unit gives a fixed frequency.
namespace
{
constexpr U64 kNanosecondsPerSecond = 1000000000ull;
// How long the counter is measured against the monotonic clock, in nanoseconds.
constexpr U64 kCalibrationNanoseconds = 2000000;

U64 MonotonicNanoseconds()
{
    timespec now;
    int result = clock_gettime(CLOCK_MONOTONIC, &now);
    OX_ASSERT(result == 0);
    (void)result;
    return static_cast<U64>(now.tv_sec) * kNanosecondsPerSecond + static_cast<U64>(now.tv_nsec);
}

struct TimeBase
{
    bool m_useTsc;
    U64 m_frequency;
};

#if OX_ARCH_X64
bool HasInvariantTsc()
{
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(0x80000000u, &eax, &ebx, &ecx, &edx) || eax < 0x80000007u)
        return false;
    if (!__get_cpuid(0x80000007u, &eax, &ebx, &ecx, &edx))
        return false;
    return (edx & (1u << 8)) != 0;
}

// A monotonic-clock reading paired with the counter value at the same moment (the middle
// of two counter reads around it; a pair taken across a preemption is taken again).
void ReadClockPair(U64& nanoseconds, U64& ticks)
{
    for (int attempt = 0;; ++attempt)
    {
        const U64 before = __rdtsc();
        nanoseconds = MonotonicNanoseconds();
        const U64 after = __rdtsc();
        ticks = before + (after - before) / 2;
        if (after - before < 20000 || attempt == 8)
            return;
    }
}

TimeBase ChooseTimeBase()
{
    if (!HasInvariantTsc())
        return {false, kNanosecondsPerSecond};
    U64 startNs = 0, startTicks = 0, endNs = 0, endTicks = 0;
    ReadClockPair(startNs, startTicks);
    do
        ReadClockPair(endNs, endTicks);
    while (endNs - startNs < kCalibrationNanoseconds);
    // A counter that did not advance, or ran below 1 MHz, is no time base.
    const U64 elapsedTicks = endTicks > startTicks ? endTicks - startTicks : 0;
    const U64 frequency =
        static_cast<U64>(static_cast<double>(elapsedTicks) * 1e9 / static_cast<double>(endNs - startNs));
    if (frequency < 1000000)
        return {false, kNanosecondsPerSecond};
    return {true, frequency};
}
#else
TimeBase ChooseTimeBase()
{
    return {false, kNanosecondsPerSecond};
}
#endif

// Decided on first use, from any thread (a function-local static is initialised once).
const TimeBase& GetTimeBase()
{
    static const TimeBase s_timeBase = ChooseTimeBase();
    return s_timeBase;
}
} // namespace

U64 TimingReadFrequency()
{
    return GetTimeBase().m_frequency;
}

U64 GetTimeNow()
{
#if OX_ARCH_X64
    if (OX_LIKELY(GetTimeBase().m_useTsc))
        return __rdtsc();
#endif
    return MonotonicNanoseconds();
}

// The scheduler here has no global timer resolution to raise: there is nothing to do.
bool TimingBeginPeriod(U32)
{
    return true;
}

bool TimingEndPeriod(U32)
{
    return true;
}

bool IsDebuggerAttached()
{
#if OX_PLATFORM_LINUX
    // A tracer (gdb, lldb, strace) shows as a non-zero TracerPid in the process status.
    int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buffer[4096];
    ssize_t length = read(fd, buffer, sizeof(buffer) - 1);
    close(fd);
    if (length <= 0)
        return false;
    buffer[length] = '\0';
    static const char kKey[] = "TracerPid:";
    const char* p = strstr(buffer, kKey);
    if (!p)
        return false;
    p += sizeof(kKey) - 1;
    while (*p == ' ' || *p == '\t')
        ++p;
    return *p >= '1' && *p <= '9';
#else
    return false;
#endif
}
