// The typed layer and the sleeping host wait, against their baselines in the same run.
//
//   Loop      x = x * a + b over 1,000,000 floats in chunks of 16,384 (62 chunks), from
//             the host thread: with oxjob::ParallelFor; with the same chunks written as raw
//             JobDecls (one job per chunk, kDisallowSleep on the first, globals for the
//             data, a counter, the host waiting in HostWaitForCounter); with raw JobDecls
//             at their best (one job per worker over a contiguous part, the host waiting);
//             with oneTBB's parallel_for over a blocked_range of the same grain; and on
//             one thread.
//   HostWait  a host thread waits 200 ms for a counter that a job counts down when it
//             ends: with HostWaitForCounter (spin, then asleep) and with WaitForCounter
//             (yielding in a loop). The figure is the waiting thread's processor time;
//             "core_share" divides it by the wall-clock time of the wait.
//
// The job system is started with FillDefaultInitParams (a regular worker per logical
// processor), power save on unless a benchmark's name says "spinning". oneTBB runs in its
// default arena (as many threads as logical processors, the calling thread included).
// Loop figures are wall-clock times; the table at the end gives how many times faster the
// first of each pair ran (1.0 or more: at most the baseline's time), and for the waits how
// many times less processor time the sleeping wait took.
#include "corelib/job/job-default-params.h"
#include "corelib/job/job-descriptor.h"
#include "corelib/job/job-host-wait.h"
#include "corelib/job/job-system.h"
#include "corelib/job/job-time-critical.h"
#include "corelib/job/job-typed.h"
#include "corelib/memory/alloc-stack.h"

#include "bench/bench-main.h"

#include <benchmark/benchmark.h>
#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <new>
#include <thread>
#include <vector>

