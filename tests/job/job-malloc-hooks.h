// The sanitizer runtimes' allocation hooks, for the tests that count the heap allocations
// of the job system's paths: OX_TEST_HAS_MALLOC_HOOKS is 1 in the ASan and TSan builds,
// which provide them, and 0 elsewhere (the tests skip).
#pragma once

#include "corelib/system/platform/platform.h"

#if OX_ASAN || OX_TSAN
#include <cstddef>
// GCC ships no header for them.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*mallocHook)(const volatile void*, size_t),
                                                         void (*freeHook)(const volatile void*));
#define OX_TEST_HAS_MALLOC_HOOKS 1

#include "corelib/util/types.h"

#include <atomic>

namespace jobtest
{
// The mallocs of the whole process while s_countingAllocations is set, once CountMalloc
// and IgnoreFree are installed as the hooks.
inline std::atomic<U64> s_allocations{0};
inline std::atomic<bool> s_countingAllocations{false};

inline void CountMalloc(const volatile void*, size_t)
{
    if (s_countingAllocations.load(std::memory_order_relaxed))
        s_allocations.fetch_add(1, std::memory_order_relaxed);
}

inline void IgnoreFree(const volatile void*) {}
} // namespace jobtest
#else
#define OX_TEST_HAS_MALLOC_HOOKS 0
#endif
