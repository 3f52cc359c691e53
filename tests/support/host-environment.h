// What the tests run on, for the few places where an emulated host differs from the
// system it stands in for.
#pragma once

// True when the Win32 build runs under Wine rather than Windows.
bool RunningUnderWine();

// Makes an unhandled exception (an assertion's breakpoint on any thread or fiber) end the
// process at once with the exception code as its exit code, as Windows does. Wine would
// otherwise try to start its debugger, which hangs a death test whose breakpoint is
// raised on a job fiber.
void InstallUnhandledExceptionExit();
