#include "corelib/util/msg-assert.h"

#include "corelib/util/msg-platform.h"

#include <atomic>

namespace
{
AssertScopeHook s_scopeHook = nullptr;
AssertNotifyHook s_firstNotifyHook = nullptr;
AssertNotifyHook s_secondNotifyHook = nullptr;
AssertReportHandler s_reportHandler = nullptr;
AssertMessageFormatter s_messageFormatter = nullptr;
AssertSpareHook s_spareHooks[2] = {nullptr, nullptr};
std::atomic<U32> s_firstCounter{0};
std::atomic<U32> s_secondCounter{0};
std::atomic<U32> s_lastAssertThreadId{0};

U32 IncrementCounter(std::atomic<U32>& counter)
{
    U32 expected = counter.load(std::memory_order_relaxed);
    while (!counter.compare_exchange_weak(expected, expected + 1, std::memory_order_acq_rel))
    {
    }
    return expected + 1;
}
} // namespace

void SetAssertScopeHook(AssertScopeHook hook)
{
    s_scopeHook = hook;
}
AssertScopeHook GetAssertScopeHook()
{
    return s_scopeHook;
}
void SetAssertFirstNotifyHook(AssertNotifyHook hook)
{
    s_firstNotifyHook = hook;
}
AssertNotifyHook GetAssertFirstNotifyHook()
{
    return s_firstNotifyHook;
}
void SetAssertSecondNotifyHook(AssertNotifyHook hook)
{
    s_secondNotifyHook = hook;
}
AssertNotifyHook GetAssertSecondNotifyHook()
{
    return s_secondNotifyHook;
}
void SetAssertReportHandler(AssertReportHandler handler)
{
    s_reportHandler = handler;
}
AssertReportHandler GetAssertReportHandler()
{
    return s_reportHandler;
}
void SetAssertMessageFormatter(AssertMessageFormatter formatter)
{
    s_messageFormatter = formatter;
}
AssertMessageFormatter GetAssertMessageFormatter()
{
    return s_messageFormatter;
}

void SetAssertSpareHook(int slot, AssertSpareHook hook)
{
    OX_ASSERT(slot >= 0 && slot < 2);
    s_spareHooks[slot] = hook;
}

AssertSpareHook GetAssertSpareHook(int slot)
{
    OX_ASSERT(slot >= 0 && slot < 2);
    return s_spareHooks[slot];
}

U32 IncrementAssertFirstCounter()
{
    return IncrementCounter(s_firstCounter);
}
U32 IncrementAssertSecondCounter()
{
    return IncrementCounter(s_secondCounter);
}
bool IsAssertSecondCounterSet()
{
    return s_secondCounter.load(std::memory_order_acquire) != 0;
}
U32 GetLastAssertThreadId()
{
    return s_lastAssertThreadId.load(std::memory_order_relaxed);
}

void OxAssertBegin()
{
    if (s_scopeHook)
        s_scopeHook(true);
    if (s_firstNotifyHook)
        s_firstNotifyHook();
    if (s_secondNotifyHook)
        s_secondNotifyHook();
}

bool OxAssertHasReportHandler()
{
    return s_reportHandler != nullptr;
}

const char* OxAssertNoFormatter(const char* format, ...)
{
    return format;
}

void OxAssertReportAndContinue(const char* condition, const char* sourcePath, const char* functionName,
                               int line, const char* message)
{
    OxAssertBegin();
    if (s_reportHandler)
        s_reportHandler(condition ? condition : "", sourcePath, functionName, "", line, message);
    s_lastAssertThreadId.store(MsgCurrentThreadId(), std::memory_order_relaxed);
    if (s_scopeHook)
        s_scopeHook(false);
}

void OxAssertReport(const char* condition, const char* sourcePath, const char* functionName, int line,
                    const char* message)
{
    if (s_reportHandler)
        s_reportHandler(condition, sourcePath, functionName, "", line, message);
    s_lastAssertThreadId.store(MsgCurrentThreadId(), std::memory_order_relaxed);
    MsgDebugBreak();
    // Only reached when a debugger resumed after the breakpoint.
    if (s_scopeHook)
        s_scopeHook(false);
}
