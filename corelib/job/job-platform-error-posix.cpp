// POSIX: the last platform error is an errno value.
#include "corelib/job/job-platform-error.h"

namespace oxjob
{
Err ErrFromPlatformError(U32 error)
{
    return Err::FromLinuxErrno(static_cast<U16>(error));
}
} // namespace oxjob
