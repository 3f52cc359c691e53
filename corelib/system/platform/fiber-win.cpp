// Win32 fibers: CreateFiberEx, ConvertThreadToFiber, SwitchToFiber, and fiber-local
// storage through FlsAlloc, whose callbacks Windows runs on DeleteFiber and thread exit.
#include "corelib/system/platform/fiber-overflow.h"
#include "corelib/system/platform/fiber-platform.h"
#include "corelib/system/platform/fiber.h"
#include "corelib/util/msg-assert.h"

#include <windows.h>

namespace oxsys
{
namespace
{
// Committed at creation; the rest of the reserved stack is committed as it is touched.
constexpr SIZE_T kFiberStackCommitSize = 8192;
} // namespace

void CreateFiber(Fiber& outFiber, const char* name, FiberFunction function, void* pStackMem, U64 stackSize,
                 void* pArgument, U32 flags)
{
    OX_ASSERT(pStackMem == nullptr);
    OX_ASSERT(function != nullptr);
    InstallFiberGuardHandler();
    const DWORD nativeFlags = (flags & kFiberFlagFloatSwitch) ? FIBER_FLAG_FLOAT_SWITCH : 0;
    // FiberFunction and LPFIBER_START_ROUTINE are the same on x64 (one calling convention).
    void* pFiber =
        CreateFiberEx(kFiberStackCommitSize, static_cast<SIZE_T>(stackSize), nativeFlags,
                      reinterpret_cast<LPFIBER_START_ROUTINE>(reinterpret_cast<void*>(function)), pArgument);
    OX_ASSERT(pFiber);
    outFiber.nativeFiber = reinterpret_cast<U64>(pFiber);
}

bool PlainFibersShareThreadControlWords()
{
    return true; // SwitchToFiber switches them only for fibers with FIBER_FLAG_FLOAT_SWITCH
}

void ReleaseFiber(Fiber& fiber)
{
    const U64 nativeFiber = fiber.nativeFiber;
    OX_ASSERT(nativeFiber);
    // DeleteFiber on the running fiber ends the thread; that is never what a caller of
    // ReleaseFiber wants.
    OX_ASSERT_MSG(reinterpret_cast<void*>(nativeFiber) != ::GetCurrentFiber() || !IsThreadAFiber(),
                  "A fiber cannot release itself");
    DeleteFiber(reinterpret_cast<void*>(nativeFiber));
    fiber.nativeFiber = 0;
}

Fiber CurrentFiber()
{
    Fiber fiber;
    fiber.nativeFiber = IsThreadAFiber() ? reinterpret_cast<U64>(::GetCurrentFiber()) : 0;
    return fiber;
}

void SwitchToFiber(Fiber& fiber)
{
    OX_ASSERT(fiber.IsValid());
    ::SwitchToFiber(reinterpret_cast<void*>(fiber.nativeFiber));
}

U64 PlatformConvertThreadToFiber()
{
    return reinterpret_cast<U64>(ConvertThreadToFiber(nullptr));
}

bool PlatformConvertFiberToThread()
{
    return ConvertFiberToThread() != 0;
}

U32 AllocFiberLocalStorage(FiberLocalStorageCallback callback)
{
    const DWORD index = FlsAlloc(reinterpret_cast<PFLS_CALLBACK_FUNCTION>(reinterpret_cast<void*>(callback)));
    return index == FLS_OUT_OF_INDEXES ? kFlsOutOfIndexes : static_cast<U32>(index);
}

void FreeFiberLocalStorage(U32 index)
{
    const bool freed = FlsFree(index) != 0;
    OX_ASSERT(freed);
}

bool SetFiberLocalStorage(U32 index, void* pValue)
{
    return FlsSetValue(index, pValue) != 0;
}

void* GetFiberLocalStorage(U32 index)
{
    return FlsGetValue(index);
}
} // namespace oxsys
