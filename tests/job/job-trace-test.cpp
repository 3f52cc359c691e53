// The job trace: ring bookkeeping, the merge order of the dumps, the printed lines, span
// dumps, and the records the scheduler writes while jobs run, wait and resume.
#include "corelib/job/job-descriptor.h"
#include "corelib/job/job-trace.h"
#include "tests/job/job-test-support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using namespace oxjob;
using jobtest::DoutCaptureScope;
using jobtest::JobSystemHost;
using jobtest::MakeJob;
using jobtest::SmallParams;

namespace
{
// Trace memory for the ring tests, 128-byte aligned as Initialize hands it out.
struct alignas(128) TraceMemory
{
    U8 m_bytes[24][48 * 8];
};

// Gives rings to some workers for one test and takes every ring away afterwards, so that
// no test sees another's records.
class JobTraceRings : public testing::Test
{
protected:
    void TearDown() override
    {
        SetJobTraceRedirected(false);
        for (U64 t = 0; t < kMaxWorkerThreads; ++t)
            SetupThreadJobTrace(t, nullptr, 0);
    }
    void GiveRing(U64 worker, U64 records)
    {
        SetupThreadJobTrace(worker, m_memory.m_bytes[worker], 48 * records);
    }

    TraceMemory m_memory;
};

JobTraceElement Event(const char* text)
{
    JobTraceElement element;
    element.m_kind = kJobTraceEvent;
    element.m_subject = reinterpret_cast<U64>(text);
    return element;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size())
    {
        const size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}

std::string Recent(U64 count)
{
    DoutCaptureScope capture(1);
    DumpRecentJobTrace(count, 1);
    return capture.Text();
}
} // namespace

TEST_F(JobTraceRings, SetupGivesWholeRecordsAndAShareBelowOneRecordGivesNoRing)
{
    SetupThreadJobTrace(0, m_memory.m_bytes[0], 48 * 5 + 47);
    SetupThreadJobTrace(1, m_memory.m_bytes[1], 47);
    EXPECT_EQ(GetJobTraceThreadData(0)->m_capacity, 5u);
    EXPECT_EQ(GetJobTraceThreadData(0)->m_pBuffer, reinterpret_cast<JobTraceElement*>(m_memory.m_bytes[0]));
    EXPECT_EQ(GetJobTraceThreadData(1)->m_pBuffer, nullptr);
    EXPECT_EQ(GetJobTraceThreadData(24), nullptr);
    // Adding to the ring-less worker is harmless and records nothing.
    AddTraceElementAtTime(U64{1}, Event("x"), 10);
    EXPECT_EQ(GetJobTraceThreadData(1)->m_count, 0u);
    EXPECT_EQ(Recent(10), "");
}

TEST_F(JobTraceRings, RecentDumpMergesWorkersOldestFirst)
{
    GiveRing(0, 8);
    GiveRing(2, 8);
    AddTraceElementAtTime(U64{0}, Event("a"), 0x10);
    AddTraceElementAtTime(U64{2}, Event("b"), 0x20);
    AddTraceElementAtTime(U64{0}, Event("c"), 0x30);
    AddTraceElementAtTime(U64{2}, Event("d"), 0x40);
    // More asked for than held: everything, oldest first.
    EXPECT_EQ(Recent(100), "(0x0000000000000010) - Thread [0]: Event \"a\"\n"
                           "(0x0000000000000020) - Thread [2]: Event \"b\"\n"
                           "(0x0000000000000030) - Thread [0]: Event \"c\"\n"
                           "(0x0000000000000040) - Thread [2]: Event \"d\"\n");
    // Fewer: the newest ones.
    EXPECT_EQ(Recent(2), "(0x0000000000000030) - Thread [0]: Event \"c\"\n"
                         "(0x0000000000000040) - Thread [2]: Event \"d\"\n");
}

