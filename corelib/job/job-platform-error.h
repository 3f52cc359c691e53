// The Err of the calling thread's last platform error, for the job system's reports.
#pragma once

#include "corelib/util/error.h"
#include "corelib/util/types.h"

namespace oxjob
{
// The Err made from a value of oxsys::GetLastPlatformError.
Err ErrFromPlatformError(U32 error);
} // namespace oxjob
