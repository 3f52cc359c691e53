// The job system's assertions: before the report, the 100 most recent job trace records
// are printed on channel 1, so that the report shows what the workers did leading up to
// it. Otherwise they behave as OX_ASSERT and its siblings.
#pragma once
#include "corelib/util/msg-assert.h"

namespace oxjob
{
// Prints the recent job trace for an assertion that is about to report (once per thread
// at a time: an assertion raised while the trace prints does not print it again).
OX_COLD void DumpJobTraceForAssert();
} // namespace oxjob

#define OX_JOB_ASSERT(condition)                                                                             \
    do                                                                                                       \
    {                                                                                                        \
        if (OX_UNLIKELY(!(condition)))                                                                       \
        {                                                                                                    \
            ::oxjob::DumpJobTraceForAssert();                                                                \
            OX_ASSERT_AS(false, #condition);                                                                 \
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