TEST_F(JobTraceRings, EqualTimestampsPrintTheLowerWorkerLast)
{
    GiveRing(3, 4);
    GiveRing(5, 4);
    AddTraceElementAtTime(U64{5}, Event("five"), 0x50);
    AddTraceElementAtTime(U64{3}, Event("three"), 0x50);
    EXPECT_EQ(Recent(10), "(0x0000000000000050) - Thread [5]: Event \"five\"\n"
                          "(0x0000000000000050) - Thread [3]: Event \"three\"\n");
}

TEST_F(JobTraceRings, AWrappedRingHoldsItsCapacityFromTheWriteIndexOn)
{
    GiveRing(1, 3);
    const char* texts[] = {"e1", "e2", "e3", "e4", "e5"};
    for (U64 i = 0; i < 5; ++i)
        AddTraceElementAtTime(U64{1}, Event(texts[i]), 0x100 + i);
    const JobTraceThreadData& ring = *GetJobTraceThreadData(1);
    EXPECT_EQ(ring.m_count, 3u);
    EXPECT_EQ(ring.m_writeIndex, 2u);
    EXPECT_EQ(Recent(100), "(0x0000000000000102) - Thread [1]: Event \"e3\"\n"
                           "(0x0000000000000103) - Thread [1]: Event \"e4\"\n"
                           "(0x0000000000000104) - Thread [1]: Event \"e5\"\n");
    JobTraceElement copy[3];
    ASSERT_EQ(CopyJobTrace(1, copy, 3), 3u);
    EXPECT_EQ(copy[0].m_timestamp, 0x102u);
    EXPECT_EQ(copy[2].m_timestamp, 0x104u);
    ASSERT_EQ(CopyJobTrace(1, copy, 2), 2u);
    EXPECT_EQ(copy[0].m_timestamp, 0x103u);
}

TEST_F(JobTraceRings, ARecordWithTimestampZeroEndsTheRecentDump)
{
    GiveRing(0, 4);
    AddTraceElementAtTime(U64{0}, Event("zero"), 0);
    AddTraceElementAtTime(U64{0}, Event("one"), 1);
    EXPECT_EQ(Recent(10), "(0x0000000000000001) - Thread [0]: Event \"one\"\n");
}

TEST_F(JobTraceRings, ALongRecentDumpPrintsInBatchesInTheSameOrder)
{
    GiveRing(0, 8);
    GiveRing(1, 8);
    std::vector<JobTraceElement> pool;
    // Interleaved timestamps across two full rings; a dump of all of them needs more than
    // one batch only when batches are small, so check the order across the whole dump.
    for (U64 i = 0; i < 16; ++i)
        AddTraceElementAtTime(i % 2, Event("x"), 0x1000 + i);
    const std::vector<std::string> lines = Lines(Recent(1000));
    ASSERT_EQ(lines.size(), 16u);
    for (U64 i = 0; i < 16; ++i)
    {
        char expected[80];
        snprintf(expected, sizeof(expected), "(0x%016llX) - Thread [%d]: Event \"x\"", 0x1000ull + i,
                 static_cast<int>(i % 2));
        EXPECT_EQ(lines[i], expected);
    }
}

TEST_F(JobTraceRings, RecordsOffAWorkerAreDroppedAndRedirectionKeepsTheRealRings)
{
    GiveRing(0, 4);
    AddTraceEvent("from the test thread"); // not a worker
    EXPECT_EQ(GetJobTraceThreadData(0)->m_count, 0u);

    SetJobTraceRedirected(true);
    EXPECT_TRUE(IsJobTraceRedirected());
    AddTraceElementAtTime(U64{0}, Event("redirected"), 5);
    EXPECT_EQ(GetJobTraceThreadData(0)->m_count, 0u);
    // A dump while redirected leaves the redirection as it was.
    EXPECT_EQ(Recent(10), "");
    EXPECT_TRUE(IsJobTraceRedirected());
    SetJobTraceRedirected(false);
    AddTraceElementAtTime(U64{0}, Event("real"), 6);
    EXPECT_EQ(GetJobTraceThreadData(0)->m_count, 1u);
}

