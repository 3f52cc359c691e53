// The futex system calls behind futex-posix.h.
#include "corelib/system/platform/futex-posix.h"

#include "corelib/system/platform/platform.h"
#include "corelib/util/msg-assert.h"

#include <cerrno>
#include <climits>

#if !OX_PLATFORM_LINUX
#error "The POSIX mutex and condition variable sleep on a Linux futex; this system has none"
#endif

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace oxsys
{
namespace
{
static_assert(sizeof(std::atomic<U32>) == sizeof(U32) && std::atomic<U32>::is_always_lock_free,
              "the kernel reads the futex word as a plain 32-bit integer");

inline U32* WordAddress(std::atomic<U32>& word)
{
    return reinterpret_cast<U32*>(&word);
}
} // namespace

FutexWaitResult FutexWait(std::atomic<U32>& word, U32 expected, const timespec* pDeadline)
{
    // FUTEX_WAIT_BITSET takes an absolute deadline on CLOCK_MONOTONIC (FUTEX_WAIT a
    // relative one), so a wait restarted after a signal keeps its original end.
    const long result = syscall(SYS_futex, WordAddress(word), FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG,
                                expected, pDeadline, nullptr, FUTEX_BITSET_MATCH_ANY);
    if (result == 0)
        return FutexWaitResult::kWoken;
    const int error = errno;
    if (error == EAGAIN)
        return FutexWaitResult::kValueChanged;
    if (error == EINTR)
        return FutexWaitResult::kInterrupted;
    OX_ASSERT_MSG(error == ETIMEDOUT, "futex wait failed with errno %d", error);
    return FutexWaitResult::kTimedOut;
}

void FutexWakeOne(std::atomic<U32>& word)
{
    OX_VERIFY(
        syscall(SYS_futex, WordAddress(word), FUTEX_WAKE | FUTEX_PRIVATE_FLAG, 1, nullptr, nullptr, 0) >= 0);
}

void FutexWakeAll(std::atomic<U32>& word)
{
    OX_VERIFY(syscall(SYS_futex, WordAddress(word), FUTEX_WAKE | FUTEX_PRIVATE_FLAG, INT_MAX, nullptr,
                      nullptr, 0) >= 0);
}
} // namespace oxsys
