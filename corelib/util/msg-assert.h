// The assertion report used by every part of the library. A failed condition calls the
// installed hooks in a fixed order (scope hook with true, first and second notify
// hooks, then the report handler with the condition text, source path, function name,
// line and optional formatted message), records the asserting thread and executes a
// breakpoint. Without a debugger the breakpoint ends the process; if a debugger resumes
// it, the scope hook is called with false and execution continues after the assertion.
//
// The hooks are plain process-wide pointers without locks: install them before other
// threads run.
#pragma once

#include "corelib/system/platform/platform.h"
#include "corelib/util/types.h"

using AssertScopeHook = void (*)(bool entering);
using AssertNotifyHook = void (*)();
using AssertReportHandler = void (*)(const char* condition, const char* sourcePath, const char* functionName,
                                     const char* extra, int line, const char* message);
using AssertMessageFormatter = const char* (*)(const char* format, ...);
using AssertSpareHook = void (*)();

void SetAssertScopeHook(AssertScopeHook hook);
AssertScopeHook GetAssertScopeHook();
void SetAssertFirstNotifyHook(AssertNotifyHook hook);
AssertNotifyHook GetAssertFirstNotifyHook();
void SetAssertSecondNotifyHook(AssertNotifyHook hook);
AssertNotifyHook GetAssertSecondNotifyHook();
void SetAssertReportHandler(AssertReportHandler handler);
AssertReportHandler GetAssertReportHandler();
void SetAssertMessageFormatter(AssertMessageFormatter formatter);
AssertMessageFormatter GetAssertMessageFormatter();
// Two slots a host may use freely; the library stores and returns them only.
void SetAssertSpareHook(int slot, AssertSpareHook hook);
AssertSpareHook GetAssertSpareHook(int slot);

// Two process-wide counters for a host's own bookkeeping (the library never calls
// them). Increments are atomic; each returns the new value.
U32 IncrementAssertFirstCounter();
U32 IncrementAssertSecondCounter();
bool IsAssertSecondCounterSet();

// Id of the thread that last reported an assertion (0 before any report).
U32 GetLastAssertThreadId();

// The out-of-line parts of a report; call them only through the macros below.
OX_COLD void OxAssertBegin();
bool OxAssertHasReportHandler();
const char* OxAssertNoFormatter(const char* format, ...) OX_PRINTF_FORMAT(1, 2);
OX_COLD void OxAssertReport(const char* condition, const char* sourcePath, const char* functionName, int line,
                            const char* message);

// A report that does not stop the program: the hooks and the report handler are called
// as for a failed assertion, no breakpoint follows, and the scope hook is told that the
// report is over. For conditions the program survives but a developer must hear of (a
// stalled job system). A null condition is passed to the handler as "".
OX_COLD void OxAssertReportAndContinue(const char* condition, const char* sourcePath,
                                       const char* functionName, int line, const char* message);

// OX_ASSERT(condition): reports the condition text when it is false.
#define OX_ASSERT(condition)                                                                                 \
    do                                                                                                       \
    {                                                                                                        \
        if (OX_UNLIKELY(!(condition)))                                                                       \
        {                                                                                                    \
            OxAssertBegin();                                                                                 \
            OxAssertReport(#condition, __FILE__, __func__, __LINE__, nullptr);                               \
        }                                                                                                    \
    } while (0)

// OX_ASSERT_AS(condition, text): reports the given condition text when the condition is
// false; for checks written differently from the condition they report (cheaper on a
// hot path, or safe from wrap-around where the plain expression is not).
#define OX_ASSERT_AS(condition, text)                                                                        \
    do                                                                                                       \
    {                                                                                                        \
        if (OX_UNLIKELY(!(condition)))                                                                       \
        {                                                                                                    \
            OxAssertBegin();                                                                                 \
            OxAssertReport(text, __FILE__, __func__, __LINE__, nullptr);                                     \
        }                                                                                                    \
    } while (0)

// OX_ASSERT_MSG(condition, format, ...): the same with a printf-style message, formatted
// by the installed message formatter only when a report handler is there to receive it.
#define OX_ASSERT_MSG(condition, ...) OX_ASSERT_AS_MSG(condition, #condition, __VA_ARGS__)

// OX_ASSERT_AS_MSG(condition, text, format, ...): OX_ASSERT_AS with a message.
#define OX_ASSERT_AS_MSG(condition, text, ...)                                                               \
    do                                                                                                       \
    {                                                                                                        \
        if (OX_UNLIKELY(!(condition)))                                                                       \
        {                                                                                                    \
            OxAssertBegin();                                                                                 \
            const char* oxAssertMessage_ = nullptr;                                                          \
            if (OxAssertHasReportHandler())                                                                  \
            {                                                                                                \
                if (false)                                                                                   \
                    OxAssertNoFormatter(__VA_ARGS__); /* format checking only */                             \
                AssertMessageFormatter oxFormatter_ = GetAssertMessageFormatter();                           \
                oxAssertMessage_ = oxFormatter_ ? oxFormatter_(__VA_ARGS__) : "";                            \
            }                                                                                                \
            OxAssertReport(text, __FILE__, __func__, __LINE__, oxAssertMessage_);                            \
        }                                                                                                    \
    } while (0)

// OX_ASSERT_FAIL(format, ...): an unconditional report for paths that must not be reached.
#define OX_ASSERT_FAIL(...) OX_ASSERT_MSG(false, __VA_ARGS__)

// OX_VERIFY(expression): evaluates the expression in every build and asserts on it; for
// operating-system calls that "cannot fail".
#define OX_VERIFY(expression) OX_ASSERT(expression)