TEST_F(JobTraceRings, EveryKindPrintsItsLine)
{
    struct Case
    {
        U8 m_kind;
        const char* m_expected;
    };
    static const Case kCases[] = {
        {kJobTraceStartJob, "(0x00000000000000AB) - Thread [7]: Starting job 42 \"<<<BARRIER>>>\"\n"},
        {kJobTraceCompleteJob, "(0x00000000000000AB) - Thread [7]: Completed job 42 \"<<<BARRIER>>>\"\n"},
        {kJobTraceSleepJob,
         "(0x00000000000000AB) - Thread [7]: Sleep job 42 \"<<<BARRIER>>>\" waiting for counter "
         "[0x0000DEADBEE0] to be -3\n"},
        {kJobTraceResumeJob, "(0x00000000000000AB) - Thread [7]: Resuming job 42 \"<<<BARRIER>>>\"\n"},
        {kJobTraceSuspendFiber,
         "(0x00000000000000AB) - Thread [7]: Suspending fiber job 42 \"<<<BARRIER>>>\"\n"},
    };
    for (const Case& c : kCases)
    {
        JobTraceElement element;
        element.m_timestamp = 0xAB;
        element.m_kind = c.m_kind;
        element.m_subject = 0x1234; // no descriptor for it
        element.m_pCounter = reinterpret_cast<const Counter*>(UPtr{0xDEADBEE0});
        element.m_value = -3;
        element.m_jobId = 42;
        DoutCaptureScope capture(4);
        PrintTraceElement(7, element, 4);
        EXPECT_EQ(capture.Text(), c.m_expected) << "kind " << int(c.m_kind);
    }
}

TEST(JobTraceDeathTest, AnUnknownKindIsFatal)
{
    JobTraceElement element;
    element.m_kind = 6;
    EXPECT_DEATH(PrintTraceElement(0, element, 1), "Unhandled job trace event\\.");
}

TEST_F(JobTraceRings, SpanDumpPrintsEachWorkersRecordsInTheSpanOrWarns)
{
    GiveRing(0, 4);
    GiveRing(1, 4);
    for (U64 i = 0; i < 6; ++i) // ring 0 wraps: 0x12..0x15 remain
        AddTraceElementAtTime(U64{0}, Event("w0"), 0x10 + i);
    AddTraceElementAtTime(U64{1}, Event("w1"), 0x05);

    // Warnings go to the active output, in text colour 1.
    DoutCaptureScope warnings(0);
    DoutCaptureScope records(1);
    DumpJobTraceSpan(0x13, 0x15);
    EXPECT_EQ(records.Text(), "(0x0000000000000013) - Thread [0]: Event \"w0\"\n"
                              "(0x0000000000000014) - Thread [0]: Event \"w0\"\n");
    const std::vector<std::string> lines = Lines(warnings.Text());
    ASSERT_EQ(lines.size(), 23u);
    EXPECT_EQ(lines[0], "\x1B[0;31m[JOB TRACE DUMP WARNING] - Thread [1]: NO TRACE ELEMENTS FOUND IN SPAN 19 -> 21");
    EXPECT_EQ(lines[1], "\x1B[0;31m[JOB TRACE DUMP WARNING] - Thread [2]: NO TRACE BUFFER FOUND");
    EXPECT_EQ(lines[22], "\x1B[0;31m[JOB TRACE DUMP WARNING] - Thread [23]: NO TRACE BUFFER FOUND");
}

