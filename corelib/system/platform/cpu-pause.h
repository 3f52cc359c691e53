// The processor's spin-wait hint, for loops that poll memory another core will change.
#pragma once

#include "corelib/system/platform/platform.h"

namespace oxsys
{
// Executes one pause instruction: it tells the core that this is a spin loop, which
// saves power and frees the pipeline for the sibling hyper-thread.
OX_FORCEINLINE void CpuPause()
{
#if OX_ARCH_X64
    __builtin_ia32_pause();
#else
    __asm__ __volatile__("yield" ::: "memory");
#endif
}
} // namespace oxsys
