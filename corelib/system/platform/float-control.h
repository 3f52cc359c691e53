// The floating-point control bits a thread or fiber runs with.
#pragma once

#include "corelib/system/platform/platform.h"

#if OX_ARCH_X64
#include <xmmintrin.h>
#endif

namespace oxsys
{
// Flushes denormal results to zero and treats denormal inputs as zero (SSE flush-to-zero,
// MXCSR bit 15, and denormals-are-zero, bit 6). Elsewhere: nothing to do.
inline void SetFlushDenormalsToZero()
{
#if OX_ARCH_X64
    _mm_setcsr(_mm_getcsr() | 0x8040u);
#endif
}
} // namespace oxsys