// Dumps run while a ring is written and wraps; every printed line stays a whole record.
TEST_F(JobTraceRings, DumpsTolerateRingsThatWrapMeanwhile)
{
    GiveRing(0, 8);
    GiveRing(1, 8);
    std::atomic<bool> stop{false};
    std::thread writer(
        [&]
        {
            JobTraceThreadData* pRing = const_cast<JobTraceThreadData*>(GetJobTraceThreadData(1));
            for (U64 t = 1; !stop.load(std::memory_order_relaxed); ++t)
                AddTraceElementAtTime(pRing, Event("busy"), t);
        });
    for (U64 i = 1; i <= 64; ++i)
        AddTraceElementAtTime(U64{0}, Event("quiet"), i);
    for (int round = 0; round < 200; ++round)
    {
        for (const std::string& line : Lines(Recent(12)))
        {
            const bool quiet = line.find("Thread [0]: Event \"quiet\"") != std::string::npos;
            const bool busy = line.find("Thread [1]: Event \"busy\"") != std::string::npos;
            ASSERT_TRUE(quiet || busy) << line;
        }
        JobTraceElement copy[8];
        EXPECT_LE(CopyJobTrace(1, copy, 8), 8u);
    }
    stop = true;
    writer.join();
}

// --- Records written by the scheduler ---------------------------------------------------------

namespace
{
std::atomic<int> s_traceStep{0};
CounterHandle s_traceGate;

void TracedLeaf(U64)
{
    s_traceStep.fetch_add(1);
}
OX_JOB_DESCRIPTOR(TracedLeaf);

void TracedWaiter(U64)
{
    WaitForCounter(s_traceGate, 0);
    s_traceStep.fetch_add(1);
}
OX_JOB_DESCRIPTOR(TracedWaiter);

void TracedOpener(U64)
{
    SetCounterValue(s_traceGate, 0);
}
OX_JOB_DESCRIPTOR(TracedOpener);

// Every record of every ring, each with its worker, oldest first per worker.
struct TracedRecord
{
    U64 m_worker;
    JobTraceElement m_element;
};
std::vector<TracedRecord> AllRecords()
{
    std::vector<TracedRecord> records;
    for (U64 t = 0; t < kMaxWorkerThreads; ++t)
    {
        JobTraceElement buffer[64];
        const U64 count = CopyJobTrace(t, buffer, 64);
        for (U64 i = 0; i < count; ++i)
            records.push_back({t, buffer[i]});
    }
    return records;
}
} // namespace

TEST(JobTraceHosted, InitializeSharesTheTraceMemoryInWholeLinesPerWorker)
{
    alignas(128) static U8 traceMemory[1000];
    InitParams params = SmallParams(3);
    params.m_pTraceMemoryBuffer = traceMemory;
    params.m_traceMemoryBufferSize = sizeof(traceMemory);
    JobSystemHost host(params);
    host.Start();
    for (U64 t = 0; t < 3; ++t)
    {
        EXPECT_EQ(GetJobTraceThreadData(t)->m_pBuffer,
                  reinterpret_cast<JobTraceElement*>(traceMemory + 256 * t));
        EXPECT_EQ(GetJobTraceThreadData(t)->m_capacity, 256u / 48);
    }
    EXPECT_EQ(GetJobTraceThreadData(3)->m_pBuffer, nullptr);
    host.Stop();
    EXPECT_EQ(GetJobTraceThreadData(0)->m_pBuffer, nullptr);
}

