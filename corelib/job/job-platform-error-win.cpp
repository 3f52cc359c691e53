// Windows: the last platform error is a Win32 error code.
#include "corelib/job/job-platform-error.h"

namespace oxjob
{
Err ErrFromPlatformError(U32 error)
{
    return Err::FromWinError(error);
}
} // namespace oxjob
