// The typed layer and the sleeping host wait, against their baselines in the same run.
//
//   Loop      x = x * a + b over 1,000,000 floats in chunks of 16,384 (62 chunks), from
//             the host thread: with oxjob::ParallelFor; with the same chunks written as raw
//             JobDecls (one job per chunk, kDisallowSleep on the first, globals for the
//             data, a counter, the host waiting in HostWaitForCounter); with raw JobDecls
//             at their best (one job per worker over a contiguous part, the host waiting);
//             with oneTBB's parallel_for over a blocked_range of the same grain; and on
//             one thread.
//   Frame     the newcomer's frame of the README: the loop above; three systems at once,
//             one with a nested loop over 200,000 floats, the others a serial pass over
//             100,000 and 50,000; a two-stage chain (a loop, then a sum that starts once
//             it is done). With the typed layer (ParallelFor, RunAndWait, StartParallelFor
//             and Start) and with oneTBB (parallel_for, parallel_invoke, parallel_for then
//             the sum).
//   HostWait  a host thread waits 200 ms for a counter that a job counts down when it
//             ends: with HostWaitForCounter (spin, then asleep) and with WaitForCounter
//             (yielding in a loop). The figure is the waiting thread's processor time;
//             "core_share" divides it by the wall-clock time of the wait.
//
// The job system is started with ScopedJobSystem's defaults (a regular worker per logical
// processor but one, power save on); OX_BENCH_WORKERS, OX_BENCH_POWERSAVE (0 or 1) and
// OX_BENCH_POLICY (local: kWorkerLocalLists) set others for a comparison. Benchmarks
// whose argument says "powersave:0" switch it off. oneTBB runs in its default arena (as
// many threads as logical processors, the calling thread included).
// Loop figures are wall-clock times; the table at the end gives how many times faster the
// first of each pair ran (1.0 or more: at most the baseline's time), and for the waits how
// many times less processor time the sleeping wait took.
#include "corelib/job/job-descriptor.h"
#include "corelib/job/job-host-wait.h"
#include "corelib/job/job-host.h"
#include "corelib/job/job-system.h"
#include "corelib/job/job-time-critical.h"
#include "corelib/job/job-typed.h"

#include "bench/bench-main.h"

#include <benchmark/benchmark.h>
#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/parallel_invoke.h>

#include <atomic>
#include <cstdlib>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <thread>
#include <vector>

