// The platform-independent half of fibers: the handles and the start-up sequence that
// turns a thread into a fiber runner and back.
#include "corelib/system/platform/fiber.h"

#include "corelib/system/atomic-lock.h"
#include "corelib/system/platform/fiber-platform.h"
#include "corelib/util/msg-assert.h"
#include "corelib/util/static-init-order.h"

#include <cstring>

namespace oxsys
{
namespace
{
// Stored while a thread is converting itself, before its fiber address is known.
constexpr U64 kStartFiberPlaceholder = 0xFFFFFFFFull;

// The lock that serialises fiber start-up between threads, unlocked from static start-up on.
struct FiberStartLock
{
    FiberStartLock() { m_lock.Init(); }
    OxAtomicLock m_lock;
};
FiberStartLock s_fiberStartLock OX_INIT_PRIORITY(kInitRankFiberStartLock);

// The fiber StartFiberExecution made of the calling thread; 0 outside fiber execution.
thread_local U64 s_pStartFiber = 0;

// Not inlined: the calling code may have switched fibers and moved to another thread
// since it last looked, and an inlined access could reuse the old thread's address.
OX_NOINLINE U64 GetStartFiber()
{
    return s_pStartFiber;
}

OX_NOINLINE void SetStartFiber(U64 fiber)
{
    s_pStartFiber = fiber;
}
} // namespace

Fiber::Fiber()
{
    OX_ASSERT(IsPointerAligned(this, kAlign16));
    nativeFiber = 0;
}

FiberContext::FiberContext()
{
    OX_ASSERT(IsPointerAligned(this, kAlign128));
    std::memset(m_data, 0, sizeof(m_data));
}

void StartFiberExecution(const Fiber& fiber)
{
    OX_ASSERT(fiber.IsValid());
    s_fiberStartLock.m_lock.AcquireLock(__FILE__, __LINE__, __PRETTY_FUNCTION__);
    if (GetStartFiber() == 0)
        SetStartFiber(kStartFiberPlaceholder);
    s_fiberStartLock.m_lock.Release();

    const U64 pStartFiber = PlatformConvertThreadToFiber();
    OX_ASSERT(pStartFiber);
    SetStartFiber(pStartFiber);

    Fiber target = fiber;
    SwitchToFiber(target);

    // Back on this thread's own fiber: some fiber called StopFiberExecution here.
    const bool success = PlatformConvertFiberToThread();
    OX_ASSERT(success);
    // The thread's fiber is gone; a later StopFiberExecution must not switch to it.
    SetStartFiber(0);
}

void StopFiberExecution()
{
    const U64 pStartFiber = GetStartFiber();
    OX_ASSERT(pStartFiber);
    Fiber startFiber;
    startFiber.nativeFiber = pStartFiber;
    SwitchToFiber(startFiber);
}
} // namespace oxsys
