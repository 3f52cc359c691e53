#include "tests/support/host-environment.h"

bool RunningUnderWine()
{
    return false;
}

// A breakpoint's SIGTRAP already ends the process.
void InstallUnhandledExceptionExit() {}
