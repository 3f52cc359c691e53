// The lock inside an oxsys::Mutex on POSIX, declared once for the mutex and the condition
// variable that releases and retakes it: a re-entrant lock over a futex word, the
// stand-in for a CRITICAL_SECTION (which its owner may enter again, and which spins a
// little before it sleeps).
#pragma once

#include "corelib/system/platform/mutex.h"
#include "corelib/util/types.h"

#include <atomic>
#include <new>

namespace oxsys
{
struct NativeMutex
{
    // The futex word: 0 when free, else the owning thread's id, with
    // kNativeMutexContended set while a thread may sleep on the word (the unlock must
    // then wake one). A thread that finds its own id in it holds the lock.
    std::atomic<U32> m_word;
    // How often the owner has entered beyond the first time; 0 whenever the lock is free.
    // Read and written by the owner only.
    U32 m_extraEntries;
};

constexpr U32 kNativeMutexContended = 1u << 31;

static_assert(sizeof(NativeMutex) <= kMutexStorageSize, "the mutex storage is too small");
static_assert(alignof(NativeMutex) <= 16, "the mutex storage is not aligned enough");

// The lock in the mutex's storage (constructed there by the mutex's creation).
inline NativeMutex* PlatformNativeMutex(Mutex& mutex)
{
    return std::launder(reinterpret_cast<NativeMutex*>(mutex.m_criticalSection));
}

// Leaves the lock before a condition wait; the caller must hold it exactly once, or the
// wait would sleep with the lock still held.
void LeaveNativeMutexForWait(NativeMutex& lock);
// Enters the lock again after a condition wait, as long as that takes.
void EnterNativeMutexAfterWait(NativeMutex& lock);
} // namespace oxsys
