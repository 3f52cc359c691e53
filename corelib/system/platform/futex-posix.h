// Sleeping on a 32-bit word until another thread wakes it: the Linux futex, under the
// POSIX mutex and condition variable. Process-private: the word must not be shared with
// another process.
#pragma once

#include "corelib/util/types.h"

#include <atomic>
#include <ctime>

namespace oxsys
{
enum class FutexWaitResult
{
    kWoken,        // a FutexWake reached this waiter (or the kernel woke it spuriously)
    kValueChanged, // the word no longer held the expected value: no sleep at all
    kInterrupted,  // a signal handler ran; the word may still hold the expected value
    kTimedOut,     // the deadline passed first
};

// Sleeps while word holds expected, until a FutexWake on it, a signal or the deadline
// (an absolute CLOCK_MONOTONIC time; null waits without one). The comparison and the
// sleep are one step, so a wake-up that follows a change of the word is never missed.
FutexWaitResult FutexWait(std::atomic<U32>& word, U32 expected, const timespec* pDeadline);
// Wakes at most one thread sleeping on word.
void FutexWakeOne(std::atomic<U32>& word);
// Wakes every thread sleeping on word.
void FutexWakeAll(std::atomic<U32>& word);
} // namespace oxsys
