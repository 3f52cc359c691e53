// oxsys::Mutex: a blocking lock over the operating system's re-entrant lock, with its
// own lock count that tells plain from recursive mutexes and supports a timed lock.
// Construct (zeroed, unusable), then oxsys::CreateMutex before use.
// (Contract header: the platform-threading work fills in the storage and the rest.)
#pragma once

#include "corelib/util/types.h"

namespace oxsys
{
constexpr U32 MUTEX_RECURSIVE = 1;
constexpr U32 kInfinite = 0xFFFFFFFFu;

struct MutexDesc
{
    U32 m_type = 0;
    char m_name[32] = {};
    void SetName(const char* name);
};

class alignas(16) Mutex
{
public:
    Mutex();
    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    bool Lock(U32 timeoutMs = kInfinite);
    bool TryLock();
    void Unlock();
    bool IsLocked() const;
    bool IsInitialized() const;
    // Opaque platform storage and the fields of the count check follow.
};

void CreateMutex(const MutexDesc& desc, Mutex& mutex);
} // namespace oxsys
