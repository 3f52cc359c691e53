// The typed layer (ParallelFor, RunAndWait, ScopedCounter) from the host thread and from
// inside jobs, on 1, 2 and 4 workers: every index is visited once in chunks of the grain,
// loops nest, captures at the size limit arrive intact, any number of chunks and
// callables is handled, and counters come back to the pool. Then the start-up defaults
// for this machine, and the misuse the layer reports.
#include "corelib/job/job-default-params.h"
#include "corelib/job/job-descriptor.h"
#include "corelib/job/job-host.h"
#include "corelib/job/job-local-storage.h"
#include "corelib/job/job-system.h"
#include "corelib/job/job-time-critical.h"
#include "corelib/job/job-typed.h"
#include "corelib/system/cpu-info.h"
#include "tests/job/job-malloc-hooks.h"
#include "tests/job/job-test-support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>
#include <utility>
#include <vector>

using namespace oxjob;
using jobtest::JobSystemHost;
using jobtest::JobSystemTest;
using jobtest::MakeJob;
using jobtest::SmallParams;

namespace
{
// --- What a loop must do, checked from wherever it runs ---------------------------------------

struct LoopCase
{
    U64 m_begin;
    U64 m_end;
    U64 m_grain;
};

const LoopCase kLoopCases[] = {
    {0, 0, 1},                  // empty
    {7, 7, 1000},               // empty, away from 0
    {0, 1, 1},                  // one index
    {0, 10, 100},               // grain larger than the range: one call
    {0, 10, 10},                // grain equal to the range
    {0, 11, 10},                // one full chunk and one of a single index
    {3, 1003, 7},               // uneven chunks away from 0
    {0, 1000, 1},               // 1000 chunks of one
    {0, 100000, 64},            // many chunks
    {~0ull - 1000, ~0ull, 999}, // at the top of the index range
    {~0ull - 5, ~0ull, ~0ull},  // a grain that would overflow begin + grain
};

// Runs the case's loop and checks that every index was visited exactly once, in chunks
// that start at begin + k * grain and are grain long (the last one shorter); returns a
// text naming the first fault, or an empty one.
std::string CheckLoop(const LoopCase& loop)
{
    const U64 length = loop.m_end - loop.m_begin;
    std::unique_ptr<std::atomic<U32>[]> visits(new std::atomic<U32>[length + 1]);
    for (U64 i = 0; i <= length; ++i)
        visits[i].store(0);
    std::atomic<U64> calls{0};
    std::atomic<bool> badChunk{false};
    ParallelFor(loop.m_begin, loop.m_end, loop.m_grain,
                [&](U64 begin, U64 end)
                {
                    calls.fetch_add(1);
                    const U64 offset = begin - loop.m_begin;
                    const U64 expectedLength =
                        loop.m_end - begin < loop.m_grain ? loop.m_end - begin : loop.m_grain;
                    if (begin < loop.m_begin || offset % loop.m_grain != 0 || end - begin != expectedLength)
                        badChunk.store(true);
                    for (U64 i = begin; i != end; ++i)
                        visits[i - loop.m_begin].fetch_add(1);
                });
    const U64 expectedCalls = length / loop.m_grain + (length % loop.m_grain != 0 ? 1 : 0);
    if (badChunk.load())
        return "a chunk did not start at begin + k * grain or had the wrong length";
    if (calls.load() != expectedCalls)
        return "calls: " + std::to_string(calls.load()) + " instead of " + std::to_string(expectedCalls);
    for (U64 i = 0; i < length; ++i)
    {
        if (visits[i].load() != 1)
            return "index " + std::to_string(loop.m_begin + i) + " visited " +
                   std::to_string(visits[i].load()) + " times";
    }
    return "";
}

std::string CheckAllLoops()
{
    for (const LoopCase& loop : kLoopCases)
    {
        const std::string fault = CheckLoop(loop);
        if (!fault.empty())
            return "[" + std::to_string(loop.m_begin) + ", " + std::to_string(loop.m_end) + ") grain " +
                   std::to_string(loop.m_grain) + ": " + fault;
    }
    return "";
}

// Sums i over [0, outer * inner) as an outer loop whose every chunk runs an inner loop.
U64 NestedSum(U64 outer, U64 inner)
{
    std::atomic<U64> sum{0};
    ParallelFor(0, outer, 1,
                [&](U64 outerBegin, U64 outerEnd)
                {
                    for (U64 o = outerBegin; o < outerEnd; ++o)
                    {
                        ParallelFor(0, inner, 3,
                                    [&, o](U64 begin, U64 end)
                                    {
                                        U64 partial = 0;
                                        for (U64 i = begin; i < end; ++i)
                                            partial += o * inner + i;
                                        sum.fetch_add(partial);
                                    });
                    }
                });
    return sum.load();
}

constexpr U64 SumBelow(U64 n)
{
    return n * (n - 1) / 2;
}

// A check made inside a job: its result, read by the test after the job has finished.
using Check = std::string (*)();
std::string s_jobFault;
U64 s_jobValue = 0;

void RunCheckJob(U64 check)
{
    s_jobFault = reinterpret_cast<Check>(static_cast<UPtr>(check))();
}
OX_JOB_DESCRIPTOR(RunCheckJob);

// Runs the check in a job (with the given flags) and returns what it found.
std::string RunCheckInJob(Check check, U64 flags = 0)
{
    s_jobFault = "did not run";
    alignas(64) JobDecl decl = MakeJob(RunCheckJob, static_cast<U64>(reinterpret_cast<UPtr>(check)), flags);
    ScopedCounter done(1);
    decl.m_associatedCounter = done.Get().m_pCounter;
    RunJobs(&decl, 1, nullptr, Priority{3}, ~0ull, kWaitForZeroOnly, OX_JOB_SOURCE_LOCATION);
    done.Wait();
    return s_jobFault;
}

void NestedSumJob(U64 depth)
{
    s_jobValue = depth == 0 ? NestedSum(8, 40) : 0;
}
OX_JOB_DESCRIPTOR(NestedSumJob);

// --- Loops ----------------------------------------------------------------------------------------

TEST_P(JobSystemTest, ParallelForFromTheHostVisitsEveryIndexOnceInGrainChunks)
{
    EXPECT_EQ(CheckAllLoops(), "");
}

TEST_P(JobSystemTest, ParallelForInsideAJobVisitsEveryIndexOnceInGrainChunks)
{
    EXPECT_EQ(RunCheckInJob(CheckAllLoops), "");
}

TEST_P(JobSystemTest, NestedLoopsFromTheHostAndFromAJobAddUp)
{
    EXPECT_EQ(NestedSum(8, 40), SumBelow(8 * 40));
    EXPECT_EQ(NestedSum(33, 100), SumBelow(33 * 100));
    s_jobValue = 0;
    RunJobAndWait(NestedSumJob, 0, 0, OX_JOB_SOURCE_LOCATION);
    EXPECT_EQ(s_jobValue, SumBelow(8 * 40));
}

// A job that must not wait may still loop: it runs every chunk itself.
TEST_P(JobSystemTest, AJobThatMayNotSleepRunsItsLoopItself)
{
    EXPECT_EQ(RunCheckInJob(CheckAllLoops, kDisallowSleep), "");
}

// --- Captures --------------------------------------------------------------------------------------

// A capture of exactly kMaxJobCaptureBytes: 32 values that identify the call.
struct LargestCapture
{
    U64 m_values[kMaxJobCaptureBytes / sizeof(U64)];
};

LargestCapture MakeCapture(U64 seed)
{
    LargestCapture capture;
    for (U64 i = 0; i < std::size(capture.m_values); ++i)
        capture.m_values[i] = seed * 1000 + i;
    return capture;
}

bool IsCapture(const LargestCapture& capture, U64 seed)
{
    for (U64 i = 0; i < std::size(capture.m_values); ++i)
    {
        if (capture.m_values[i] != seed * 1000 + i)
            return false;
    }
    return true;
}

// Callables of exactly kMaxJobCaptureBytes: each carries its values and nothing else.
struct LoopBodyAtLimit
{
    LargestCapture m_capture;
    void operator()(U64 begin, U64 end) const
    {
        if (IsCapture(m_capture, 7))
            s_good.fetch_add(end - begin);
    }
    static inline std::atomic<U64> s_good{0};
};
static_assert(sizeof(LoopBodyAtLimit) == kMaxJobCaptureBytes, "the loop body is at the limit");

struct CallAtLimit
{
    LargestCapture m_capture;
    void operator()() const
    {
        if (IsCapture(m_capture, m_capture.m_values[0] / 1000))
            s_good.fetch_add(1);
    }
    static inline std::atomic<U64> s_good{0};
};
static_assert(sizeof(CallAtLimit) == kMaxJobCaptureBytes, "each callable is at the limit");

std::string CheckLargestCaptures()
{
    LoopBodyAtLimit::s_good.store(0);
    ParallelFor(0, 1000, 10, LoopBodyAtLimit{MakeCapture(7)});
    if (LoopBodyAtLimit::s_good.load() != 1000)
        return "the loop body's capture arrived damaged";
    CallAtLimit::s_good.store(0);
    const CallAtLimit second{MakeCapture(2)};
    RunAndWait(CallAtLimit{MakeCapture(1)}, second, CallAtLimit{MakeCapture(3)});
    if (CallAtLimit::s_good.load() != 3)
        return "a callable's capture arrived damaged";
    return "";
}

TEST_P(JobSystemTest, CapturesAtTheSizeLimitArriveIntact)
{
    EXPECT_EQ(CheckLargestCaptures(), "");
    EXPECT_EQ(RunCheckInJob(CheckLargestCaptures), "");
}

// --- RunAndWait ------------------------------------------------------------------------------------

// Runs n callables, each marking its own slot, and checks each ran exactly once.
template <U64... kIndices>
bool RunMarkers(std::integer_sequence<U64, kIndices...>)
{
    std::atomic<U32> marks[sizeof...(kIndices)] = {};
    std::atomic<U32>* pMarks = marks;
    RunAndWait([pMarks] { pMarks[kIndices].fetch_add(1); }...);
    for (const std::atomic<U32>& mark : marks)
    {
        if (mark.load() != 1)
            return false;
    }
    return true;
}

std::string CheckRunAndWait()
{
    if (!RunMarkers(std::make_integer_sequence<U64, 1>()))
        return "one callable";
    if (!RunMarkers(std::make_integer_sequence<U64, 3>()))
        return "three callables";
    if (!RunMarkers(std::make_integer_sequence<U64, 40>()))
        return "forty callables";
    // Callables run in jobs, from the host as well.
    std::atomic<U32> inJobs{0};
    RunAndWait([&] { inJobs.fetch_add(IsWorkerThread() ? 1 : 0); });
    RunAndWait([&] { inJobs.fetch_add(IsWorkerThread() ? 1 : 0); },
               [&] { inJobs.fetch_add(IsWorkerThread() ? 1 : 0); });
    if (inJobs.load() != 3)
        return "a callable ran outside a job";
    // Callables that loop and wait themselves.
    std::atomic<U64> sum{0};
    RunAndWait([&] { sum.fetch_add(NestedSum(4, 20)); }, [&] { sum.fetch_add(NestedSum(5, 10)); });
    if (sum.load() != SumBelow(80) + SumBelow(50))
        return "nested loops in callables";
    return "";
}

TEST_P(JobSystemTest, RunAndWaitRunsEveryCallableOnceFromTheHostAndFromAJob)
{
    EXPECT_EQ(CheckRunAndWait(), "");
    EXPECT_EQ(RunCheckInJob(CheckRunAndWait), "");
}

// --- ScopedCounter ---------------------------------------------------------------------------------

std::atomic<U64> s_countedJobsRun{0};

void CountedJob(U64)
{
    s_countedJobsRun.fetch_add(1);
}
OX_JOB_DESCRIPTOR(CountedJob);

// Jobs counting a scoped counter down have all run once its scope has closed.
std::string CheckScopedCounter()
{
    s_countedJobsRun.store(0);
    constexpr U64 kJobs = 40;
    {
        ScopedCounter done(kJobs);
        alignas(64) JobDecl decls[kJobs];
        for (JobDecl& decl : decls)
        {
            decl = MakeJob(CountedJob, 0, kDisallowSleep);
            decl.m_associatedCounter = done.Get().m_pCounter;
        }
        JobArray* pJobArray = BeginJobArray(kJobs, Priority{3});
        AddJobs(pJobArray, decls, kJobs);
        CommitJobArray(pJobArray);
    }
    if (s_countedJobsRun.load() != kJobs)
        return "the scope closed before its jobs had run";
    {
        ScopedCounter value(5, kNoWaitRestriction);
        if (value.Add(-2) != 3 || value.GetValue() != 3)
            return "Add";
        value.Wait(4, kCompareLessOrEqual);
        value.Add(-3);
    }
    // Far more counters than the pool holds, one after the other: each went back.
    for (U64 i = 0; i < 3 * 256; ++i)
        ScopedCounter counter;
    return "";
}

TEST_P(JobSystemTest, AScopedCounterWaitsForItsJobsAndGoesBackToThePool)
{
    EXPECT_EQ(CheckScopedCounter(), "");
    EXPECT_EQ(RunCheckInJob(CheckScopedCounter), "");
}

INSTANTIATE_TEST_SUITE_P(Workers, JobSystemTest, testing::Values(1, 2, 4));

// --- No heap allocation ------------------------------------------------------------------------

#if OX_TEST_HAS_MALLOC_HOOKS
using jobtest::CountMalloc;
using jobtest::IgnoreFree;
using jobtest::s_allocations;
using jobtest::s_countingAllocations;

CounterHandle s_gate;

void WaitAtGateJob(U64)
{
    WaitForCounter(s_gate, 0);
}
OX_JOB_DESCRIPTOR(WaitAtGateJob);

void OpenGateJob(U64)
{
    SetCounterValue(s_gate, 0);
}
OX_JOB_DESCRIPTOR(OpenGateJob);

// Loops (nested, from the host and from a job), callables at the capture limit and
// scoped counters, as the tests above run them but without their checks' own memory.
U64 RunTypedWork()
{
    std::atomic<U64> sum{0};
    ParallelFor(0, 4000, 7, [&sum](U64 begin, U64 end) { sum.fetch_add(end - begin); });
    sum.fetch_add(NestedSum(8, 40));
    const LargestCapture capture = MakeCapture(5);
    RunAndWait([capture] { (void)capture; }, [&sum] { sum.fetch_add(NestedSum(4, 20)); },
               [capture] { (void)capture; });
    ScopedCounter counter(1);
    counter.Add(-1);
    return sum.load();
}
#endif

// The callables travel in the job declaration pool: once every fiber has started, the
// typed layer and the sleeping host wait allocate nothing.
TEST(JobTypedAllocationTest, NothingIsAllocatedAfterEveryFiberHasStarted)
{
#if !OX_TEST_HAS_MALLOC_HOOKS
    GTEST_SKIP() << "needs the sanitizers' allocation hooks";
#else
    InitParams params = SmallParams(2);
    params.m_maxSmallJobFibers = 14;
    params.m_maxLargeJobFibers = 2;
    JobSystemHost host(params);
    host.Start();
    ASSERT_EQ(__sanitizer_install_malloc_and_free_hooks(CountMalloc, IgnoreFree), 1);
    // Warm-up: 14 suspended jobs and the two workers' loops hold all 16 fibers, so every
    // fiber has run its start function once.
    s_gate = OX_ALLOCATE_COUNTER(1, kWaitForZeroOnly);
    {
        ScopedCounter waiters(14);
        alignas(64) JobDecl decls[14];
        for (JobDecl& decl : decls)
        {
            decl = MakeJob(WaitAtGateJob, 0);
            decl.m_associatedCounter = waiters.Get().m_pCounter;
        }
        RunJobs(decls, 14, nullptr, Priority{3}, ~0ull, kWaitForZeroOnly, OX_JOB_SOURCE_LOCATION);
        // Less urgent than the waiters: it runs once they have all started and suspended.
        RunJob(OpenGateJob, 0, 0, Priority{4});
    }
    FreeCounter(s_gate);
    const U64 expected = RunTypedWork();

    s_allocations = 0;
    s_countingAllocations = true;
    U64 sums = 0;
    for (int round = 0; round < 20; ++round)
        sums += RunTypedWork();
    s_countingAllocations = false;
    __sanitizer_install_malloc_and_free_hooks(nullptr, nullptr);
    EXPECT_EQ(s_allocations.load(), 0u);
    EXPECT_EQ(sums, 20 * expected);
#endif
}

// --- Start-up defaults for this machine ------------------------------------------------------------

TEST(JobDefaultParamsTest, FillsAWorkerPerLogicalProcessorAndLeavesTheOtherFieldsAlone)
{
    const InitParams specified;
    EXPECT_EQ(specified.m_numWorkerThreads, 13u);
    EXPECT_EQ(specified.m_numEmergencyWorkerThreads, 2u);
    EXPECT_EQ(specified.m_numCounters, 0u);
    EXPECT_EQ(specified.m_maxSmallJobFibers, 0u);

    InitParams params;
    params.m_smallJobFiberStackSpace = 32768;
    FillDefaultInitParams(&params);
    const U64 processors = GetNumLogicalProcessors();
    EXPECT_EQ(params.m_numWorkerThreads, processors < kMaxWorkerThreads ? processors : kMaxWorkerThreads);
    EXPECT_EQ(params.m_numEmergencyWorkerThreads, 0u);
    EXPECT_GE(params.m_maxSmallJobFibers + params.m_maxLargeJobFibers, 2 * params.m_numWorkerThreads);
    EXPECT_LE(params.m_maxSmallJobFibers, kMaxSmallJobFibers);
    EXPECT_LE(params.m_maxLargeJobFibers, kMaxLargeJobFibers);
    EXPECT_GT(params.m_numCounters, 0u);
    EXPECT_GT(params.m_numJobArrays, 0u);
    EXPECT_EQ(params.m_smallJobFiberStackSpace, 32768u);
    EXPECT_EQ(params.m_pMemoryBuffer, nullptr);
    EXPECT_EQ(params.m_memoryBufferSize % 128, 0u);
    EXPECT_GE(params.m_memoryBufferSize, GetRequiredMemoryBufferSize(params) + kDefaultJobDeclPoolBytes);
    EXPECT_EQ(GetMemoryBufferSizeWithJobDeclPool(params, 4096) % 128, 0u);
    EXPECT_GT(GetMemoryBufferSizeWithJobDeclPool(params, 4096), GetRequiredMemoryBufferSize(params));
}

TEST(JobDefaultParamsTest, StartsTheJobSystemOnThisMachineForTheTypedLayer)
{
    if (!Memory::GetThreadAllocStack())
        Memory::InitializeThreadAllocStack();
    InitParams params;
    FillDefaultInitParams(&params);
    params.m_pMemoryBuffer = ::operator new(params.m_memoryBufferSize, std::align_val_t(128));
    ASSERT_TRUE(Initialize(&params).IsSuccess());
    SetPowerSaveEnabled(true);
    EXPECT_EQ(GetNumWorkerThreads(), params.m_numWorkerThreads);
    EXPECT_EQ(CheckAllLoops(), "");
    EXPECT_EQ(NestedSum(33, 100), SumBelow(33 * 100));
    EXPECT_EQ(CheckRunAndWait(), "");
    EXPECT_EQ(RunCheckInJob(CheckAllLoops), "");
    Shutdown();
    ::operator delete(params.m_pMemoryBuffer, std::align_val_t(128));
}

// The one-line start: the host's choices reach the job system, the defaults are a worker
// per logical processor but one with power save on, and the scope's end stops it and leaves the
// thread's allocator stack as it found it.
TEST(JobDefaultParamsTest, AScopedJobSystemStartsWithTheHostsChoicesAndStopsAtScopeEnd)
{
    Memory::AllocStack* pBefore = Memory::GetThreadAllocStack();
    {
        JobHostParams choices;
        choices.m_numWorkerThreads = 2;
        choices.m_numEmergencyWorkerThreads = 1;
        choices.m_powerSave = false;
        choices.m_jobDeclPoolBytes = 64 * 1024;
        choices.m_largeJobFiberStackSpace = 4 * 16384;
        choices.m_schedulingPolicy = SchedulingPolicy::kWorkerLocalLists;
        ScopedJobSystem jobSystem(choices);
        ASSERT_TRUE(jobSystem.IsRunning());
        EXPECT_TRUE(jobSystem.GetStartResult().IsSuccess());
        EXPECT_EQ(GetNumWorkerThreads(), 2u);
        EXPECT_EQ(GetTotalNumWorkerThreads(), 3u);
        EXPECT_FALSE(IsPowerSaveEnabled());
        EXPECT_EQ(GetSchedulingPolicy(), SchedulingPolicy::kWorkerLocalLists);
        EXPECT_EQ(jobSystem.GetInitParams().m_largeJobFiberStackSpace, 4u * 16384);
        EXPECT_EQ(jobSystem.GetInitParams().m_memoryBufferSize,
                  GetMemoryBufferSizeWithJobDeclPool(jobSystem.GetInitParams(), 64 * 1024));
        EXPECT_EQ(CheckAllLoops(), "");
    }
    EXPECT_FALSE(IsInitialized());
    EXPECT_EQ(Memory::GetThreadAllocStack(), pBefore);
    {
        ScopedJobSystem jobSystem;
        // A worker per logical processor but the host thread's.
        const U64 processors = std::min<U64>(GetNumLogicalProcessors(), kMaxWorkerThreads);
        EXPECT_EQ(GetNumWorkerThreads(), processors > 1 ? processors - 1 : 1);
        EXPECT_TRUE(IsPowerSaveEnabled());
        EXPECT_EQ(GetSchedulingPolicy(), SchedulingPolicy::kSharedLists);
        EXPECT_EQ(CheckRunAndWait(), "");
    }
    EXPECT_FALSE(IsInitialized());
    // The rest of the binary runs on the policy this run of the tests chose.
    SetSchedulingPolicy(jobtest::TestSchedulingPolicy());
}

// --- Misuse -------------------------------------------------------------------------------------------

void NoOp(U64, U64) {}

void NoCall() {}

// Starts a job system that the dying process never stops.
void StartJobSystem()
{
    (new JobSystemHost(SmallParams(2)))->Start();
}

// Each misuse of the typed layer, written on one line with that line's number: the report
// names the caller's file and line, the condition and what went wrong.
struct TypedMisuse
{
    const char* m_name;
    void (*m_misuse)();
    int m_line;
    const char* m_condition;
    const char* m_message;
};

// Each case stays on the line its number names.
// clang-format off
const TypedMisuse kTypedMisuses[] = {
    {"GrainZero", [] { StartJobSystem(); ParallelFor(0, 10, 0, NoOp); }, __LINE__, "grain > 0", "A loop's grain \\(indices per chunk\\) must be at least 1"},
    {"BeginPastEnd", [] { StartJobSystem(); ParallelFor(10, 9, 1, NoOp); }, __LINE__, "begin <= end", "A loop's begin \\(10\\) is past its end \\(9\\)"},
    {"StartedGrainZero", [] { StartJobSystem(); StartParallelFor(0, 10, 0, NoOp).Wait(); }, __LINE__, "grain > 0", "A loop's grain"},
    {"OneChunkBeforeInitialize", [] { ParallelFor(0, 10, 100, NoOp); }, __LINE__, "IsInitialized\\(\\)", "The job system is not initialised"},
    {"RunAndWaitBeforeInitialize", [] { RunAndWait(NoCall); }, __LINE__, "IsInitialized\\(\\)", "The job system is not initialised"},
    {"StartBeforeInitialize", [] { Start([] {}).Wait(); }, __LINE__, "IsInitialized\\(\\)", "The job system is not initialised"},
    {"StartAfterWaitedWork", [] { StartJobSystem(); StartedWork a = Start(NoCall); a.Wait(); Start(a, NoCall).Wait(); }, __LINE__, "pRecord", "This StartedWork holds no work \\(already waited for, or moved from\\)"},
    {"FlagsOtherThanLargeStack", [] { StartJobSystem(); ParallelFor(0, 10, 1, NoOp, kDisallowSleep); }, __LINE__, "\\(options.m_flags & ~U64\\{kLargeStack\\}\\) == 0", "A typed call's jobs take kLargeStack only \\(flags 0x2\\)"},
};
// clang-format on

class JobTypedMisuseDeathTest : public testing::TestWithParam<TypedMisuse>
{
};

TEST_P(JobTypedMisuseDeathTest, NamesTheCallersFileAndLine)
{
    const TypedMisuse& misuse = GetParam();
    EXPECT_DEATH(misuse.m_misuse(), std::string("Assertion failed: ") + misuse.m_condition +
                                        "\\s+in .* \\(.*job-typed-test\\.cpp:" +
                                        std::to_string(misuse.m_line) + "\\)\\s+" + misuse.m_message);
}

INSTANTIATE_TEST_SUITE_P(All, JobTypedMisuseDeathTest, testing::ValuesIn(kTypedMisuses),
                         [](const testing::TestParamInfo<TypedMisuse>& info) { return info.param.m_name; });

// A pool too small for the callables' copies names the bytes asked.
TEST(JobTypedDeathTest, AFullJobDeclarationPoolIsReported)
{
    EXPECT_DEATH(
        {
            JobSystemHost host(SmallParams(2), 2048);
            host.Start();
            const LargestCapture capture = MakeCapture(1);
            auto call = [capture] { (void)capture; };
            RunAndWait(call, call, call, call, call, call, call, call, call, call); // 10 x (64 + 256)
        },
        "The job declaration pool has no room for 3200 bytes of typed job callables");
}
} // namespace
