#include "launcher/launcher-start.h"

#include <windows.h>

bool StartGameProcess(LaunchPlan& plan)
{
    STARTUPINFOA startupInfo;
    ZeroMemory(&startupInfo, sizeof(startupInfo));
    startupInfo.cb = sizeof(startupInfo);
    static_assert(sizeof(STARTUPINFOA) == 104, "STARTUPINFOA size");
    PROCESS_INFORMATION processInfo;
    ZeroMemory(&processInfo, sizeof(processInfo));
    // The relative application name resolves against the current directory; no
    // search path is used. The command line is our own writable buffer, as the call needs.
    if (!CreateProcessA(plan.m_path, plan.m_commandLine, nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE, nullptr,
                        nullptr, &startupInfo, &processInfo))
        return false;
    CloseHandle(processInfo.hThread);
    CloseHandle(processInfo.hProcess);
    return true;
}