namespace
{
using oxjob::CounterHandle;
using oxjob::JobDecl;

// --- The job system, started once for the whole run ---------------------------------------------

oxjob::ScopedJobSystem* s_pJobSystem = nullptr;
bool s_powerSave = true;

void StartJobSystem()
{
    oxjob::JobHostParams hostParams;
    if (const char* workers = getenv("OX_BENCH_WORKERS"))
        hostParams.m_numWorkerThreads = strtoull(workers, nullptr, 10);
    if (const char* powerSave = getenv("OX_BENCH_POWERSAVE"))
        hostParams.m_powerSave = atoi(powerSave) != 0;
    if (const char* policy = getenv("OX_BENCH_POLICY"))
        if (strcmp(policy, "local") == 0)
            hostParams.m_schedulingPolicy = oxjob::SchedulingPolicy::kWorkerLocalLists;
    s_powerSave = hostParams.m_powerSave;
    s_pJobSystem = new oxjob::ScopedJobSystem(hostParams);
    if (!s_pJobSystem->IsRunning())
    {
        fprintf(stderr, "The job system did not start.\n");
        exit(1);
    }
    printf("Job system: %llu regular workers, power save %s, %s, %llu-byte block\n",
           static_cast<unsigned long long>(s_pJobSystem->GetInitParams().m_numWorkerThreads),
           s_powerSave ? "on" : "off", oxjob::GetSchedulingPolicyName(oxjob::GetSchedulingPolicy()),
           static_cast<unsigned long long>(s_pJobSystem->GetInitParams().m_memoryBufferSize));
}

void StopJobSystem()
{
    delete s_pJobSystem;
}

// Power save for one benchmark, back to the run's setting when it ends.
class PowerSaveScope
{
public:
    explicit PowerSaveScope(bool enabled) { oxjob::SetPowerSaveEnabled(enabled); }
    ~PowerSaveScope() { oxjob::SetPowerSaveEnabled(s_powerSave); }
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

// --- The newcomer's frame ---------------------------------------------------------------------

constexpr U64 kPhysicsFloats = 200000;
constexpr U64 kAiFloats = 100000;
constexpr U64 kAudioFloats = 50000;
constexpr U64 kSumFloats = 16384;

std::vector<float> s_physics(kPhysicsFloats, 1.0f);
std::vector<float> s_ai(kAiFloats, 1.0f);
std::vector<float> s_audio(kAudioFloats, 1.0f);
float s_frameSum = 0.0f;

float Sum(const float* pData, U64 count)
{
    float sum = 0.0f;
    for (U64 i = 0; i < count; ++i)
        sum += pData[i];
    return sum;
}

void BM_TypedFrame(benchmark::State& state)
{
    float* p = s_data.data();
    float* pPhysics = s_physics.data();
    for (auto _ : state)
    {
        oxjob::ParallelFor(0, kNumFloats, kGrain, [p](U64 begin, U64 end) { ScaleAndAdd(p, begin, end); });
        oxjob::RunAndWait(
            [pPhysics]
            {
                oxjob::ParallelFor(0, kPhysicsFloats, kGrain,
                                   [pPhysics](U64 begin, U64 end) { ScaleAndAdd(pPhysics, begin, end); });
            },
            [] { ScaleAndAdd(s_ai.data(), 0, kAiFloats); },
            [] { ScaleAndAdd(s_audio.data(), 0, kAudioFloats); });
        auto stage1 = oxjob::StartParallelFor(0, kNumFloats, kGrain,
                                              [p](U64 begin, U64 end) { ScaleAndAdd(p, begin, end); });
        oxjob::Start(stage1, [p] { s_frameSum = Sum(p, kSumFloats); }).Wait();
        benchmark::ClobberMemory();
    }
}

void BM_TbbFrame(benchmark::State& state)
{
    float* p = s_data.data();
    float* pPhysics = s_physics.data();
    for (auto _ : state)
    {
        tbb::parallel_for(tbb::blocked_range<U64>(0, kNumFloats, kGrain),
                          [p](const tbb::blocked_range<U64>& range)
                          { ScaleAndAdd(p, range.begin(), range.end()); });
        tbb::parallel_invoke(
            [pPhysics]
            {
                tbb::parallel_for(tbb::blocked_range<U64>(0, kPhysicsFloats, kGrain),
                                  [pPhysics](const tbb::blocked_range<U64>& range)
                                  { ScaleAndAdd(pPhysics, range.begin(), range.end()); });
            },
            [] { ScaleAndAdd(s_ai.data(), 0, kAiFloats); },
            [] { ScaleAndAdd(s_audio.data(), 0, kAudioFloats); });
        tbb::parallel_for(tbb::blocked_range<U64>(0, kNumFloats, kGrain),
                          [p](const tbb::blocked_range<U64>& range)
                          { ScaleAndAdd(p, range.begin(), range.end()); });
        s_frameSum = Sum(p, kSumFloats);
        benchmark::ClobberMemory();
    }
}

BENCHMARK(BM_TypedFrame)->UseRealTime();
BENCHMARK(BM_TbbFrame)->UseRealTime();

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

void RunWaits(benchmark::State& state, void (*wait)(CounterHandle counter, I64 value))
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
        wait(done, 0);
        cpuSeconds += ThreadCpuSeconds() - cpuStart;
        wallSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
        oxjob::FreeCounter(done);
    }
    state.counters["core_share"] = wallSeconds > 0.0 ? cpuSeconds / wallSeconds : 0.0;
}

void BM_HostWaitSleeping(benchmark::State& state)
{
    RunWaits(state, [](CounterHandle counter, I64 value) { oxjob::HostWaitForCounter(counter, value); });
}

void BM_HostWaitYielding(benchmark::State& state)
{
    RunWaits(state, [](CounterHandle counter, I64 value) { oxjob::WaitForCounter(counter, value); });
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
            {{"BM_TypedFrame/real_time", "BM_TbbFrame/real_time"},
             {"BM_TypedParallelFor/powersave:1/real_time", "BM_TbbParallelFor/real_time"},
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
