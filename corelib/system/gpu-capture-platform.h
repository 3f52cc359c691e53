// The platform side of GPU capture (gpu-capture-posix.cpp, gpu-capture-win.cpp).
#pragma once

#include "corelib/system/gpu-capture.h"

// Calls the named export of the loaded capture library (with pParameters when
// withParameters is set, else without arguments), or returns the HRESULT form of the
// error that made the library or the export unavailable.
HResult GpuCaptureCallExport(const char* exportName, bool withParameters, const void* pParameters);
