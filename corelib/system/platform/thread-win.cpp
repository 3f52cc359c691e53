// Win32 threads behind oxsys::Thread: _beginthreadex (so the C runtime sets up its
// per-thread data), created suspended and resumed once named and placed.
#include "corelib/system/platform/thread-platform.h"
#include "corelib/system/platform/thread.h"
#include "corelib/util/msg-assert.h"
#include "corelib/util/text-convert.h"

#include <windows.h>

#include <process.h>

namespace oxsys
{
namespace
{
constexpr DWORD kSetThreadNameException = 0x406D1388;

// The record debuggers read from the thread-naming exception (three 64-bit words).
struct ThreadNameInfo
{
    DWORD m_type; // 0x1000
    LPCSTR m_pName;
    DWORD m_threadId;
    DWORD m_flags;
};
static_assert(sizeof(ThreadNameInfo) == 3 * sizeof(ULONG_PTR), "three argument words");

// Swallows the naming exception when no debugger took it first. MinGW has no __try, so
// a vectored handler does what the structured handler would.
LONG CALLBACK ThreadNameExceptionHandler(EXCEPTION_POINTERS* pInfo)
{
    if (pInfo->ExceptionRecord->ExceptionCode == kSetThreadNameException)
        return EXCEPTION_CONTINUE_EXECUTION;
    return EXCEPTION_CONTINUE_SEARCH;
}

using SetThreadDescriptionFn = HRESULT(WINAPI*)(HANDLE, PCWSTR);

// SetThreadDescription exists from Windows 10 1607 on, and the MinGW headers do not
// declare it: look it up once.
SetThreadDescriptionFn GetSetThreadDescription()
{
    static SetThreadDescriptionFn s_function = reinterpret_cast<SetThreadDescriptionFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
    return s_function;
}
} // namespace

void CreateThread(Thread& outThread, const ThreadDesc& desc, ThreadFunction function, void* pArgument)
{
    unsigned threadId = 0;
    // On x64 the __stdcall of _beginthreadex is the one calling convention there is.
    const U64 threadHandle = static_cast<U64>(
        _beginthreadex(nullptr, desc.m_stackSize,
                       reinterpret_cast<_beginthreadex_proc_type>(reinterpret_cast<void*>(function)),
                       pArgument, CREATE_SUSPENDED, &threadId));
    OX_ASSERT(threadHandle != 0);
    HANDLE handle = reinterpret_cast<HANDLE>(threadHandle);

    outThread.nativeThread = threadHandle;
    outThread.m_threadId = threadId;
    outThread.m_flags = desc.m_flags | kThreadFlagJoinable;

    SetThreadName(threadId, desc.m_name);

    if (SetThreadDescriptionFn setThreadDescription = GetSetThreadDescription())
    {
        // At most 255 characters in a zeroed 512-byte buffer.
        char16_t wideName[256] = {};
        Utf8ToUtf16(wideName, sizeof(wideName), desc.m_name, false, kMaxThreadNameLength);
        wideName[255] = 0;
        const bool retval = SUCCEEDED(setThreadDescription(handle, reinterpret_cast<PCWSTR>(wideName)));
        OX_ASSERT(retval);
    }
    {
        const bool retval = ::SetThreadPriority(handle, desc.m_priority) != 0;
        OX_ASSERT(retval);
    }
    {
        // Processors outside the process's mask make the call fail: they do not exist
        // for this process, so they are left out; a mask that leaves none is an error.
        DWORD_PTR processMask = 0;
        DWORD_PTR systemMask = 0;
        OX_VERIFY(GetProcessAffinityMask(GetCurrentProcess(), &processMask, &systemMask));
        const DWORD_PTR mask = static_cast<DWORD_PTR>(desc.m_affinityMask) & processMask;
        const bool retval = mask != 0 && ::SetThreadAffinityMask(handle, mask) != 0;
        OX_ASSERT(retval);
    }
    ::ResumeThread(handle);
}

void PlatformJoinThread(Thread& thread)
{
    const DWORD err = WaitForSingleObject(reinterpret_cast<HANDLE>(thread.nativeThread), INFINITE);
    OX_ASSERT(err == WAIT_OBJECT_0);
}

void PlatformCloseThread(Thread& thread)
{
    CloseHandle(reinterpret_cast<HANDLE>(thread.nativeThread));
}

U32 PlatformSuspendThread(Thread& thread)
{
    return ::SuspendThread(reinterpret_cast<HANDLE>(thread.nativeThread));
}

U32 PlatformResumeThread(Thread& thread)
{
    return ::ResumeThread(reinterpret_cast<HANDLE>(thread.nativeThread));
}

Thread CurrentThread()
{
    Thread thread;
    thread.nativeThread = reinterpret_cast<U64>(::GetCurrentThread());
    thread.m_threadId = ::GetCurrentThreadId();
    thread.m_flags = kThreadFlagJoinable;
    return thread;
}

U32 CurrentThreadId()
{
    return ::GetCurrentThreadId();
}

void EndCurrentThread(U32 exitCode)
{
    _endthreadex(exitCode);
    __builtin_unreachable();
}

void SleepMs(U32 milliseconds)
{
    ::Sleep(milliseconds);
}

void YieldThread()
{
    ::SwitchToThread();
}

void SetThreadName(U32 threadId, const char* name)
{
    static PVOID s_handler = AddVectoredExceptionHandler(1, ThreadNameExceptionHandler);
    (void)s_handler;
    ThreadNameInfo info = {0x1000, name, threadId, 0};
    RaiseException(kSetThreadNameException, 0, sizeof(info) / sizeof(ULONG_PTR),
                   reinterpret_cast<const ULONG_PTR*>(&info));
}
} // namespace oxsys
