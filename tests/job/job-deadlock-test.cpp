// The deadlock watch and report: a job stuck on a counter nobody changes is reported with
// its counter and call site, the program goes on, and nothing is reported while the watch
// is off; a host thread asleep on such a counter is reported with the counter's and the
// wait's call sites.
#include "corelib/job/job-descriptor.h"
#include "corelib/job/job-host-wait.h"
#include "corelib/job/job-system.h"
#include "corelib/system/timing.h"
#include "corelib/util/msg-assert.h"
#include "tests/job/job-test-support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <regex>
#include <string>
#include <thread>

using namespace oxjob;
using jobtest::JobSystemHost;
using jobtest::MakeJob;
using jobtest::SmallParams;

namespace
{
// Collects what several channels print, from any thread.
class LockedCapture : public DoutBase
{
public:
    const char* GetName() const override { return "LockedCapture"; }
    void Print(const char* text) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_text += text;
    }
    std::string Text()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_text;
    }

private:
    std::mutex m_mutex;
    std::string m_text;
};

std::atomic<int> s_deadlockReports{0};
std::atomic<int> s_otherReports{0};
std::atomic<int> s_hostReports{0};
std::string s_hostReport; // written before s_hostReports counts it

void CountReports(const char* condition, const char* file, const char*, const char*, int line,
                  const char* message)
{
    if (condition && condition[0] == '\0' && message &&
        std::string(message) == "Job System Deadlock Detected")
        s_deadlockReports.fetch_add(1, std::memory_order_release);
    else if (condition && condition[0] == '\0' && message &&
             std::string(message).rfind("Host thread waiting for more than", 0) == 0)
    {
        s_hostReport = std::string(file) + ":" + std::to_string(line) + ": " + message;
        s_hostReports.fetch_add(1, std::memory_order_release);
    }
    else
        s_otherReports.fetch_add(1);
}

CounterHandle s_stuckCounter;

// A counter's address as the report prints it, written as a regular expression.
std::string AddressPattern(CounterHandle counter)
{
    char address[32];
    snprintf(address, sizeof(address), "\\[0x%012llX\\]",
             static_cast<unsigned long long>(reinterpret_cast<UPtr>(counter.m_pCounter)));
    return address;
}

void StuckWaiter(U64)
{
    WaitForCounter(s_stuckCounter, 0, kCompareLessOrEqual);
}
OX_JOB_DESCRIPTOR(StuckWaiter);

void GatedJob(U64) {}
OX_JOB_DESCRIPTOR(GatedJob);

// A host with a trace and a fast deadlock watch, capturing channels 0, 1 and 8 (the
// report's lines go to the reporting worker's active output, its trace to channel 8).
class JobDeadlock : public testing::Test
{
protected:
    void SetUp() override
    {
        InitParams params = SmallParams(2);
        params.m_pTraceMemoryBuffer = m_traceMemory;
        params.m_traceMemoryBufferSize = sizeof(m_traceMemory);
        m_pHost = new JobSystemHost(params);
        for (int channel : {0, 1, 8})
        {
            m_previous[channel] = GetMsgOutput(channel);
            SetMsgOutput(channel, &m_capture);
        }
        m_previousHandler = GetAssertReportHandler();
        SetAssertReportHandler(CountReports);
        s_deadlockReports = 0;
        s_otherReports = 0;
        s_hostReports = 0;
        SetDeadlockDetectionThresholdSeconds(0.05f);
        m_pHost->Start();
    }
    void TearDown() override
    {
        SetDeadlockDetectionEnabled(false);
        SetDeadlockDetectionThresholdSeconds(0.0f);
        delete m_pHost;
        SetAssertReportHandler(m_previousHandler);
        for (int channel : {0, 1, 8})
            SetMsgOutput(channel, m_previous[channel]);
        EXPECT_EQ(s_otherReports.load(), 0);
    }

    // Starts the stuck job and a job array parked behind a closed gate; returns once both
    // wait.
    void StartStuckWork()
    {
        s_stuckCounter = OX_ALLOCATE_COUNTER(5, kNoWaitRestriction);
        m_stuckLine = __LINE__ - 1;
        m_gate = OX_ALLOCATE_COUNTER(1, kWaitForZeroOnly);
        m_gateLine = __LINE__ - 1;
        JobDecl stuck = MakeJob(StuckWaiter, 0);
        RunJobs(&stuck, 1, &m_stuckDone, Priority{4}, ~0ull, kWaitForZeroOnly, OX_JOB_SOURCE_LOCATION);
        alignas(64) JobDecl gated = MakeJob(GatedJob, 0);
        m_gatedDone = OX_ALLOCATE_COUNTER(1, kWaitForZeroOnly);
        gated.m_associatedCounter = m_gatedDone.m_pCounter;
        JobArray* pArray = BeginJobArray(1, m_gate, 0, kCompareEqual, Priority{4});
        ASSERT_NE(pArray, nullptr);
        AddJobs(pArray, &gated, 1);
        CommitJobArray(pArray);
    }
    // Lets the stuck work finish and waits for it.
    void ReleaseStuckWork()
    {
        SetCounterValue(s_stuckCounter, 0);
        SetCounterValue(m_gate, 0);
        WaitForCounterAndFree(m_stuckDone, 0);
        WaitForCounterAndFree(m_gatedDone, 0);
        FreeCounter(s_stuckCounter);
        FreeCounter(m_gate);
    }

