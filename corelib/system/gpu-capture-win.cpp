#include "corelib/system/gpu-capture-platform.h"

#include <windows.h>

HResult GpuCaptureCallExport(const char* exportName, bool withParameters, const void* pParameters)
{
    // Only a capture library that a tool has already injected is used; loading it here
    // would start capturing machinery the process never asked for.
    HMODULE module = GetModuleHandleW(L"WinPixGpuCapturer.dll");
    if (!module)
        return HResultFromWin32(GetLastError());
    FARPROC procedure = GetProcAddress(module, exportName);
    if (!procedure)
        return HResultFromWin32(GetLastError());
    void* pProcedure = reinterpret_cast<void*>(procedure);
    if (!withParameters)
        return static_cast<HResult>(reinterpret_cast<HRESULT(WINAPI*)()>(pProcedure)());
    return static_cast<HResult>(reinterpret_cast<HRESULT(WINAPI*)(const void*)>(pProcedure)(pParameters));
}
