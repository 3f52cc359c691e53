// The OS lock under oxsys::Mutex, one implementation per platform file. Each platform
// file also defines Mutex::Lock, TryLock and Unlock through mutex-entry.h, with its lock's
// enter and leave inlined.
#pragma once

#include "corelib/system/platform/mutex.h"

namespace oxsys
{
// Initialises a re-entrant lock in the mutex's storage.
void PlatformInitMutex(Mutex& mutex);
void PlatformDeleteMutex(Mutex& mutex);
} // namespace oxsys
