// The machine half of POSIX fibers: preparing a new fiber's first switch and switching
// from one fiber to another. fiber-posix.cpp keeps everything else (stacks, records,
// sanitizer notes, fiber-local storage) and is the same for every implementation.
//
// Two implementations; the build picks one (OX_FIBER_SWITCH):
//   fiber-switch-x64-sysv.S/.cpp  our own switch for x86-64 System V: a plain call that
//                                 saves the callee-saved registers, no system call;
//   fiber-switch-generic.cpp      the C library's ucontext (swapcontext), for every
//                                 other architecture; far slower (it sets the signal
//                                 mask with a system call on every switch).
//
// A suspended fiber is known by one pointer, its saved context: the implementation keeps
// the machine state itself on the fiber's own stack (the registers of the assembly
// switch, a ucontext_t of the generic one), where it stays valid while the fiber is
// suspended. So the fiber record holds the same pointer whatever the switch, and no
// per-architecture type reaches the shared code.
#pragma once

#include "corelib/system/platform/fiber.h"
#include "corelib/system/platform/platform.h"
#include "corelib/util/types.h"

// Saves the running fiber, stores its saved context through ppFromContext, and continues
// the fiber whose saved context is pToContext. Returns when some thread switches back to
// the saved context, possibly another thread than the one that called it. The caller
// makes sure no other thread switches to either fiber meanwhile.
extern "C" void OxFiberSwitchContext(void** ppFromContext, void* pToContext);
// The same switch for fibers that carry their own control words (kFiberFlagFloatSwitch).
// mode: kFiberSwitchSaveControlWords saves the outgoing fiber's, kFiberSwitchLoadControlWords
// loads the incoming one's.
extern "C" void OxFiberSwitchContextFloat(void** ppFromContext, void* pToContext, U32 mode);
// The first C++ frame of every created fiber, defined by fiber-posix.cpp: the first
// switch to a context from PrepareFiberContext calls it with that context's argument.
extern "C" [[noreturn]] void OxFiberEntry(void* pArgument);

namespace oxsys
{
constexpr U32 kFiberSwitchSaveControlWords = 1u << 0;
constexpr U32 kFiberSwitchLoadControlWords = 1u << 1;

// Prepares a new fiber on the stack [stackLow, stackHigh) (16-byte aligned bounds; the
// initial context may take the top few KiB of it) so that the first switch to the returned
// context calls OxFiberEntry(pEntryArgument). The fiber starts with the calling thread's
// control words. Safe to call from several threads at once.
void* PrepareFiberContext(UPtr stackLow, UPtr stackHigh, void* pEntryArgument);

// Switches from one saved context to another; floatMode as OxFiberSwitchContextFloat's
// mode. Plain fibers (mode 0) take the cheaper switch behind one well-predicted branch.
OX_FORCEINLINE void SwitchFiberContext(void** ppFromContext, void* pToContext, U32 floatMode)
{
    if (OX_LIKELY(floatMode == 0))
        OxFiberSwitchContext(ppFromContext, pToContext);
    else
        OxFiberSwitchContextFloat(ppFromContext, pToContext, floatMode);
}
} // namespace oxsys
