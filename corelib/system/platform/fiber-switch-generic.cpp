// Portable fiber switch on the C library's ucontext (getcontext, makecontext,
// swapcontext), for POSIX targets without an assembly switch of their own. The build
// takes it on every architecture but x86-64, or anywhere with OX_FIBER_SWITCH=generic
// (which is how x86-64 machines test it).
//
// A suspended fiber's ucontext_t lives on its own stack, as the assembly switch keeps its
// registers there: in the frame of the OxFiberSwitchContext call that suspended it, or,
// for a fiber that has not run yet, at the top of its stack where PrepareFiberContext
// builds it. The saved-context pointer points at it.
//
// What swapcontext does beyond the registers, and so what fibers get with this switch:
// - It sets the signal mask to the incoming context's, a system call on every switch
//   (most of its cost). The mask travels with the fiber: a new fiber starts with the mask
//   of the thread that created it, and a fiber resuming on another thread brings along
//   the mask it was suspended with.
// - It always switches the control words. glibc saves the outgoing fiber's
//   floating-point control state (x86-64: the x87 environment and MXCSR; AArch64: FPCR
//   and FPSR) and loads the incoming one's, so every fiber carries its own control words
//   as if created with kFiberFlagFloatSwitch, and the float mode of a switch changes
//   nothing. PlainFibersShareThreadControlWords() reports this.
#include "corelib/system/platform/fiber-switch.h"
#include "corelib/util/msg-assert.h"

#include <ucontext.h>

namespace oxsys
{
namespace
{
// Where a new fiber starts. makecontext passes int arguments only, so the entry argument
// comes in two 32-bit halves (the high one 0 on 32-bit targets); nothing is shared
// between threads creating fibers at the same time.
[[noreturn]] void StartFiber(int low, int high)
{
    const U64 address = (static_cast<U64>(static_cast<U32>(high)) << 32) | static_cast<U32>(low);
    OxFiberEntry(reinterpret_cast<void*>(static_cast<UPtr>(address)));
}
} // namespace

void* PrepareFiberContext(UPtr stackLow, UPtr stackHigh, void* pEntryArgument)
{
    // The context sits at the top of the stack and the fiber's frames start below it.
    const UPtr contextAddress = (stackHigh - sizeof(ucontext_t)) & ~static_cast<UPtr>(kAlign64 - 1);
    OX_ASSERT(IsSizeAligned(stackLow, kAlign16) && contextAddress > stackLow + 256);
    ucontext_t* pContext = reinterpret_cast<ucontext_t*>(contextAddress);
    // getcontext fills in what makecontext keeps: the signal mask and the control words
    // of the calling thread, which the fiber starts with.
    OX_VERIFY(getcontext(pContext) == 0);
    pContext->uc_stack.ss_sp = reinterpret_cast<void*>(stackLow);
    pContext->uc_stack.ss_size = contextAddress - stackLow;
    pContext->uc_stack.ss_flags = 0;
    pContext->uc_link = nullptr; // the entry never returns
    const U64 argument = static_cast<U64>(reinterpret_cast<UPtr>(pEntryArgument));
    makecontext(pContext, reinterpret_cast<void (*)()>(&StartFiber), 2,
                static_cast<int>(static_cast<U32>(argument)),
                static_cast<int>(static_cast<U32>(argument >> 32)));
    return pContext;
}

bool PlainFibersShareThreadControlWords()
{
    return false;
}
} // namespace oxsys

extern "C" void OxFiberSwitchContext(void** ppFromContext, void* pToContext)
{
    ucontext_t from;
    // swapcontext fills in the rest. It leaves the stack description alone, which
    // AddressSanitizer's swapcontext hook reads (it clears the shadow of the stack named
    // there): this one names none.
    from.uc_stack.ss_sp = nullptr;
    from.uc_stack.ss_size = 0;
    from.uc_stack.ss_flags = 0;
    from.uc_link = nullptr;
    *ppFromContext = &from;
    OX_VERIFY(swapcontext(&from, static_cast<ucontext_t*>(pToContext)) == 0);
    // Running again, possibly on another thread; the context in this frame is dead.
}

// swapcontext switches the control words of every fiber anyway.
extern "C" void OxFiberSwitchContextFloat(void** ppFromContext, void* pToContext, U32)
{
    OxFiberSwitchContext(ppFromContext, pToContext);
}
