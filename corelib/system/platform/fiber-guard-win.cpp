// Fiber stack overflows on Win32. When a fiber's stack runs into its guard page and the
// reserve is used up, the system raises EXCEPTION_STACK_OVERFLOW on the fiber itself,
// with the little stack that is left. A vectored handler, first to see the exception,
// reports it when a job runs on the thread (asked through the running-job seam) and ends
// like an assertion; other exceptions, and overflows outside jobs, go on to the next
// handler.
#include "corelib/system/platform/fiber-overflow.h"

#include "corelib/system/running-job.h"
#include "corelib/util/msg-assert.h"

#include <windows.h>

#include <mutex>

namespace oxsys
{
namespace
{
LONG CALLBACK OnStackOverflow(EXCEPTION_POINTERS* pInfo)
{
    if (pInfo->ExceptionRecord->ExceptionCode != EXCEPTION_STACK_OVERFLOW || !IsJobWorkerThread())
        return EXCEPTION_CONTINUE_SEARCH;
    ReportFiberStackOverflow(reinterpret_cast<const void*>(pInfo->ContextRecord->Rsp));
    return EXCEPTION_CONTINUE_SEARCH;
}
} // namespace

void InstallFiberGuardHandler()
{
    static std::once_flag s_once;
    std::call_once(s_once, [] { OX_VERIFY(AddVectoredExceptionHandler(1, OnStackOverflow) != nullptr); });
}
} // namespace oxsys
