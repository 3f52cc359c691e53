// The word wait on WaitOnAddress and WakeByAddressAll (Windows 8 and later; the
// synchronization import library).
#include "corelib/system/platform/word-wait.h"
#include "corelib/util/msg-assert.h"

#include <windows.h>

namespace oxsys
{
static_assert(sizeof(std::atomic<U32>) == sizeof(U32) && std::atomic<U32>::is_always_lock_free,
              "WaitOnAddress compares the word as a plain 32-bit integer");

void WaitOnWord(std::atomic<U32>& word, U32 expected)
{
    // Without a time-out it fails only on bad arguments.
    OX_VERIFY(WaitOnAddress(reinterpret_cast<volatile void*>(&word), &expected, sizeof(U32), INFINITE));
}

void WakeAllOnWord(std::atomic<U32>& word)
{
    WakeByAddressAll(reinterpret_cast<void*>(&word));
}
} // namespace oxsys
