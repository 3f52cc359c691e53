// Lets a test survive the breakpoint of an assertion report, the way a debugger that
// resumes would, so the steps after the breakpoint can be observed.
#pragma once

class ScopedBreakpointCatcher
{
public:
    ScopedBreakpointCatcher();
    ~ScopedBreakpointCatcher();
    // Number of breakpoints caught so far in this scope.
    static int GetCaughtCount();
};
