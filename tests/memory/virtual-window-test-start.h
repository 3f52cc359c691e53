// Where the memory tests put the virtual window.
#pragma once

#include "corelib/memory/virtual-range.h"
#include "corelib/system/platform/platform.h"

// The first window candidate for tests. Under AddressSanitizer on x86-64 Linux the
// default start (64 GiB) and all 16 candidates after it lie in the sanitizer's shadow
// memory (up to 0x10007FFF7FFF), which it keeps mapped; the tests use ordinary high
// memory instead, and one test shows the default search failing there.
inline U64 TestVirtualMemStart();

// Why the window cannot be reserved in this build, or null when it can. ThreadSanitizer
// (the runtime of GCC 12) admits application mappings only in its fixed application
// ranges: the low one ends at 512 GiB, and the others hold the executable, the libraries
// and the stack at randomised addresses, so no fixed 512 GiB window is free for certain.
// Its tests are about the locking of the range bookkeeping, which needs no window.
inline const char* WindowUnavailableReason()
{
#if OX_TSAN
    return "ThreadSanitizer's address ranges leave no fixed 512 GiB window free";
#else
    return nullptr;
#endif
}

inline U64 TestVirtualMemStart()
{
#if OX_ASAN && OX_PLATFORM_LINUX && OX_ARCH_X64
    return 0x200000000000ull; // 32 TiB
#else
    return Memory::kDefaultVirtualMemStart;
#endif
}
