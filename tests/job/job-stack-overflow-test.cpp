// A job that runs off the end of its fiber's stack is caught by the stack's guard and
// reported with the job's name and stack size, instead of crashing without a word.
#include "corelib/job/job-descriptor.h"
#include "corelib/job/job-system.h"
#include "corelib/job/job-typed.h"
#include "corelib/system/platform/platform.h"
#include "tests/job/job-test-support.h"
#include "tests/support/host-environment.h"

#include <gtest/gtest.h>

#if !OX_PLATFORM_WINDOWS
#include <csignal>
#include <sys/wait.h>
#endif

using namespace oxjob;

namespace
{
// Recurses with a kilobyte frame until the stack runs out; the work after the call keeps
// the compiler from turning the recursion into a loop.
OX_NOINLINE U64 Recurse(U64 depth)
{
    if (depth == ~0ull) // never: a stack holds far fewer frames
        return 0;
    volatile U8 frame[1024];
    frame[0] = static_cast<U8>(depth);
    frame[sizeof(frame) - 1] = static_cast<U8>(depth >> 8);
    return Recurse(depth + 1) + frame[0] + frame[sizeof(frame) - 1];
}

void EndlessRecursionJob(U64 startArg)
{
    Recurse(startArg);
}
OX_JOB_DESCRIPTOR(EndlessRecursionJob);

// The first version of a parallel loop a host writes: a thousand declarations (128 KB) on
// a 16 KiB stack, a frame that skips the stack's end at once.
void ThousandDeclarationsJob(U64)
{
    JobDecl decls[1000];
    for (JobDecl& decl : decls)
        decl.m_startArg = 1;
    volatile U64 sum = 0;
    for (const JobDecl& decl : decls)
        sum = sum + decl.m_startArg;
}
OX_JOB_DESCRIPTOR(ThousandDeclarationsJob);

void UnnamedRecursionJob(U64 startArg)
{
    Recurse(startArg);
}

void RunOnHost(JobEntryFunc pStartFunc, U64 flags = 0)
{
    jobtest::JobSystemHost* pHost = new jobtest::JobSystemHost(jobtest::SmallParams(1));
    pHost->Start();
    RunJobAndWait(pStartFunc, 0, flags, OX_JOB_SOURCE_LOCATION);
}

class JobStackOverflowDeathTest : public testing::Test
{
protected:
    void SetUp() override
    {
        if (RunningUnderWine())
            GTEST_SKIP() << kWineSkipReason;
    }
    static const char* const kWineSkipReason;
};
const char* const JobStackOverflowDeathTest::kWineSkipReason =
    "under Wine a job fiber's stack overflow never reaches the vectored handler: the process "
    "hangs instead of ending (seen with Wine 8 on Debian 12); Windows runs the handler";

TEST_F(JobStackOverflowDeathTest, NamesTheJobAndItsSmallStack)
{
    EXPECT_DEATH(
        RunOnHost(EndlessRecursionJob),
        "Assertion failed: Job stack overflow\\s+in .*\\s+Job 'EndlessRecursionJob' \\(submitted at "
        ".*job-stack-overflow-test.cpp:[0-9]+\\) \\[kLargeStack .*\\] overflowed its stack of 16384 bytes");
}

TEST_F(JobStackOverflowDeathTest, NamesTheLargeStackOfALargeStackJob)
{
    EXPECT_DEATH(RunOnHost(EndlessRecursionJob, kLargeStack),
                 "Job 'EndlessRecursionJob' .* overflowed its stack of 65536 bytes");
}

// A typed call's job names the host's line and the setting that gives it more stack.
void OverflowInATypedCall()
{
    jobtest::JobSystemHost* pHost = new jobtest::JobSystemHost(jobtest::SmallParams(1));
    pHost->Start();
    RunAndWait([] { Recurse(0); }); // kTypedCallLine
}
constexpr int kTypedCallLine = __LINE__ - 2;

TEST_F(JobStackOverflowDeathTest, ATypedCallsJobNamesTheHostsLineAndTheLargeStackChoice)
{
    EXPECT_DEATH(OverflowInATypedCall(),
                 "Job 'RunAndWaitJob' \\(submitted at .*job-stack-overflow-test.cpp:" +
                     std::to_string(kTypedCallLine) +
                     "\\) \\[kLargeStack \\(a typed call's option too\\) runs it on "
                     "InitParams::m_largeJobFiberStackSpace\\] overflowed its stack of 16384");
}

TEST_F(JobStackOverflowDeathTest, AFrameLargerThanTheStackIsCaughtToo)
{
    EXPECT_DEATH(RunOnHost(ThousandDeclarationsJob),
                 "Job 'ThousandDeclarationsJob' .* overflowed its stack of 16384 bytes");
}

TEST_F(JobStackOverflowDeathTest, AJobWithoutDescriptorIsNamedByItsEntryFunction)
{
    EXPECT_DEATH(RunOnHost(UnnamedRecursionJob),
                 "Job with entry function .* overflowed its stack of 16384 bytes");
}

#if !OX_PLATFORM_WINDOWS
// A fault that is not an overflow of the job's stack.
void NullWriteJob(U64 startArg)
{
    *reinterpret_cast<volatile U64*>(startArg) = 1;
}

// Any other fault goes on to the handler installed before (a sanitizer's) or the default
// action: the process does not end at the report's breakpoint.
TEST(JobStackOverflowPosixDeathTest, OtherFaultsAreNotReportedAsOverflows)
{
    EXPECT_EXIT(
        RunOnHost(NullWriteJob),
        [](int status) { return !(WIFSIGNALED(status) && WTERMSIG(status) == SIGTRAP); }, "");
}
#endif
} // namespace
