// COM and the multimedia class scheduler do not exist on POSIX, and no scheduling class
// stands in for "Pro Audio" without privileges (the emergency workers already ask for
// the highest thread priority they may have): every call succeeds and changes nothing.
#include "corelib/system/platform/thread-services.h"

#include <cerrno>

namespace oxsys
{
namespace
{
// The handle of a registration that did nothing; any value but 0 means success.
constexpr U64 kPosixTaskHandle = 1;
} // namespace

bool InitializeThreadCom()
{
    return true;
}

void UninitializeThreadCom() {}

U64 BeginProAudioThreadTask()
{
    return kPosixTaskHandle;
}

bool SetThreadTaskPriorityHigh(U64 taskHandle)
{
    if (taskHandle == 0)
    {
        errno = EINVAL;
        return false;
    }
    return true;
}

void EndThreadTask(U64 taskHandle)
{
    (void)taskHandle;
}
} // namespace oxsys
