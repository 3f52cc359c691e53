// Fiber stack overflows on POSIX. Every created fiber's stack has a guard region below
// it (fiber-posix.cpp). Running into it raises SIGSEGV on a stack that is used up, so the
// handler runs on an alternate signal stack that each fiber-running thread gets. A fault
// counts as the running fiber's overflow when its address lies in the fiber's guard
// region, or when the interrupted stack pointer lies below the fiber's stack (a frame
// larger than the guard region that skipped it); the handler then reports it and ends
// like an assertion. Every other fault goes to the previously installed handler (a
// sanitizer's, or the default action).
#include "corelib/system/platform/fiber-guard-posix.h"

#include "corelib/system/platform/fiber-overflow.h"
#include "corelib/system/platform/platform.h"
#include "corelib/util/msg-assert.h"

#include <csignal>
#include <mutex>
#include <sys/mman.h>
#include <ucontext.h>

namespace oxsys
{
namespace
{
// Room for the report: the handler formats text and calls the host's report handler.
constexpr size_t kAltStackSize = 64 * 1024;
// A stack pointer this far below a fiber's stack still counts as its overflow.
constexpr UPtr kOverflowReach = 64ull * 1024 * 1024;

struct sigaction s_previousAction;

// The calling thread's alternate stack while it runs fibers, and the one it had before.
thread_local void* t_pAltStack = nullptr;
thread_local stack_t t_previousAltStack;

UPtr InterruptedStackPointer(void* pContext)
{
    const ucontext_t* pUContext = static_cast<const ucontext_t*>(pContext);
#if OX_ARCH_X64
    return static_cast<UPtr>(pUContext->uc_mcontext.gregs[REG_RSP]);
#elif defined(__aarch64__)
    return static_cast<UPtr>(pUContext->uc_mcontext.sp);
#else
    (void)pUContext;
    return 0; // the fault address alone decides
#endif
}

bool IsRunningFiberOverflow(UPtr faultAddress, UPtr stackPointer)
{
    UPtr guardLow = 0;
    UPtr stackLow = 0;
    if (!GetRunningFiberGuard(&guardLow, &stackLow))
        return false;
    if (faultAddress >= guardLow && faultAddress < stackLow)
        return true;
    return stackPointer != 0 && stackPointer < stackLow && stackLow - stackPointer < kOverflowReach;
}

// Hands the fault to the handler that was there before ours, or to the default action.
void ForwardFault(int signal, siginfo_t* pInfo, void* pContext)
{
    if ((s_previousAction.sa_flags & SA_SIGINFO) && s_previousAction.sa_sigaction)
    {
        s_previousAction.sa_sigaction(signal, pInfo, pContext);
        return;
    }
    if (s_previousAction.sa_handler != SIG_DFL && s_previousAction.sa_handler != SIG_IGN)
    {
        s_previousAction.sa_handler(signal);
        return;
    }
    // Returning re-executes the faulting access, which now takes the default action.
    struct sigaction defaultAction = {};
    defaultAction.sa_handler = SIG_DFL;
    sigemptyset(&defaultAction.sa_mask);
    sigaction(SIGSEGV, &defaultAction, nullptr);
}

void OnSegmentationFault(int signal, siginfo_t* pInfo, void* pContext)
{
    const UPtr faultAddress = reinterpret_cast<UPtr>(pInfo->si_addr);
    if (IsRunningFiberOverflow(faultAddress, InterruptedStackPointer(pContext)))
    {
        ReportFiberStackOverflow(pInfo->si_addr);
        // A debugger resumed after the report: the overflow stays fatal.
        s_previousAction = {};
        s_previousAction.sa_handler = SIG_DFL;
    }
    ForwardFault(signal, pInfo, pContext);
}
} // namespace

// A fault that is not a fiber's overflow goes to the handler installed before this one.
void InstallFiberGuardHandler()
{
    static std::once_flag s_once;
    std::call_once(s_once,
                   []
                   {
                       struct sigaction action = {};
                       action.sa_sigaction = OnSegmentationFault;
                       action.sa_flags = SA_SIGINFO | SA_ONSTACK;
                       sigemptyset(&action.sa_mask);
                       OX_VERIFY(sigaction(SIGSEGV, &action, &s_previousAction) == 0);
                   });
}

void BeginFiberGuardOnThread()
{
    if (t_pAltStack)
        return;
    void* pStack = mmap(nullptr, kAltStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    const bool mapped = pStack != MAP_FAILED;
    OX_ASSERT(mapped);
    stack_t altStack = {};
    altStack.ss_sp = pStack;
    altStack.ss_size = kAltStackSize;
    OX_VERIFY(sigaltstack(&altStack, &t_previousAltStack) == 0);
    t_pAltStack = pStack;
}

void EndFiberGuardOnThread()
{
    if (!t_pAltStack)
        return;
    // A disabled previous stack is restored as disabled.
    stack_t previous = t_previousAltStack;
    if (previous.ss_flags & SS_DISABLE)
        previous = stack_t{nullptr, SS_DISABLE, 0};
    OX_VERIFY(sigaltstack(&previous, nullptr) == 0);
    OX_VERIFY(munmap(t_pAltStack, kAltStackSize) == 0);
    t_pAltStack = nullptr;
}
} // namespace oxsys
