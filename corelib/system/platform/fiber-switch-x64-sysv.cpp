// Preparation of a new fiber's first frame for the x86-64 System V switch
// (fiber-switch-x64-sysv.S, which documents the frame).
#include "corelib/system/platform/fiber-switch.h"
#include "corelib/util/msg-assert.h"

extern "C" void OxFiberStartTrampoline();

namespace oxsys
{
void* PrepareFiberContext(UPtr stackLow, UPtr stackHigh, void* pEntryArgument)
{
    OX_ASSERT(IsSizeAligned(stackHigh, kAlign16) && stackHigh - stackLow >= 256);
    // The first switch to the fiber "returns" into the start trampoline with the argument
    // in r12. The control words come from the creating thread, the starting point of a
    // fiber that carries its own (only those load them).
    U32 mxcsr = 0;
    U16 x87ControlWord = 0;
    __asm__ __volatile__("stmxcsr %0" : "=m"(mxcsr));
    __asm__ __volatile__("fnstcw %0" : "=m"(x87ControlWord));
    U64* pTop = reinterpret_cast<U64*>(stackHigh);
    pTop[-1] = 0;                                              // end of the call chain
    pTop[-2] = reinterpret_cast<U64>(&OxFiberStartTrampoline); // return address
    pTop[-3] = 0;                                              // rbp
    pTop[-4] = 0;                                              // rbx
    pTop[-5] = reinterpret_cast<U64>(pEntryArgument);          // r12
    pTop[-6] = 0;                                              // r13
    pTop[-7] = 0;                                              // r14
    pTop[-8] = 0;                                              // r15
    pTop[-9] = static_cast<U64>(mxcsr) | (static_cast<U64>(x87ControlWord) << 32);
    return &pTop[-9];
}

bool PlainFibersShareThreadControlWords()
{
    return true;
}
} // namespace oxsys
