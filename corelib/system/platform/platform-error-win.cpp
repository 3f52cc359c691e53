#include "corelib/system/platform/platform-error.h"

#include <windows.h>

namespace oxsys
{
U32 GetLastPlatformError()
{
    return GetLastError();
}
} // namespace oxsys
