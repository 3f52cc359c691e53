#include "corelib/system/gpu-capture.h"

#include "corelib/system/gpu-capture-platform.h"

HResult BeginGpuCapture(int kind, const void* pParameters)
{
    if (kind != kGpuCaptureKindGpu)
        return kHResultNotImplemented;
    return GpuCaptureCallExport("BeginProgrammaticGpuCapture", true, pParameters);
}

HResult EndGpuCapture()
{
    return GpuCaptureCallExport("EndProgrammaticGpuCapture", false, nullptr);
}

HResult HResultFromWin32(U32 error)
{
    HResult value = static_cast<HResult>(error);
    if (value <= 0)
        return value;
    return static_cast<HResult>((error & 0xFFFFu) | 0x80070000u);
}