namespace
{
using oxjob::CounterHandle;
using oxjob::JobDecl;

// --- The job system, started once for the whole run ---------------------------------------------

oxjob::InitParams s_params;

void StartJobSystem()
{
    if (!Memory::GetThreadAllocStack())
        Memory::InitializeThreadAllocStack();
    oxjob::FillDefaultInitParams(&s_params);
    s_params.m_pMemoryBuffer = ::operator new(s_params.m_memoryBufferSize, std::align_val_t(128));
    if (!oxjob::Initialize(&s_params).IsSuccess())
    {
        fprintf(stderr, "The job system did not start.\n");
        exit(1);
    }
    oxjob::SetPowerSaveEnabled(true);
    printf("Job system: %llu regular workers, %llu-byte block\n",
           static_cast<unsigned long long>(s_params.m_numWorkerThreads),
           static_cast<unsigned long long>(s_params.m_memoryBufferSize));
}

void StopJobSystem()
{
    oxjob::Shutdown();
    ::operator delete(s_params.m_pMemoryBuffer, std::align_val_t(128));
}

// Power save for one benchmark, back on (workers asleep) when it ends.
class PowerSaveScope
{
public:
    explicit PowerSaveScope(bool enabled) { oxjob::SetPowerSaveEnabled(enabled); }
    ~PowerSaveScope() { oxjob::SetPowerSaveEnabled(true); }
    PowerSaveScope(const PowerSaveScope&) = delete;
    PowerSaveScope& operator=(const PowerSaveScope&) = delete;
};

// --- The loop ------------------------------------------------------------------------------------

constexpr U64 kNumFloats = 1000000;
constexpr U64 kGrain = 16384;
constexpr U64 kNumChunks = (kNumFloats + kGrain - 1) / kGrain;
// Converges to b / (1 - a) = 2: no overflow and no denormals however often it runs.
constexpr float kA = 0.5f;
constexpr float kB = 1.0f;

std::vector<float> s_data(kNumFloats, 1.0f);

inline void ScaleAndAdd(float* pData, U64 begin, U64 end)
{
    for (U64 i = begin; i < end; ++i)
        pData[i] = pData[i] * kA + kB;
}

void BM_TypedParallelFor(benchmark::State& state)
{
    PowerSaveScope powerSave(state.range(0) != 0);
    float* pData = s_data.data();
    for (auto _ : state)
    {
        oxjob::ParallelFor(0, kNumFloats, kGrain,
                           [pData](U64 begin, U64 end) { ScaleAndAdd(pData, begin, end); });
        benchmark::ClobberMemory();
    }
}

// The raw form: what a host writes without the typed layer.
float* g_pRawData = nullptr;

void RawChunkJob(U64 chunk)
{
    const U64 begin = chunk * kGrain;
    ScaleAndAdd(g_pRawData, begin, begin + kGrain < kNumFloats ? begin + kGrain : kNumFloats);
}
OX_JOB_DESCRIPTOR(RawChunkJob);

alignas(64) JobDecl s_rawDecls[kNumChunks];

// Submits count jobs of pStartFunc, each with its index as its argument, in one call
// (kDisallowSleep on the first when there are more than 32), and waits for them.
void RunRawJobs(oxjob::JobEntryFunc pStartFunc, U64 count)
{
    for (U64 i = 0; i < count; ++i)
    {
        s_rawDecls[i].Reset();
        s_rawDecls[i].m_pStartFunc = pStartFunc;
        s_rawDecls[i].m_startArg = i;
    }
    if (count > oxjob::kMaxSleepingJobsPerSubmit)
        s_rawDecls[0].m_flags = oxjob::kDisallowSleep;
    CounterHandle done;
    oxjob::RunJobs(s_rawDecls, count, &done, oxjob::Priority{3}, ~0ull, oxjob::kWaitForZeroOnly,
                   OX_JOB_SOURCE_LOCATION);
    oxjob::HostWaitForCounter(done, 0);
    oxjob::FreeCounter(done);
}

void BM_RawJobDeclParallelFor(benchmark::State& state)
{
    PowerSaveScope powerSave(state.range(0) != 0);
    g_pRawData = s_data.data();
    for (auto _ : state)
    {
        RunRawJobs(RawChunkJob, kNumChunks);
        benchmark::ClobberMemory();
    }
}

// The raw form at its best: one job per worker over a contiguous part of the range.
U64 g_rawParts = 1;

void RawPartJob(U64 part)
{
    ScaleAndAdd(g_pRawData, kNumFloats * part / g_rawParts, kNumFloats * (part + 1) / g_rawParts);
}
OX_JOB_DESCRIPTOR(RawPartJob);

void BM_RawJobDeclPerWorker(benchmark::State& state)
{
    PowerSaveScope powerSave(state.range(0) != 0);
    g_pRawData = s_data.data();
    g_rawParts = oxjob::GetNumWorkerThreads();
    for (auto _ : state)
    {
        RunRawJobs(RawPartJob, g_rawParts);
        benchmark::ClobberMemory();
    }
}

void BM_TbbParallelFor(benchmark::State& state)
{
    float* pData = s_data.data();
    for (auto _ : state)
    {
        tbb::parallel_for(tbb::blocked_range<U64>(0, kNumFloats, kGrain),
                          [pData](const tbb::blocked_range<U64>& range)
                          { ScaleAndAdd(pData, range.begin(), range.end()); });
        benchmark::ClobberMemory();
    }
}

void BM_SerialLoop(benchmark::State& state)
{
    for (auto _ : state)
    {
        ScaleAndAdd(s_data.data(), 0, kNumFloats);
        benchmark::ClobberMemory();
    }
}

BENCHMARK(BM_TypedParallelFor)->ArgName("powersave")->Arg(1)->Arg(0)->UseRealTime();
BENCHMARK(BM_RawJobDeclParallelFor)->ArgName("powersave")->Arg(1)->Arg(0)->UseRealTime();
BENCHMARK(BM_RawJobDeclPerWorker)->ArgName("powersave")->Arg(1)->Arg(0)->UseRealTime();
BENCHMARK(BM_TbbParallelFor)->UseRealTime();
BENCHMARK(BM_SerialLoop)->UseRealTime();

// --- The host's wait -----------------------------------------------------------------------------

constexpr auto kWaitTime = std::chrono::milliseconds(200);

// Keeps its worker for the wait time without using a processor, then ends.
void SleepingJob(U64)
{
    std::this_thread::sleep_for(kWaitTime);
}
OX_JOB_DESCRIPTOR(SleepingJob);

double ThreadCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void RunWaits(benchmark::State& state, void (*wait)(CounterHandle counter, I64 value, U32 compare))
{
    double cpuSeconds = 0.0;
    double wallSeconds = 0.0;
    for (auto _ : state)
    {
        alignas(64) JobDecl decl;
        decl.m_pStartFunc = SleepingJob;
        CounterHandle done;
        const auto wallStart = std::chrono::steady_clock::now();
        const double cpuStart = ThreadCpuSeconds();
        oxjob::RunJobs(&decl, 1, &done, oxjob::Priority{3}, ~0ull, oxjob::kWaitForZeroOnly,
                       OX_JOB_SOURCE_LOCATION);
        wait(done, 0, oxjob::kCompareEqual);
        cpuSeconds += ThreadCpuSeconds() - cpuStart;
        wallSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
        oxjob::FreeCounter(done);
    }
    state.counters["core_share"] = wallSeconds > 0.0 ? cpuSeconds / wallSeconds : 0.0;
}

void BM_HostWaitSleeping(benchmark::State& state)
{
    RunWaits(state, oxjob::HostWaitForCounter);
}

void BM_HostWaitYielding(benchmark::State& state)
{
    RunWaits(state, oxjob::WaitForCounter);
}

// The processor time of the waiting thread is the figure: five waits of 200 ms each.
BENCHMARK(BM_HostWaitSleeping)->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HostWaitYielding)->Iterations(5)->Unit(benchmark::kMillisecond);
} // namespace

BenchProgram DescribeBenchProgram()
{
    return BenchProgram{
        .m_title = "Typed layer and host wait, times faster (loops: wall-clock; waits: the waiting thread's "
                   "processor time), same run:",
        .m_pairs =
            {{"BM_TypedParallelFor/powersave:1/real_time", "BM_TbbParallelFor/real_time"},
             {"BM_TypedParallelFor/powersave:1/real_time", "BM_RawJobDeclParallelFor/powersave:1/real_time"},
             {"BM_TypedParallelFor/powersave:1/real_time", "BM_RawJobDeclPerWorker/powersave:1/real_time"},
             {"BM_TypedParallelFor/powersave:0/real_time", "BM_TbbParallelFor/real_time"},
             {"BM_TypedParallelFor/powersave:0/real_time", "BM_RawJobDeclParallelFor/powersave:0/real_time"},
             {"BM_TypedParallelFor/powersave:0/real_time", "BM_RawJobDeclPerWorker/powersave:0/real_time"},
             {"BM_TypedParallelFor/powersave:1/real_time", "BM_SerialLoop/real_time"},
             {"BM_HostWaitSleeping/iterations:5", "BM_HostWaitYielding/iterations:5"}},
        .m_pSetUp = StartJobSystem,
        .m_pTearDown = StopJobSystem,
    };
}
