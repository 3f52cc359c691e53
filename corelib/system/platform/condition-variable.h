// oxsys::ConditionVariable: waits on an oxsys::Mutex held once by the caller. Construct
// (zeroed, unusable), then oxsys::CreateConditionVariable before use.
#pragma once

#include "corelib/system/platform/mutex.h"
#include "corelib/util/types.h"

namespace oxsys
{
// Bytes of opaque storage for the OS condition variable; each platform file checks
// that its type fits.
constexpr U64 kConditionVariableStorageSize = 48;

struct ConditionVariableDesc
{
    char m_name[32] = {};
    // Copies at most 31 characters and terminates them; null zero-fills the name.
    void SetName(const char* name);
};

class alignas(16) ConditionVariable
{
public:
    // A zeroed condition variable; it must be created before use.
    ConditionVariable();
    // Destroys the OS object when the condition variable was created.
    ~ConditionVariable();
    ConditionVariable(const ConditionVariable&) = delete;
    ConditionVariable& operator=(const ConditionVariable&) = delete;

    // Wakes one waiter.
    void Signal();
    // Wakes all waiters.
    void Broadcast();
    // Releases the mutex (held exactly once by the caller), sleeps until signalled or
    // until timeoutMs passes (kInfinite: no limit; 0 is not allowed), and takes the mutex
    // again. False on time-out, with the mutex held again and its count restored.
    // Wake-ups without a signal can happen: re-check the condition in a loop.
    bool Wait(Mutex& mutex, U32 timeoutMs = kInfinite);
    bool IsInitialized() const { return m_initialized; }

    alignas(16) U8 m_conditionVariable[kConditionVariableStorageSize];
    bool m_initialized;
};

void CreateConditionVariable(const ConditionVariableDesc& desc, ConditionVariable& cv);
// Destroys the OS object and zero-fills the condition variable (no thread may wait on it).
void DestroyConditionVariable(ConditionVariable& cv);
} // namespace oxsys
