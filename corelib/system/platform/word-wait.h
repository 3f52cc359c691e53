// Sleeping until a 32-bit word changes: a thread reads the word, tests its own condition
// and sleeps while the word still holds what it read; another thread changes the word and
// wakes the sleepers. Linux: the futex; Win32: WaitOnAddress. Process-private words only.
#pragma once

#include "corelib/util/types.h"

#include <atomic>

namespace oxsys
{
// Sleeps while word holds expected, until WakeAllOnWord on it; returns at once when it
// differs. May also return spuriously (a signal, the kernel): the caller tests again.
void WaitOnWord(std::atomic<U32>& word, U32 expected);
// Wakes every thread sleeping in WaitOnWord on word. Change the word first.
void WakeAllOnWord(std::atomic<U32>& word);
} // namespace oxsys
