// The job system's assertions: before the report, the 100 most recent job trace records
// are printed on channel 1, so that the report shows what the workers did leading up to
// it. Otherwise they behave as OX_ASSERT and its siblings, except that a condition the
// job system checks in many places may carry a standing explanation as its message
// (JobAssertExplanation): "g_pJobSysData" says that the job system is not initialised.
#pragma once
#include "corelib/util/msg-assert.h"

namespace oxjob
{
// Prints the recent job trace for an assertion that is about to report (once per thread
// at a time: an assertion raised while the trace prints does not print it again).
OX_COLD void DumpJobTraceForAssert();

// The standing explanation of a condition text, or null: "The job system is not
// initialised" for "g_pJobSysData", the check of every call that needs a running job
// system (before Initialize and after Shutdown it fails).
const char* JobAssertExplanation(const char* condition);

// Reports a failed OX_JOB_ASSERT: the condition text and its standing explanation, if
// any, as the message (formatted as any assertion message is, given to the report only
// when a report handler is installed).
OX_COLD void ReportJobAssert(const char* condition, const char* sourcePath, const char* functionName, int line);
} // namespace oxjob

#define OX_JOB_ASSERT(condition)                                                                             \
    do                                                                                                       \
    {                                                                                                        \
        if (OX_UNLIKELY(!(condition)))                                                                       \
        {                                                                                                    \
            ::oxjob::DumpJobTraceForAssert();                                                                \
            ::oxjob::ReportJobAssert(#condition, __FILE__, __func__, __LINE__);                               \
        }                                                                                                    \
    } while (0)

#define OX_JOB_ASSERT_MSG(condition, ...) OX_JOB_ASSERT_AS_MSG(condition, #condition, __VA_ARGS__)

#define OX_JOB_ASSERT_AS_MSG(condition, text, ...)                                                           \
    do                                                                                                       \
    {                                                                                                        \
        if (OX_UNLIKELY(!(condition)))                                                                       \
        {                                                                                                    \
            ::oxjob::DumpJobTraceForAssert();                                                                \
            OX_ASSERT_AS_MSG(false, text, __VA_ARGS__);                                                      \
        }                                                                                                    \
    } while (0)

#define OX_JOB_ASSERT_FAIL(...) OX_JOB_ASSERT_MSG(false, __VA_ARGS__)
