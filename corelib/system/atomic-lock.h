// OxAtomicLock: a spinning lock in one 64-bit word for short critical sections that
// must not enter the kernel. Waiting opens a "Waiting" profiler region; a wait of more
// than the deadlock limit (10 seconds) prints "%s: atomic deadlock detected\n" on
// channel 8 and, without a debugger, reports an assertion. Not recursive; the owner is
// not recorded.
#pragma once

#include "corelib/util/types.h"

#include <atomic>

class OxAtomicLock
{
public:
    static constexpr U64 kMarker = 0xABECEDE0BEEFA901ull;
    static constexpr U64 kHeld = ~0ull;

    // Stores the marker and frees the lock.
    void Init();
    // Same as Init: a lock released without initialisation becomes usable.
    void Release();
    // Waits as long as it takes; the caller's location names it in the deadlock report.
    void AcquireLock(const char* sourceFile, int line, const char* functionName);
    // Gives up after timeoutMicroseconds (0 makes one attempt); true when taken.
    bool TimedAcquire(U64 timeoutMicroseconds);
    // One attempt; true when taken.
    bool TryAcquire();
    bool IsLocked() const { return m_lock.load(std::memory_order_relaxed) != 0; }

    std::atomic<U64> m_lock{0};
    U64 m_marker = 0;
};

// Acquires a lock, naming the calling function in the deadlock report.
#define OX_ATOMIC_LOCK_ACQUIRE(lock) (lock).AcquireLock(__FILE__, __LINE__, __PRETTY_FUNCTION__)

// Holds an OxAtomicLock for the lifetime of the scope.
class OxAtomicLockJanitor
{
public:
    OxAtomicLockJanitor(OxAtomicLock& lock, const char* sourceFile, int line, const char* functionName)
        : m_lock(lock)
    {
        m_lock.AcquireLock(sourceFile, line, functionName);
    }
    ~OxAtomicLockJanitor() { m_lock.Release(); }
    OxAtomicLockJanitor(const OxAtomicLockJanitor&) = delete;
    OxAtomicLockJanitor& operator=(const OxAtomicLockJanitor&) = delete;

private:
    OxAtomicLock& m_lock;
};

#define OX_ATOMIC_LOCK_SCOPE(lock)                                                                           \
    OxAtomicLockJanitor oxAtomicLockJanitor_(lock, __FILE__, __LINE__, __PRETTY_FUNCTION__)

// The deadlock limit of AcquireLock in counter ticks: 10 seconds' worth unless a test
// has set another figure.
U64 GetAtomicLockDeadlockLimitTicks();
// Sets the deadlock limit in counter ticks; 0 restores the 10-second default. Meant for
// tests, which want the report in milliseconds.
void SetAtomicLockDeadlockLimitTicks(U64 ticks);

// The spin forms acquire with a bounded quadratic back-off instead of a deadlock report:
// after n failed attempts they pause n * min(n, 50) times, or, when mayYield is true and
// n is above 50, sleep 1 ms. Released with the lock's own Release.
void SpinAcquireLock(OxAtomicLock& lock, bool mayYield);

// The 32-bit spin lock: a lock word (0 free, all ones held) and a flag set by Init.
class OxSpinLock32
{
public:
    static constexpr U32 kHeld = ~0u;

    // Sets the flag and frees the lock.
    void Init();
    // Frees the lock (and, like Init, marks it usable).
    void Release();
    // One attempt; true when taken.
    bool TryAcquire();
    bool IsLocked() const { return m_lock.load(std::memory_order_relaxed) != 0; }

    std::atomic<U32> m_lock{0};
    U8 m_initialized = 0;
};

// Acquires the 32-bit spin lock with the back-off described above.
void SpinAcquireLock(OxSpinLock32& lock, bool mayYield);
