// The operating system's error number of the calling thread's last failed call, for the
// reports that turn it into an Err (Err::FromWinError on Windows, Err::FromLinuxErrno on
// POSIX).
#pragma once

#include "corelib/util/types.h"

namespace oxsys
{
// The last platform error of the calling thread: GetLastError on Windows, errno on POSIX.
U32 GetLastPlatformError();
} // namespace oxsys