TEST(JobTraceHosted, JobsLeaveStartCompleteSleepSuspendAndResumeRecords)
{
    alignas(128) static U8 traceMemory[2 * 64 * 48];
    InitParams params = SmallParams(2);
    params.m_pTraceMemoryBuffer = traceMemory;
    params.m_traceMemoryBufferSize = sizeof(traceMemory);
    JobSystemHost host(params);
    host.Start();
    s_traceStep = 0;
    s_traceGate = OX_ALLOCATE_COUNTER(1, kWaitForZeroOnly);

    JobDecl leaf = MakeJob(TracedLeaf, 0);
    RunJobs(&leaf, 1, nullptr, Priority{4}, ~0ull, kWaitForZeroOnly, OX_JOB_SOURCE_LOCATION);
    alignas(64) JobDecl waiter = MakeJob(TracedWaiter, 0);
    CounterHandle waiterDone;
    RunJobs(&waiter, 1, &waiterDone, Priority{4}, ~0ull, kWaitForZeroOnly, OX_JOB_SOURCE_LOCATION);
    // The waiter has gone to sleep once its sleep record is there; then open the gate.
    for (;;)
    {
        bool asleep = false;
        for (const TracedRecord& r : AllRecords())
            asleep |= r.m_element.m_kind == kJobTraceSleepJob &&
                      r.m_element.m_subject == reinterpret_cast<U64>(&TracedWaiter);
        if (asleep)
            break;
        std::this_thread::yield();
    }
    JobDecl opener = MakeJob(TracedOpener, 0);
    RunJobs(&opener, 1, nullptr, Priority{4}, ~0ull, kWaitForZeroOnly, OX_JOB_SOURCE_LOCATION);
    WaitForCounterAndFree(waiterDone, 0);
    while (s_traceStep.load() != 2)
        std::this_thread::yield();

    // The waiter's story in time order, whichever workers it ran on.
    std::vector<TracedRecord> waiterRecords;
    for (const TracedRecord& r : AllRecords())
        if (r.m_element.m_subject == reinterpret_cast<U64>(&TracedWaiter))
            waiterRecords.push_back(r);
    std::sort(waiterRecords.begin(), waiterRecords.end(),
              [](const TracedRecord& a, const TracedRecord& b)
              { return a.m_element.m_timestamp < b.m_element.m_timestamp; });
    std::vector<int> kinds;
    for (const TracedRecord& r : waiterRecords)
        kinds.push_back(r.m_element.m_kind);
    EXPECT_EQ(kinds, (std::vector<int>{kJobTraceStartJob, kJobTraceSleepJob, kJobTraceSuspendFiber,
                                       kJobTraceResumeJob, kJobTraceCompleteJob}));
    ASSERT_EQ(waiterRecords.size(), 5u);
    const JobTraceElement& sleep = waiterRecords[1].m_element;
    EXPECT_EQ(sleep.m_pCounter, static_cast<const Counter*>(s_traceGate.m_pCounter));
    EXPECT_EQ(sleep.m_value, 0);
    for (const TracedRecord& r : waiterRecords)
        EXPECT_EQ(r.m_element.m_jobId, waiterRecords[0].m_element.m_jobId);

    // The dump names the jobs.
    const std::string recent = Recent(100);
    EXPECT_NE(recent.find("Starting job"), std::string::npos);
    EXPECT_NE(recent.find("\"TracedLeaf\""), std::string::npos) << recent;
    EXPECT_NE(recent.find("Sleep job"), std::string::npos);
    EXPECT_NE(recent.find("\"TracedWaiter\" waiting for counter [0x"), std::string::npos);
    FreeCounter(s_traceGate);
}

TEST(JobTraceHostedDeathTest, AJobSystemAssertionPrintsTheRecentTraceFirst)
{
    EXPECT_DEATH(
        {
            alignas(128) static U8 traceMemory[2 * 16 * 48];
            InitParams params = SmallParams(1);
            params.m_pTraceMemoryBuffer = traceMemory;
            params.m_traceMemoryBufferSize = sizeof(traceMemory);
            JobSystemHost host(params);
            host.Start();
            CounterHandle done;
            JobDecl leaf = MakeJob(TracedLeaf, 0);
            RunJobs(&leaf, 1, &done, Priority{4}, ~0ull, kWaitForZeroOnly, OX_JOB_SOURCE_LOCATION);
            WaitForCounterAndFree(done, 0);
            jobtest::DoutStderrOneLine toStderr;
            SetMsgOutput(1, &toStderr);
            FreeCounter(CounterHandle{}); // a job-system precondition
        },
        "Completed job .*\"TracedLeaf\".*Assertion failed: pCounter");
}
