// The OS condition variable on POSIX: a sequence number that waiters sleep on as a futex
// word, beside the futex mutex of mutex-posix.cpp (a pthread_cond_t could only release a
// pthread mutex).
//
// A waiter reads the sequence while it still holds the mutex, releases the mutex and
// sleeps only while the sequence is unchanged. Signal and Broadcast advance the sequence
// before they wake, so a signal that falls between the release and the sleep makes the
// sleep return at once instead of being lost. The kernel wakes sleepers of equal priority
// in arrival order; a signal may also end the wait of a thread that was about to sleep,
// so callers re-check their condition in a loop.
#include "corelib/system/platform/condition-variable-platform.h"
#include "corelib/system/platform/deadline-posix.h"
#include "corelib/system/platform/futex-posix.h"
#include "corelib/system/platform/mutex-native-posix.h"

#include <atomic>
#include <ctime>
#include <new>

namespace oxsys
{
namespace
{
struct NativeCondition
{
    // Advanced by every Signal and Broadcast (wrap-around is harmless: a waiter compares
    // for equality and would need 2^32 signals between its read and its sleep to miss one).
    std::atomic<U32> m_sequence;
    // Threads between the start and the end of a Wait; Signal and Broadcast make no system
    // call while it is 0.
    std::atomic<U32> m_waiters;
};

static_assert(sizeof(NativeCondition) <= kConditionVariableStorageSize, "the condition storage is too small");
static_assert(alignof(NativeCondition) <= 16, "the condition storage is not aligned enough");

inline NativeCondition& NativeConditionOf(ConditionVariable& cv)
{
    return *std::launder(reinterpret_cast<NativeCondition*>(cv.m_conditionVariable));
}

// Advances the sequence; true when some thread may be waiting. With the waiter's
// increment and read (both sequentially consistent) this is a store-then-load pair on
// each side: either the signaller sees the waiter, or the waiter reads the new sequence
// and does not sleep.
inline bool AdvanceSequence(NativeCondition& condition)
{
    condition.m_sequence.fetch_add(1, std::memory_order_seq_cst);
    return condition.m_waiters.load(std::memory_order_seq_cst) != 0;
}
} // namespace

void PlatformInitConditionVariable(ConditionVariable& cv)
{
    ::new (static_cast<void*>(cv.m_conditionVariable)) NativeCondition();
}

void PlatformDeleteConditionVariable(ConditionVariable& cv)
{
    NativeConditionOf(cv).~NativeCondition();
}

void PlatformSignalConditionVariable(ConditionVariable& cv)
{
    NativeCondition& condition = NativeConditionOf(cv);
    if (AdvanceSequence(condition))
        FutexWakeOne(condition.m_sequence);
}

void PlatformBroadcastConditionVariable(ConditionVariable& cv)
{
    NativeCondition& condition = NativeConditionOf(cv);
    if (AdvanceSequence(condition))
        FutexWakeAll(condition.m_sequence);
}

bool PlatformWaitConditionVariable(ConditionVariable& cv, Mutex& mutex, U32 timeoutMs)
{
    NativeCondition& condition = NativeConditionOf(cv);
    NativeMutex& lock = *PlatformNativeMutex(mutex);
    const timespec deadline = timeoutMs == kInfinite ? timespec() : MonotonicDeadlineAfter(timeoutMs);
    const timespec* pDeadline = timeoutMs == kInfinite ? nullptr : &deadline;

    condition.m_waiters.fetch_add(1, std::memory_order_seq_cst);
    const U32 sequence = condition.m_sequence.load(std::memory_order_seq_cst);
    LeaveNativeMutexForWait(lock);
    FutexWaitResult result;
    do
    {
        // A signal handler (a thread suspension, say) ends the sleep early; sleep again
        // unless a Signal or Broadcast came meanwhile.
        result = FutexWait(condition.m_sequence, sequence, pDeadline);
    } while (result == FutexWaitResult::kInterrupted &&
             condition.m_sequence.load(std::memory_order_relaxed) == sequence);
    condition.m_waiters.fetch_sub(1, std::memory_order_relaxed);
    EnterNativeMutexAfterWait(lock);
    return result != FutexWaitResult::kTimedOut;
}
} // namespace oxsys
