#include "corelib/system/gpu-capture-platform.h"

// No capture library can be injected here: every call finds the module missing, as
// Windows does when no capture tool is attached.
HResult GpuCaptureCallExport(const char*, bool, const void*)
{
    static constexpr U32 kErrorModNotFound = 126;
    return HResultFromWin32(kErrorModNotFound);
}
