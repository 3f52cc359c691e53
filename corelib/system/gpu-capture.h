// Programmatic GPU capture through the PIX capture library ("WinPixGpuCapturer.dll").
// The library is never loaded here: capture only works when a capture tool has already
// injected it into the process; otherwise the calls change nothing and return an
// error result.
#pragma once

#include "corelib/util/types.h"

// Windows HRESULT values as this interface returns them.
using HResult = I32;
inline constexpr HResult kHResultOk = 0;
inline constexpr HResult kHResultNotImplemented = static_cast<HResult>(0x80004001u);
// The module-not-found error (126) in HRESULT form: the capture library is not loaded.
inline constexpr HResult kHResultModuleNotFound = static_cast<HResult>(0x8007007Eu);

// The only capture kind supported: a GPU capture.
inline constexpr int kGpuCaptureKindGpu = 2;

// Starts a GPU capture with the tool's parameter record; kind must be kGpuCaptureKindGpu,
// else the result is kHResultNotImplemented.
HResult BeginGpuCapture(int kind, const void* pParameters);
// Ends the capture started by BeginGpuCapture.
HResult EndGpuCapture();

// The HRESULT form of a Windows error code: 0x80070000 with its low 16 bits when it is
// positive, else the value itself.
HResult HResultFromWin32(U32 error);
