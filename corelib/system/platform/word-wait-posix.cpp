// The word wait on the Linux futex.
#include "corelib/system/platform/futex-posix.h"
#include "corelib/system/platform/word-wait.h"

namespace oxsys
{
void WaitOnWord(std::atomic<U32>& word, U32 expected)
{
    // Every outcome (woken, changed, interrupted) sends the caller back to its test.
    (void)FutexWait(word, expected, nullptr);
}

void WakeAllOnWord(std::atomic<U32>& word)
{
    FutexWakeAll(word);
}
} // namespace oxsys
