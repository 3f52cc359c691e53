// oxsys::Mutex: a blocking lock over the operating system's re-entrant lock, with its
// own lock count that tells plain from recursive mutexes and supports a timed lock.
// Construct (zeroed, unusable), then oxsys::CreateMutex before use.
//
// The count is changed only by the owning thread while it holds the OS lock, so it needs
// no read-modify-write operations (its stores are relaxed atomics only so that IsLocked
// may be asked from any thread). The OS lock lets its owner in again; a plain mutex refuses that
// through the count check (an assertion), a MUTEX_RECURSIVE one counts up.
#pragma once

#include "corelib/util/types.h"

namespace oxsys
{
constexpr U32 MUTEX_RECURSIVE = 1;
constexpr U32 kInfinite = 0xFFFFFFFFu;

// Bytes of opaque storage for the OS lock (CRITICAL_SECTION, pthread_mutex_t); each
// platform file checks that its lock fits.
constexpr U64 kMutexStorageSize = 64;

struct MutexDesc
{
    U32 m_type = 0;
    char m_name[32] = {};
    // Copies at most 31 characters and terminates them; null zero-fills the name.
    void SetName(const char* name);
};

class alignas(16) Mutex
{
public:
    // A zeroed mutex; it must be created before use.
    Mutex();
    // Destroys the OS lock when the mutex was created.
    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    // Locks, waiting at most timeoutMs (kInfinite: no limit; 0 is not allowed, use
    // TryLock). A timed wait spins with pause instructions and never sleeps: it is for
    // short waits. False when the time ran out; the count is then unchanged.
    bool Lock(U32 timeoutMs = kInfinite);
    // One attempt; false when another thread holds the mutex.
    bool TryLock();
    // Releases one level of the calling thread's hold.
    void Unlock();
    bool IsLocked() const;
    bool IsInitialized() const;

    alignas(16) U8 m_criticalSection[kMutexStorageSize];
    I32 m_lockCount;
    U32 m_type;
    bool m_initialized;
};

void CreateMutex(const MutexDesc& desc, Mutex& mutex);
// Locks with no time limit like Mutex::Lock, and names the wait: while the mutex is held
// by another thread, a profiler region waitName is open (Mutex::Lock names it "Waiting").
// Taking a free mutex opens no region.
void LockMutexNamingTheWait(Mutex& mutex, const char* waitName);
// Deletes the OS lock and zero-fills the mutex; it may be created again.
void DestroyMutex(Mutex& mutex);
// Adjusts the count without touching the OS lock: for a wait that releases and retakes
// the OS lock itself (the condition variable).
void AdjustMutexPayloadValidationLockCounter(Mutex* pMutexData, bool increment);
} // namespace oxsys
