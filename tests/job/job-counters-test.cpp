// Counters: the next-fit pool, the report of counters in use, exhaustion and bad call
// sites, the state of a freed counter, and counters counted down by jobs.
#include "corelib/job/job-system.h"
#include "tests/job/job-test-support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <regex>
#include <string>
#include <thread>

using namespace oxjob;
using jobtest::DoutCaptureScope;
using jobtest::JobSystemHost;
using jobtest::MakeJob;
using jobtest::SmallParams;

namespace
{
// Counters are 128-byte records in one array, so a counter's index is its distance from
// counter 0 in units of 128 bytes.
constexpr UPtr kCounterBytes = 128;

const char kTestFile[] = "C:\\game\\src\\engine\\frame.cpp";
const char kTestFunc[] = "void __cdecl Engine::Frame::Submit(int)";

InitParams ParamsWithCounters(U64 numCounters)
{
    InitParams params = SmallParams(1);
    params.m_numCounters = numCounters;
    return params;
}

// Allocates a counter whose call site line tells the allocations apart.
CounterHandle AllocateAtLine(U32 line, I64 initialValue = 1, WaitRestriction restriction = kWaitForZeroOnly)
{
    return AllocateCounter(kTestFile, line, kTestFunc, initialValue, restriction);
}

U64 IndexOf(CounterHandle counter0, CounterHandle counter)
{
    return (reinterpret_cast<UPtr>(counter.m_pCounter) - reinterpret_cast<UPtr>(counter0.m_pCounter)) /
           kCounterBytes;
}

// The report with every age, "(seconds with four decimals)", replaced by "(AGE)".
std::string WithoutAges(const std::string& report)
{
    return std::regex_replace(report, std::regex("\\(\\d+\\.\\d{4}\\)\n"), "(AGE)\n");
}

const char kReportHeading[] = "\n===================== ALLOCATED JOB SYSTEM COUNTERS =====================\n";

TEST(JobCounters, NextFitTakesTheIndexAfterTheLastAllocationThenWrapsToTheFirstFree)
{
    JobSystemHost host(ParamsWithCounters(4));
    host.Start();
    CounterHandle counters[4];
    for (U32 i = 0; i < 4; ++i)
        counters[i] = AllocateAtLine(10 + i);
    const CounterHandle counter0 = counters[0];
    for (U64 i = 0; i < 4; ++i)
        EXPECT_EQ(IndexOf(counter0, counters[i]), i);

    // Nothing is free after the last index 3: the search falls back to the first free one.
    FreeCounter(counters[1]);
    counters[1] = AllocateAtLine(21);
    EXPECT_EQ(IndexOf(counter0, counters[1]), 1u);

    // The last index is now 1: the free index 3 comes before the lower free index 0.
    FreeCounter(counters[3]);
    FreeCounter(counters[0]);
    counters[3] = AllocateAtLine(30);
    counters[0] = AllocateAtLine(31);
    EXPECT_EQ(IndexOf(counter0, counters[3]), 3u);
    EXPECT_EQ(IndexOf(counter0, counters[0]), 0u);
    for (CounterHandle counter : counters)
        FreeCounter(counter);
}

TEST(JobCounters, NextFitWithCapacityEightGivesSixSevenThenZero)
{
    JobSystemHost host(ParamsWithCounters(8));
    host.Start();
    CounterHandle counters[8];
    for (U32 i = 0; i < 6; ++i)
        counters[i] = AllocateAtLine(10 + i);
    const CounterHandle counter0 = counters[0];
    FreeCounter(counters[0]);
    counters[6] = AllocateAtLine(20);
    counters[7] = AllocateAtLine(21);
    counters[0] = AllocateAtLine(22);
    EXPECT_EQ(IndexOf(counter0, counters[6]), 6u);
    EXPECT_EQ(IndexOf(counter0, counters[7]), 7u);
    EXPECT_EQ(IndexOf(counter0, counters[0]), 0u);
    for (CounterHandle counter : counters)
        FreeCounter(counter);
}

TEST(JobCounters, DumpListsCountersInUseByIndexWithShortNames)
{
    JobSystemHost host(ParamsWithCounters(8));
    host.Start();
    std::string longFunction = "void ";
    longFunction.append(200, 'f');
    longFunction += "(int)";
    std::string longFile = "/data/";
    longFile.append(200, 'd');

    const CounterHandle released = AllocateCounter("D:\\proj\\src\\released.cpp", 5, "Released()", 1);
    const CounterHandle windowsPath = AllocateCounter("D:\\proj\\src\\engine\\job\\frame.cpp", 42,
                                                      "void __cdecl Engine::Frame::Submit(int, char*)", 1);
    const CounterHandle plainName =
        AllocateCounter("/home/dev/game/render.cpp", 7, "RenderAll", 2, kNoWaitRestriction);
    const CounterHandle noSpace = AllocateCounter("src/a/b.cpp", 9, "Submit(int)", 1);
    const CounterHandle tooLong = AllocateCounter(longFile.c_str(), 11, longFunction.c_str(), 1);
    const U32 macroLine = __LINE__ + 1;
    const CounterHandle macroSite = OX_ALLOCATE_COUNTER(1, kWaitForZeroOnly);
    FreeCounter(released); // index 0 is no longer listed

    std::string thisFile = __FILE__;
    for (char& c : thisFile)
        if (c == '\\')
            c = '/';
    ASSERT_EQ(thisFile.find("src"), std::string::npos)
        << "the expectation below assumes a path without 'src'";

    DoutCaptureScope capture(1);
    DumpAllocatedCounters();
    const std::string expected = std::string(kReportHeading) +
                                 "[1] Engine::Frame::Submit engine/job/frame.cpp:42 (AGE)\n"
                                 "[2] RenderAll /home/dev/game/render.cpp:7 (AGE)\n"
                                 "[3] Submit a/b.cpp:9 (AGE)\n"
                                 "[4] " +
                                 std::string(127, 'f') + " " + longFile.substr(0, 127) + ":11 (AGE)\n";
    const std::string report = WithoutAges(capture.Text());
    ASSERT_EQ(report.substr(0, expected.size()), expected);

    // The counter allocated here, through the call-site macro, names this test and line.
    const std::string macroLineText = report.substr(expected.size());
    const std::regex macroPattern("\\[5\\] [^ ]*TestBody " + thisFile + ":" + std::to_string(macroLine) +
                                  " \\(AGE\\)\n");
    EXPECT_TRUE(std::regex_match(macroLineText, macroPattern)) << macroLineText;
    EXPECT_EQ(report.find("<null>"), std::string::npos);

    // Every age is a small, non-negative number of seconds.
    const std::string text = capture.Text();
    const std::regex agePattern("\\((\\d+\\.\\d{4})\\)\n");
    int numAges = 0;
    for (std::sregex_iterator it(text.begin(), text.end(), agePattern), end; it != end; ++it, ++numAges)
        EXPECT_LT(std::stod((*it)[1].str()), 60.0);
    EXPECT_EQ(numAges, 5);

    for (CounterHandle counter : {windowsPath, plainName, noSpace, tooLong, macroSite})
        FreeCounter(counter);
}

TEST(JobCounters, DumpWithNoCounterInUsePrintsTheHeadingOnly)
{
    JobSystemHost host(ParamsWithCounters(4));
    host.Start();
    DoutCaptureScope capture(1);
    DumpAllocatedCounters();
    EXPECT_EQ(capture.Text(), kReportHeading);
}

TEST(JobCounters, RunningOutPrintsTheReportThenFails)
{
    EXPECT_DEATH(
        {
            JobSystemHost host(ParamsWithCounters(4));
            host.Start();
            jobtest::DoutStderrOneLine toStderr;
            SetMsgOutput(1, &toStderr);
            for (U32 i = 0; i < 5; ++i)
                AllocateAtLine(100 + i);
        },
        "ALLOCATED JOB SYSTEM COUNTERS =* \\[0\\] .*:100 .*\\[3\\] .*:103 .*"
        "Assertion failed: pCounter\\s+in .*\\s+We ran out of job system counters!");
}

// Each case passes one bad call site and names the condition that rejects it.
struct BadCallSiteCase
{
    const char* m_name;
    const char* m_file;
    U32 m_line;
    const char* m_function;
    const char* m_condition;
};

const BadCallSiteCase kBadCallSites[] = {
    {"NullFile", nullptr, 1, "F()", "Assertion failed: srcFile\\s"},
    {"LineZero", "a.cpp", 0, "F()", "Assertion failed: srcLine > 0"},
    {"NullFunction", "a.cpp", 1, nullptr, "Assertion failed: srcFunc\\s"},
};

class JobCountersBadCallSite : public testing::TestWithParam<BadCallSiteCase>
{
};

TEST_P(JobCountersBadCallSite, IsRejected)
{
    JobSystemHost host(ParamsWithCounters(4));
    host.Start();
    const BadCallSiteCase& badCase = GetParam();
    EXPECT_DEATH(AllocateCounter(badCase.m_file, badCase.m_line, badCase.m_function, 1), badCase.m_condition);
    // The same through the call-site record.
    EXPECT_DEATH(AllocateCounter(1, kWaitForZeroOnly,
                                 SourceLocation{badCase.m_file, badCase.m_function, badCase.m_line}),
                 badCase.m_condition);
}

INSTANTIATE_TEST_SUITE_P(All, JobCountersBadCallSite, testing::ValuesIn(kBadCallSites),
                         [](const testing::TestParamInfo<BadCallSiteCase>& info)
                         { return info.param.m_name; });

TEST(JobCounters, FreeingAnEmptyHandleIsRejected)
{
    JobSystemHost host(ParamsWithCounters(4));
    host.Start();
    EXPECT_DEATH(FreeCounter(CounterHandle{}), "Assertion failed: pCounter\\s");
}

TEST(JobCounters, AFreedCounterReadsZeroAndMayOnlyBeWaitedOnForZero)
{
    JobSystemHost host(ParamsWithCounters(1));
    host.Start();
    const CounterHandle counter = AllocateAtLine(10, 7, kNoWaitRestriction);
    EXPECT_EQ(GetCounterValue(counter), 7);
    FreeCounter(counter);
    EXPECT_EQ(GetCounterValue(counter), 0);
    // Allocated without a restriction, the freed counter has the restriction again, and
    // its call site is gone.
    EXPECT_DEATH(WaitForCounter(counter, 3, kCompareLessOrEqual),
                 "This counter \\[.*:0\\] can only be waited on to become '0' \\(WaitRestriction\\)");

    // The only counter of the pool is handed out again, with the new call's values.
    const CounterHandle again = AllocateAtLine(11, 5, kWaitForZeroOnly);
    EXPECT_EQ(again.m_pCounter, counter.m_pCounter);
    EXPECT_EQ(GetCounterValue(again), 5);
    FreeCounter(again);
}

TEST(JobCounters, WaitingForANonZeroValueOnAZeroOnlyCounterIsRejected)
{
    JobSystemHost host(ParamsWithCounters(4));
    host.Start();
    const CounterHandle counter = AllocateAtLine(77, 1, kWaitForZeroOnly);
    EXPECT_DEATH(
        WaitForCounter(counter, 1, kCompareEqual),
        "This counter \\[C:\\\\game\\\\src\\\\engine\\\\frame.cpp:77\\] can only be waited on to become '0' "
        "\\(WaitRestriction\\)");
    // Waiting for zero is allowed; the counter gets there from another thread.
    std::thread setter([counter] { SetCounterValue(counter, 0); });
    WaitForCounter(counter, 0, kCompareEqual);
    setter.join();
    FreeCounter(counter);
}

// Jobs that wait for the gate to open before they finish, so the test can look at the
// counter while none of them is done.
std::atomic<bool> s_gateOpen{false};
std::atomic<U64> s_gatedJobsDone{0};

void GatedJob(U64)
{
    while (!s_gateOpen.load(std::memory_order_acquire))
        std::this_thread::yield();
    s_gatedJobsDone.fetch_add(1);
}

class JobCountersRun : public jobtest::JobSystemTest
{
};

TEST_P(JobCountersRun, RunJobsCounterStartsAtTheJobCountAndReachesZero)
{
    s_gateOpen = false;
    s_gatedJobsDone = 0;
    constexpr U64 kNumJobs = 5;
    JobDecl decls[kNumJobs];
    for (U64 i = 0; i < kNumJobs; ++i)
        decls[i] = MakeJob(GatedJob, i);
    CounterHandle counter;
    RunJobs(decls, kNumJobs, &counter, Priority{3}, ~0ull, kWaitForZeroOnly, OX_JOB_SOURCE_LOCATION);
    ASSERT_TRUE(counter.IsValid());
    EXPECT_EQ(GetCounterValue(counter), static_cast<I64>(kNumJobs));
    for (const JobDecl& decl : decls)
        EXPECT_EQ(decl.m_associatedCounter, counter.m_pCounter);

    s_gateOpen = true;
    WaitForCounter(counter, 0, kCompareEqual);
    EXPECT_EQ(GetCounterValue(counter), 0);
    EXPECT_EQ(s_gatedJobsDone.load(), kNumJobs);
    FreeCounter(counter);
}

TEST_P(JobCountersRun, WaitForCounterAndFreeReturnsTheCounterToThePool)
{
    s_gateOpen = true;
    s_gatedJobsDone = 0;
    JobDecl decls[3] = {MakeJob(GatedJob, 0), MakeJob(GatedJob, 1), MakeJob(GatedJob, 2)};
    CounterHandle counter;
    RunJobs(decls, 3, &counter, Priority{3}, ~0ull, kWaitForZeroOnly, OX_JOB_SOURCE_LOCATION);
    WaitForCounterAndFree(counter, 0);
    EXPECT_EQ(s_gatedJobsDone.load(), 3u);

    // A counter without restriction, waited for at a value above zero: two jobs count it
    // down from 3 to 1.
    const CounterHandle partial = AllocateAtLine(50, 3, kNoWaitRestriction);
    JobDecl twoJobs[2] = {MakeJob(GatedJob, 0), MakeJob(GatedJob, 1)};
    for (JobDecl& decl : twoJobs)
        decl.m_associatedCounter = partial.m_pCounter;
    JobArray* pJobArray = BeginJobArray(2, Priority{3});
    ASSERT_NE(pJobArray, nullptr);
    ASSERT_EQ(AddJobs(pJobArray, twoJobs, 2), 2u);
    CommitJobArray(pJobArray);
    WaitForCounterAndFree(partial, 1, kCompareEqual);
    EXPECT_EQ(s_gatedJobsDone.load(), 5u);

    // No counter is left in use.
    DoutCaptureScope capture(1);
    DumpAllocatedCounters();
    EXPECT_EQ(capture.Text(), kReportHeading);
}

INSTANTIATE_TEST_SUITE_P(Workers, JobCountersRun, testing::Values(1, 3));
} // namespace
