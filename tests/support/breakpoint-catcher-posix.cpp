#include "tests/support/breakpoint-catcher.h"

#include <atomic>
#include <csignal>
#include <cstring>

namespace
{
std::atomic<int> s_caught{0};
struct sigaction s_previous;

// int3 leaves the instruction pointer after the breakpoint: returning resumes there.
void OnTrap(int)
{
    s_caught.fetch_add(1);
}
} // namespace

ScopedBreakpointCatcher::ScopedBreakpointCatcher()
{
    s_caught = 0;
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = OnTrap;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTRAP, &action, &s_previous);
}

ScopedBreakpointCatcher::~ScopedBreakpointCatcher()
{
    sigaction(SIGTRAP, &s_previous, nullptr);
}

int ScopedBreakpointCatcher::GetCaughtCount()
{
    return s_caught.load();
}
