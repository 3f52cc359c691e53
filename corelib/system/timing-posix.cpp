#include "corelib/system/platform/platform.h"
#include "corelib/system/timing-platform.h"
#include "corelib/system/timing.h"
#include "corelib/util/msg-assert.h"

#include <cstring>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

// The monotonic clock in nanoseconds stands in for the performance counter: it never
// jumps with wall-clock changes and its unit gives a fixed frequency.
static constexpr U64 kNanosecondsPerSecond = 1000000000ull;

U64 TimingReadFrequency()
{
    return kNanosecondsPerSecond;
}

U64 GetTimeNow()
{
    timespec now;
    int result = clock_gettime(CLOCK_MONOTONIC, &now);
    OX_ASSERT(result == 0);
    (void)result;
    return static_cast<U64>(now.tv_sec) * kNanosecondsPerSecond + static_cast<U64>(now.tv_nsec);
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
