// What the sanitizers must be told about POSIX fibers, as inline calls that vanish from
// builds without them. AddressSanitizer must know which stack is in use across a switch
// (__sanitizer_start/finish_switch_fiber) and must not keep the poisoned red zones of a
// released stack; ThreadSanitizer keeps a shadow state per fiber (__tsan_*_fiber), which
// also makes each switch a synchronisation point.
#pragma once

#include "corelib/system/platform/platform.h"
#include "corelib/util/types.h"

#include <cstddef>

#if OX_ASAN
extern "C" void __sanitizer_start_switch_fiber(void** fakeStackSave, const void* bottom, size_t size);
extern "C" void __sanitizer_finish_switch_fiber(void* fakeStackSave, const void** bottomOld, size_t* sizeOld);
extern "C" void __asan_unpoison_memory_region(const volatile void* address, size_t size);
#endif
#if OX_TSAN
extern "C" void* __tsan_get_current_fiber();
extern "C" void* __tsan_create_fiber(unsigned flags);
extern "C" void __tsan_destroy_fiber(void* fiber);
extern "C" void __tsan_switch_to_fiber(void* fiber, unsigned flags);
extern "C" void __tsan_set_fiber_name(void* fiber, const char* name);
#endif

namespace oxsys
{
// Sanitizer instrumentation makes frames several times larger; fiber stack reservations
// grow with it so that code sized for the plain build still fits (pages are only
// committed when touched).
constexpr U64 kSanitizerStackFactor = (OX_ASAN || OX_TSAN) ? 4 : 1;

// ThreadSanitizer's state for a new fiber, named for its reports (null without it).
inline void* SanitizerCreateFiber(const char* name)
{
#if OX_TSAN
    void* pFiber = __tsan_create_fiber(0);
    __tsan_set_fiber_name(pFiber, name);
    return pFiber;
#else
    (void)name;
    return nullptr;
#endif
}

// ThreadSanitizer's state for the calling thread, which becomes the thread's own fiber.
inline void* SanitizerThreadFiber()
{
#if OX_TSAN
    return __tsan_get_current_fiber();
#else
    return nullptr;
#endif
}

// Forgets a fiber's state before its stack is unmapped. Frames that never returned leave
// their red zones poisoned; a later mapping at the same address must not inherit them.
inline void SanitizerReleaseFiber(void* pSanitizerFiber, UPtr stackLow, UPtr stackHigh)
{
#if OX_TSAN
    __tsan_destroy_fiber(pSanitizerFiber);
#else
    (void)pSanitizerFiber;
#endif
#if OX_ASAN
    __asan_unpoison_memory_region(reinterpret_cast<void*>(stackLow), stackHigh - stackLow);
#else
    (void)stackLow;
    (void)stackHigh;
#endif
}

// Announces a switch to the fiber with this state and stack, right before it. Returns
// what SanitizerFinishSwitch needs once the calling fiber runs again.
inline void* SanitizerStartSwitch(void* pToSanitizerFiber, UPtr toStackLow, UPtr toStackHigh)
{
    void* pFakeStack = nullptr;
#if OX_ASAN
    __sanitizer_start_switch_fiber(&pFakeStack, reinterpret_cast<const void*>(toStackLow),
                                   toStackHigh - toStackLow);
#else
    (void)toStackLow;
    (void)toStackHigh;
#endif
#if OX_TSAN
    __tsan_switch_to_fiber(pToSanitizerFiber, 0);
#else
    (void)pToSanitizerFiber;
#endif
    return pFakeStack;
}

// Completes a switch on the fiber that now runs: with what its own SanitizerStartSwitch
// returned, or with null in a new fiber's first frame.
inline void SanitizerFinishSwitch(void* pFakeStack)
{
#if OX_ASAN
    __sanitizer_finish_switch_fiber(pFakeStack, nullptr, nullptr);
#else
    (void)pFakeStack;
#endif
}
} // namespace oxsys
