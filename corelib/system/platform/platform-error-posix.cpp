#include "corelib/system/platform/platform-error.h"

#include <cerrno>

namespace oxsys
{
U32 GetLastPlatformError()
{
    return static_cast<U32>(errno);
}
} // namespace oxsys
