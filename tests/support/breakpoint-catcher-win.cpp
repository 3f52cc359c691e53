#include "tests/support/breakpoint-catcher.h"

#include <windows.h>

#include <atomic>

namespace
{
std::atomic<int> s_caught{0};
void* s_handler = nullptr;

// Windows reports the breakpoint with the instruction pointer on the int3 itself:
// step over its single byte and resume.
LONG CALLBACK OnException(EXCEPTION_POINTERS* info)
{
    if (info->ExceptionRecord->ExceptionCode != EXCEPTION_BREAKPOINT)
        return EXCEPTION_CONTINUE_SEARCH;
    s_caught.fetch_add(1);
    if (info->ContextRecord->Rip == reinterpret_cast<DWORD64>(info->ExceptionRecord->ExceptionAddress))
        info->ContextRecord->Rip += 1;
    return EXCEPTION_CONTINUE_EXECUTION;
}
} // namespace

ScopedBreakpointCatcher::ScopedBreakpointCatcher()
{
    s_caught = 0;
    s_handler = AddVectoredExceptionHandler(1, OnException);
}

ScopedBreakpointCatcher::~ScopedBreakpointCatcher()
{
    RemoveVectoredExceptionHandler(s_handler);
}

int ScopedBreakpointCatcher::GetCaughtCount()
{
    return s_caught.load();
}
