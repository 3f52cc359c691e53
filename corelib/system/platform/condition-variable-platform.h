// The OS condition variable under oxsys::ConditionVariable, one implementation per
// platform file.
#pragma once

#include "corelib/system/platform/condition-variable.h"

namespace oxsys
{
void PlatformInitConditionVariable(ConditionVariable& cv);
void PlatformDeleteConditionVariable(ConditionVariable& cv);
void PlatformSignalConditionVariable(ConditionVariable& cv);
void PlatformBroadcastConditionVariable(ConditionVariable& cv);
// Sleeps on the condition with the mutex's OS lock; false on time-out or failure.
bool PlatformWaitConditionVariable(ConditionVariable& cv, Mutex& mutex, U32 timeoutMs);
} // namespace oxsys
