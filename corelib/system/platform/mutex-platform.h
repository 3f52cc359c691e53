// The OS lock under oxsys::Mutex, one implementation per platform file.
#pragma once

#include "corelib/system/platform/mutex.h"

namespace oxsys
{
// Initialises a re-entrant lock in the mutex's storage.
void PlatformInitMutex(Mutex& mutex);
void PlatformDeleteMutex(Mutex& mutex);
void PlatformEnterMutex(Mutex& mutex);
bool PlatformTryEnterMutex(Mutex& mutex);
void PlatformLeaveMutex(Mutex& mutex);
} // namespace oxsys
