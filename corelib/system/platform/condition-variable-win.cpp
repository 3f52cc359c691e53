// The OS condition variable on Windows: a CONDITION_VARIABLE slept on with the mutex's
// critical section.
#include "corelib/system/platform/condition-variable-platform.h"
#include "corelib/system/platform/mutex-native-win.h"

namespace oxsys
{
namespace
{
static_assert(sizeof(CONDITION_VARIABLE) <= kConditionVariableStorageSize,
              "the condition storage is too small");

inline CONDITION_VARIABLE* NativeCondition(ConditionVariable& cv)
{
    return reinterpret_cast<CONDITION_VARIABLE*>(cv.m_conditionVariable);
}
} // namespace

void PlatformInitConditionVariable(ConditionVariable& cv)
{
    InitializeConditionVariable(NativeCondition(cv));
}

void PlatformDeleteConditionVariable(ConditionVariable&)
{
    // A Windows condition variable holds no resources.
}

void PlatformSignalConditionVariable(ConditionVariable& cv)
{
    WakeConditionVariable(NativeCondition(cv));
}

void PlatformBroadcastConditionVariable(ConditionVariable& cv)
{
    WakeAllConditionVariable(NativeCondition(cv));
}

bool PlatformWaitConditionVariable(ConditionVariable& cv, Mutex& mutex, U32 timeoutMs)
{
    return SleepConditionVariableCS(NativeCondition(cv), PlatformNativeMutex(mutex), timeoutMs) != 0;
}
} // namespace oxsys