    alignas(128) U8 m_traceMemory[2 * 64 * 48];
    JobSystemHost* m_pHost = nullptr;
    LockedCapture m_capture;
    DoutBase* m_previous[9] = {};
    AssertReportHandler m_previousHandler = nullptr;
    CounterHandle m_gate;
    CounterHandle m_stuckDone;
    CounterHandle m_gatedDone;
    int m_stuckLine = 0;
    int m_gateLine = 0;
};
} // namespace

TEST_F(JobDeadlock, AStuckJobIsReportedWithItsCounterAndCallSiteAndTheProgramGoesOn)
{
    SetDeadlockDetectionEnabled(true);
    StartStuckWork();
    while (s_deadlockReports.load(std::memory_order_acquire) == 0)
        std::this_thread::yield();
    SetDeadlockDetectionEnabled(false);
    // Without the colour changes around each line.
    const std::string report = std::regex_replace(m_capture.Text(), std::regex("\x1B\\[[0-9;]*m"), "");

    const size_t trace = report.find("\n===================== RECENT JOB TRACE ========================\n");
    const size_t arrays = report.find("\n===================== WAITING JOB ARRAYS =====================\n");
    const size_t jobs = report.find("\n===================== WAITING JOBS ===========================\n");
    const size_t closing =
        report.find("Job System has been inactive with a waiting job for more than 10 seconds.\n");
    ASSERT_NE(trace, std::string::npos) << report;
    ASSERT_NE(arrays, std::string::npos) << report;
    ASSERT_NE(jobs, std::string::npos) << report;
    ASSERT_NE(closing, std::string::npos) << report;
    EXPECT_LT(trace, arrays);
    EXPECT_LT(arrays, jobs);
    EXPECT_LT(jobs, closing);

    const std::string traceSection = report.substr(trace, arrays - trace);
    EXPECT_TRUE(
        std::regex_search(traceSection, std::regex("Thread \\[[01]\\]: Sleep job [0-9]+ \"StuckWaiter\" "
                                                   "waiting for counter \\[0x[0-9A-F]{12}\\] to be 0\n")))
        << traceSection;

    const std::string arraySection = report.substr(arrays, jobs - arrays);
    EXPECT_TRUE(std::regex_search(arraySection,
                                  std::regex("JobArray waiting on counter " + AddressPattern(m_gate) +
                                             " to be '0' allocated from \\S*JobDeadlock::StartStuckWork "
                                             ".*job-deadlock-test\\.cpp:" +
                                             std::to_string(m_gateLine) + " \\([0-9]+\\.[0-9]{4}\\)\n")))
        << arraySection;

    const std::string jobSection = report.substr(jobs, closing - jobs);
    EXPECT_TRUE(std::regex_search(jobSection,
                                  std::regex("Job StuckWaiter \\[[0-9]+\\] waiting on counter " +
                                             AddressPattern(s_stuckCounter) +
                                             " to be '0' \\(or less\\) \\(currently 5\\) allocated from "
                                             "\\S*JobDeadlock::StartStuckWork .*job-deadlock-test\\.cpp:" +
                                             std::to_string(m_stuckLine) + " \\([0-9]+\\.[0-9]{4}\\)\n")))
        << jobSection;

    // The program goes on: the stuck work completes once its counters change.
    ReleaseStuckWork();
}

TEST_F(JobDeadlock, NothingIsReportedWhileTheWatchIsOff)
{
    StartStuckWork();
    // Stay stuck for many times the threshold and the confirming passes.
    const U64 start = GetTimeNow();
    while (TicksToSeconds(GetTimeNow() - start) < 1.5f)
        std::this_thread::yield();
    EXPECT_EQ(s_deadlockReports.load(), 0);
    EXPECT_EQ(m_capture.Text().find("WAITING JOBS"), std::string::npos);
    ReleaseStuckWork();
}

TEST_F(JobDeadlock, AHostThreadAsleepOnACounterNobodyCountsDownIsReportedWithBothCallSites)
{
    SetDeadlockDetectionEnabled(true);
    const CounterHandle forgotten = OX_ALLOCATE_COUNTER(1, kWaitForZeroOnly);
    const int allocationLine = __LINE__ - 1;
    std::thread countDownOnceReported(
        [forgotten]
        {
            while (s_hostReports.load(std::memory_order_acquire) == 0)
                std::this_thread::yield();
            AddToCounter(forgotten, -1);
        });
    HostWaitForCounter(forgotten, 0);
    const int waitLine = __LINE__ - 1;
    countDownOnceReported.join();
    FreeCounter(forgotten);
    SetDeadlockDetectionEnabled(false);

    EXPECT_EQ(s_hostReports.load(), 1);
    EXPECT_TRUE(std::regex_search(
        s_hostReport,
        std::regex("job-deadlock-test\\.cpp:" + std::to_string(waitLine) +
                   ": Host thread waiting for more than [0-9.]+ seconds on counter " +
                   AddressPattern(forgotten) + " to be '0' \\(currently 1\\) allocated from \\S*" +
                   "TestBody .*job-deadlock-test\\.cpp:" + std::to_string(allocationLine) +
                   ", and no job is running")))
        << s_hostReport;
    const std::string report = std::regex_replace(m_capture.Text(), std::regex("\x1B\\[[0-9;]*m"), "");
    EXPECT_TRUE(std::regex_search(
        report,
        std::regex("WAITING HOST THREAD =+\nHost thread waiting at \\S*TestBody "
                   ".*job-deadlock-test\\.cpp:" +
                   std::to_string(waitLine) + " for [0-9.]+ seconds on counter " + AddressPattern(forgotten) +
                   " to be '0' \\(currently 1\\) allocated from \\S*TestBody .*job-deadlock-test\\.cpp:" +
                   std::to_string(allocationLine))))
        << report;
}
