#include "tests/support/host-environment.h"

#include <windows.h>

#include <cstdio>

bool RunningUnderWine()
{
    // Wine's ntdll exports its version; Windows' does not.
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

namespace
{
LONG WINAPI ExitWithExceptionCode(EXCEPTION_POINTERS* pInfo)
{
    fflush(stdout);
    fflush(stderr);
    TerminateProcess(GetCurrentProcess(), pInfo->ExceptionRecord->ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}
} // namespace

void InstallUnhandledExceptionExit()
{
    SetUnhandledExceptionFilter(ExitWithExceptionCode);
}
