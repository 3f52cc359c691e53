// The job system's services, each against a baseline measured in the same run.
//
//   TimeCriticalLatency  every regular worker is kept busy with 20 ms jobs (each resubmits
//              itself, pinned to its worker); the host submits one job at priority 0 with
//              RunJob, sleeps until it has run and takes the time from just before RunJob to
//              the job's first instruction. An emergency worker may take such a job only once
//              it has been ready for m_emergencyWorkerDelay (1 ms, the default), so the goals
//              are relative to that delay: median at most 1.2x, 99th percentile at most 2x.
//              Beside it the same run without emergency workers, where the job waits for a
//              regular worker to finish its long job, and the floor (TimeCriticalLatencyFloor):
//              two plain threads at the emergency workers' priority, woken the same way,
//              starting the work 1 ms after the request on the same busy machine, so that
//              what the job system adds can be told from what the machine costs.
//              Each iteration is a batch of submissions, so the number of samples follows
//              --benchmark_min_time: the smoke run's 0.001 s takes one batch;
//              --benchmark_min_time=4 takes a few thousand samples.
//              Counters: median_ms, p99_ms, x_delay (median / delay), p99_x_delay,
//              after_delay (share of the work that waited for the delay, that is ran on an
//              emergency worker or a floor thread), samples.
//   IdleCost   CPU time of the whole process per second of idling, with the default worker
//              set (13 regular and 2 emergency workers) started and nothing submitted, power
//              save on and off; the baseline is the same idling without a job system, and the
//              regular workers alone show what the emergency workers' share is.
//              Counter: cpu_ms_per_s.
//   JobLocalRead  reading a fixed job-local entry by index inside a job (TryGetJobLocalStorage),
//              and through the running-job seam the memory system uses, against reading a
//              thread_local variable in the same job: directly, and through a non-inlined
//              accessor (what code that may resume on another thread must use, since the
//              compiler could keep the first thread's address across a fiber switch). The
//              goal is to be within 2x of a thread_local read (0.5 or more in the table).
//              The fiber-local storage lookup that every job-local access starts with is
//              measured alone beside them, to show where the time goes.
//
// The table at the end gives the read ratios; the latency and idle figures, against their
// goals and baselines, are printed after it.
#include "corelib/job/job-local-storage.h"
#include "corelib/job/job-system.h"
#include "corelib/job/job-time-critical.h"
#include "corelib/job/job-types.h"
#include "corelib/memory/alloc-stack.h"
#include "corelib/system/cpu-info-platform.h"
#include "corelib/system/platform/cpu-pause.h"
#include "corelib/system/platform/event.h"
#include "corelib/system/platform/fiber.h"
#include "corelib/system/platform/platform.h"
#include "corelib/system/platform/thread.h"
#include "corelib/system/running-job.h"
#include "corelib/system/timing.h"

#include "bench/bench-main.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace
{
using oxjob::Priority;

// --- A job system for the length of one benchmark run ------------------------------------------

class JobSystemRun
{
public:
    explicit JobSystemRun(oxjob::InitParams params)
    {
        if (!Memory::GetThreadAllocStack())
            Memory::InitializeThreadAllocStack();
        params.m_numCounters = 256;
        params.m_numJobArrays = 256;
        params.m_maxSmallJobFibers = 64;
        params.m_maxLargeJobFibers = 4;
        m_size = (oxjob::GetRequiredMemoryBufferSize(params) + (1u << 20) + 127) & ~127ull;
        m_pBuffer = ::operator new(m_size, std::align_val_t(128));
        params.m_pMemoryBuffer = m_pBuffer;
        params.m_memoryBufferSize = m_size;
        if (!oxjob::Initialize(&params).IsSuccess())
        {
            fprintf(stderr, "The job system did not start.\n");
            exit(1);
        }
    }
    ~JobSystemRun()
    {
        oxjob::Shutdown();
        ::operator delete(m_pBuffer, std::align_val_t(128));
    }
    JobSystemRun(const JobSystemRun&) = delete;
    JobSystemRun& operator=(const JobSystemRun&) = delete;

private:
    void* m_pBuffer = nullptr;
    U64 m_size = 0;
};

double TicksToMs(U64 ticks)
{
    return static_cast<double>(ticks) * 1000.0 / static_cast<double>(GetTimerFrequency());
}

// --- 1. Time-critical latency ------------------------------------------------------------------------

constexpr double kLongJobMs = 20.0;
// Submissions per iteration: a batch takes about 40 ms when the job starts after the
// delay, and about 200 ms when it waits for a long job to end.
constexpr U64 kProbesAfterDelay = 40;
constexpr U64 kProbesBehindLongJobs = 10;

// The emergency workers' delay in milliseconds (m_emergencyWorkerDelay is in units of
// 1/(300 * 2^32) s).
double EmergencyDelayMs(const oxjob::InitParams& params)
{
    return static_cast<double>(params.m_emergencyWorkerDelay) * 1000.0 / (300.0 * 4294967296.0);
}

U64 MsToTicks(double ms)
{
    return static_cast<U64>(ms / 1000.0 * static_cast<double>(GetTimerFrequency()));
}

std::atomic<bool> s_stopLongJobs{false};
std::atomic<U64> s_liveLongJobChains{0};
std::atomic<U64> s_longJobsStarted{0};
U64 s_longJobTicks = 0;

// Keeps its worker busy for 20 ms, then hands it the next long job.
void LongJob(U64 workerIndex)
{
    s_longJobsStarted.fetch_add(1, std::memory_order_relaxed);
    const U64 end = GetTimeNow() + s_longJobTicks;
    while (GetTimeNow() < end && !s_stopLongJobs.load(std::memory_order_relaxed))
        oxsys::CpuPause();
    if (s_stopLongJobs.load(std::memory_order_acquire))
        s_liveLongJobChains.fetch_sub(1, std::memory_order_release);
    else
        oxjob::RunJob(LongJob, workerIndex, 0, Priority{8}, 1ull << workerIndex);
}

// Keeps every regular worker busy with a chain of long jobs, pinned to it, for its scope.
class BusyRegularWorkers
{
public:
    explicit BusyRegularWorkers(U64 numRegular)
    {
        s_longJobTicks = MsToTicks(kLongJobMs);
        s_stopLongJobs = false;
        s_longJobsStarted = 0;
        s_liveLongJobChains = numRegular;
        for (U64 worker = 0; worker < numRegular; ++worker)
            oxjob::RunJob(LongJob, worker, 0, Priority{8}, 1ull << worker);
        while (s_longJobsStarted.load() < numRegular)
            std::this_thread::yield();
    }
    ~BusyRegularWorkers()
    {
        s_stopLongJobs = true;
        while (s_liveLongJobChains.load(std::memory_order_acquire) != 0)
            std::this_thread::yield();
    }
    BusyRegularWorkers(const BusyRegularWorkers&) = delete;
    BusyRegularWorkers& operator=(const BusyRegularWorkers&) = delete;
};

// One submission: returns the latency in ticks and whether the work ran where the delay
// applies (an emergency worker, or a stand-in for one).
struct Sample
{
    U64 m_latency;
    bool m_afterDelay;
};

struct LatencyResult
{
    std::string m_label;
    U64 m_numRegular = 0;
    U64 m_samples = 0;
    double m_medianMs = 0;
    double m_p99Ms = 0;
    double m_delayMs = 0;
    double m_afterDelayShare = 0;
    bool m_goalsApply = false;
};
std::vector<LatencyResult> s_latencyResults;

// Takes probesPerIteration samples per iteration and reports their median and 99th
// percentile. After a sample whose work a regular worker ran between two long jobs, it
// pauses for a random time: submitted at once, the next one would find that worker at the
// same boundary again, and the pause lets it fall anywhere within the long jobs.
template <typename SampleFn>
void MeasureLatency(benchmark::State& state, LatencyResult result, U64 probesPerIteration,
                    SampleFn takeSample)
{
    std::vector<U64> latencies;
    U64 afterDelay = 0;
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> pauseUs(0, static_cast<int>(kLongJobMs * 1000.0));
    for (auto _ : state)
    {
        for (U64 i = 0; i < probesPerIteration; ++i)
        {
            const Sample sample = takeSample();
            latencies.push_back(sample.m_latency);
            if (sample.m_afterDelay)
                ++afterDelay;
            else
                std::this_thread::sleep_for(std::chrono::microseconds(pauseUs(random)));
        }
    }

    std::sort(latencies.begin(), latencies.end());
    const U64 n = latencies.size();
    result.m_samples = n;
    if (n)
    {
        result.m_medianMs = TicksToMs(latencies[n / 2]);
        result.m_p99Ms = TicksToMs(latencies[std::min<U64>(n - 1, (n * 99 + 99) / 100 - 1)]);
        result.m_afterDelayShare = static_cast<double>(afterDelay) / static_cast<double>(n);
    }
    state.counters["median_ms"] = result.m_medianMs;
    state.counters["p99_ms"] = result.m_p99Ms;
    state.counters["x_delay"] = result.m_medianMs / result.m_delayMs;
    state.counters["p99_x_delay"] = result.m_p99Ms / result.m_delayMs;
    state.counters["after_delay"] = result.m_afterDelayShare;
    state.counters["samples"] = static_cast<double>(n);

    // Google Benchmark runs the function again with more iterations until the run is long
    // enough: the last run's figures are the ones to report.
    auto it = std::find_if(s_latencyResults.begin(), s_latencyResults.end(),
                           [&result](const LatencyResult& r) { return r.m_label == result.m_label; });
    if (it != s_latencyResults.end())
        *it = result;
    else
        s_latencyResults.push_back(result);
}

oxsys::Event s_probeRan;
std::atomic<U64> s_probeStart{0};
std::atomic<bool> s_probeOnEmergency{false};

void LatencyProbe(U64)
{
    s_probeStart.store(GetTimeNow(), std::memory_order_relaxed);
    s_probeOnEmergency.store(oxjob::IsEmergencyWorkerThread(oxjob::GetCurrentWorkerThreadIndex()),
                             std::memory_order_relaxed);
    oxsys::SetEvent(s_probeRan);
}

std::string LatencyLabel(const char* kind, U64 numRegular)
{
    char label[96];
    snprintf(label, sizeof(label), "%llu regular, %s", static_cast<unsigned long long>(numRegular), kind);
    return label;
}

void BM_TimeCriticalLatency(benchmark::State& state)
{
    const U64 numRegular = static_cast<U64>(state.range(0));
    const U64 numEmergency = static_cast<U64>(state.range(1));
    oxjob::InitParams params;
    params.m_numWorkerThreads = numRegular;
    params.m_numEmergencyWorkerThreads = numEmergency;
    JobSystemRun run(params);
    if (!oxsys::CreateEvent(s_probeRan))
    {
        state.SkipWithError("The probe event was not created.");
        return;
    }
    {
        BusyRegularWorkers busy(numRegular);
        LatencyResult result;
        result.m_label = LatencyLabel(numEmergency == 2 ? "2 emergency" : "no emergency", numRegular);
        result.m_numRegular = numRegular;
        result.m_delayMs = EmergencyDelayMs(params);
        result.m_goalsApply = numEmergency != 0;
        MeasureLatency(state, result, numEmergency ? kProbesAfterDelay : kProbesBehindLongJobs,
                       []
                       {
                           const U64 submitted = GetTimeNow();
                           oxjob::RunJob(LatencyProbe, 0, 0, Priority{0});
                           oxsys::WaitForEvent(s_probeRan, oxsys::kInfinite);
                           oxsys::ResetEvent(s_probeRan);
                           return Sample{s_probeStart.load(std::memory_order_relaxed) - submitted,
                                         s_probeOnEmergency.load(std::memory_order_relaxed)};
                       });
    }
    oxsys::DestroyEvent(s_probeRan);
}
// One regular worker leaves a core to the emergency workers; two keep both cores of a
// two-core machine busy, so an emergency worker has to take one from a regular worker.
BENCHMARK(BM_TimeCriticalLatency)
    ->ArgNames({"regular", "emergency"})
    ->Args({1, 2})
    ->Args({1, 0})
    ->Args({2, 2})
    ->Args({2, 0})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// The floor: what the machine gives any thread that must start work 1 ms after a request
// while the regular workers are busy. Two plain threads at the emergency workers' thread
// priority stand in for them: a pulse wakes them (as a time-critical submission wakes the
// emergency workers), each spins until the delay has passed since the request, and the
// first one there takes the sample. The job system's emergency path is what the measured
// runs add to this.
struct FloorThreads
{
    std::atomic<U64> m_generation{0};
    std::atomic<U64> m_deadline{0};
    std::atomic<U64> m_claimed{0};
    std::atomic<U64> m_start{0};
    std::atomic<bool> m_stop{false};
    oxsys::Event m_request;
    oxsys::Event m_taken;
};
FloorThreads s_floor;

U32 FloorThread(void*)
{
    U64 seen = 0;
    while (!s_floor.m_stop.load(std::memory_order_acquire))
    {
        const U64 generation = s_floor.m_generation.load(std::memory_order_acquire);
        if (generation == seen)
        {
            oxsys::WaitForEvent(s_floor.m_request, 1);
            continue;
        }
        seen = generation;
        const U64 deadline = s_floor.m_deadline.load(std::memory_order_relaxed);
        while (GetTimeNow() < deadline)
            oxsys::CpuPause();
        U64 expected = generation - 1;
        if (s_floor.m_claimed.compare_exchange_strong(expected, generation))
        {
            s_floor.m_start.store(GetTimeNow(), std::memory_order_relaxed);
            oxsys::SetEvent(s_floor.m_taken);
        }
    }
    return 0;
}

void BM_TimeCriticalLatencyFloor(benchmark::State& state)
{
    const U64 numRegular = static_cast<U64>(state.range(0));
    oxjob::InitParams params;
    params.m_numWorkerThreads = numRegular;
    params.m_numEmergencyWorkerThreads = 0;
    JobSystemRun run(params);
    if (!oxsys::CreateEvent(s_floor.m_request) || !oxsys::CreateEvent(s_floor.m_taken))
    {
        state.SkipWithError("The floor threads' events were not created.");
        return;
    }
    s_floor.m_generation = 0;
    s_floor.m_claimed = 0;
    s_floor.m_stop = false;
    oxsys::ThreadDesc desc;
    desc.m_priority = oxsys::kThreadPriorityTimeCritical;
    desc.SetName("FloorThread");
    oxsys::Thread threads[2];
    for (oxsys::Thread& thread : threads)
        oxsys::CreateThread(thread, desc, FloorThread, nullptr);
    {
        BusyRegularWorkers busy(numRegular);
        LatencyResult result;
        result.m_label = LatencyLabel("2 plain threads (floor)", numRegular);
        result.m_numRegular = numRegular;
        result.m_delayMs = EmergencyDelayMs(params);
        const U64 delayTicks = MsToTicks(result.m_delayMs);
        MeasureLatency(state, result, kProbesAfterDelay,
                       [delayTicks]
                       {
                           const U64 submitted = GetTimeNow();
                           s_floor.m_deadline.store(submitted + delayTicks, std::memory_order_relaxed);
                           s_floor.m_generation.fetch_add(1, std::memory_order_release);
                           oxsys::PulseEvent(s_floor.m_request);
                           oxsys::WaitForEvent(s_floor.m_taken, oxsys::kInfinite);
                           oxsys::ResetEvent(s_floor.m_taken);
                           return Sample{s_floor.m_start.load(std::memory_order_relaxed) - submitted, true};
                       });
    }
    s_floor.m_stop = true;
    for (oxsys::Thread& thread : threads)
    {
        thread.Join();
        oxsys::ReleaseThreadHandle(thread);
    }
    oxsys::DestroyEvent(s_floor.m_request);
    oxsys::DestroyEvent(s_floor.m_taken);
}
BENCHMARK(BM_TimeCriticalLatencyFloor)
    ->ArgName("regular")
    ->Arg(1)
    ->Arg(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// --- 2. Idle cost ----------------------------------------------------------------------------------

constexpr auto kIdleSlice = std::chrono::milliseconds(100);

struct IdleResult
{
    bool m_measured = false;
    double m_cpuMsPerSecond = 0;
};
IdleResult s_idlePowerSaveOn;
IdleResult s_idlePowerSaveOff;
IdleResult s_idlePowerSaveOnNoEmergency;
IdleResult s_idleWithoutJobSystem;

// Process CPU time (all threads) per second of wall-clock time while the host sleeps.
void MeasureIdling(benchmark::State& state, IdleResult& result)
{
    U64 cpuTicks = 0; // 100-nanosecond units
    double wallSeconds = 0;
    for (auto _ : state)
    {
        const U64 cpuBefore = CpuReadProcessTimes().m_busyTime;
        const auto wallBefore = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(kIdleSlice);
        cpuTicks += CpuReadProcessTimes().m_busyTime - cpuBefore;
        wallSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
    }
    result.m_measured = true;
    result.m_cpuMsPerSecond = static_cast<double>(cpuTicks) / 10000.0 / wallSeconds;
    state.counters["cpu_ms_per_s"] = result.m_cpuMsPerSecond;
}

void BM_IdleCost(benchmark::State& state)
{
    const bool powerSave = state.range(0) != 0;
    oxjob::InitParams params; // 13 regular and 2 emergency workers
    params.m_numEmergencyWorkerThreads = static_cast<U64>(state.range(1));
    JobSystemRun run(params);
    oxjob::SetPowerSaveEnabled(powerSave);
    // Let every worker reach its idle state (sleeping, with power save, after 1000 idle turns).
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    IdleResult& result = !powerSave                           ? s_idlePowerSaveOff
                         : params.m_numEmergencyWorkerThreads ? s_idlePowerSaveOn
                                                              : s_idlePowerSaveOnNoEmergency;
    MeasureIdling(state, result);
}
// Without emergency workers, to show what their 0.5 ms wait costs beside the regular
// workers' sleep.
BENCHMARK(BM_IdleCost)
    ->ArgNames({"powersave", "emergency"})
    ->Args({1, 2})
    ->Args({0, 2})
    ->Args({1, 0})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void BM_IdleCostWithoutJobSystem(benchmark::State& state)
{
    MeasureIdling(state, s_idleWithoutJobSystem);
}
BENCHMARK(BM_IdleCostWithoutJobSystem)->UseRealTime()->Unit(benchmark::kMillisecond);

// --- 3. Job-local reads ---------------------------------------------------------------------------

constexpr I32 kReadIndex = 10;
constexpr U64 kReadId = 0x0123456789ABCDEFull;
thread_local U64 t_readValue = 42;

OX_NOINLINE U64 ReadThreadLocalNoInline()
{
    return t_readValue;
}

// Makes the compiler produce the value in a register, with a memory clobber so that the
// next iteration reads it again. (Google Benchmark's DoNotOptimize may name the variable's
// own memory as the operand and so read nothing.)
OX_FORCEINLINE void Consume(U64 value)
{
    asm volatile("" : : "r"(value) : "memory");
}

void JobLocalByIndexLoop(benchmark::State& state)
{
    oxjob::SetJobLocalStorage(kReadIndex, kReadId, 42);
    for (auto _ : state)
    {
        U64 value = 0;
        oxjob::TryGetJobLocalStorage(kReadIndex, &value);
        Consume(value);
    }
}

void JobLocalThroughSeamLoop(benchmark::State& state)
{
    oxjob::SetJobLocalStorage(kReadIndex, kReadId, 42);
    for (auto _ : state)
    {
        U64 value = 0;
        oxsys::TryGetRunningJobLocalStorage(kReadIndex, &value);
        Consume(value);
    }
}

// The fiber-local storage lookup that every job-local access starts with, alone.
void FiberLocalLoop(benchmark::State& state)
{
    const U32 slot = oxsys::AllocFiberLocalStorage(nullptr);
    if (slot == oxsys::kFlsOutOfIndexes)
    {
        state.SkipWithError("No fiber-local storage slot is free.");
        return;
    }
    static U64 s_value = 42;
    oxsys::SetFiberLocalStorage(slot, &s_value);
    for (auto _ : state)
        Consume(reinterpret_cast<UPtr>(oxsys::GetFiberLocalStorage(slot)));
    oxsys::FreeFiberLocalStorage(slot);
}

void ThreadLocalLoop(benchmark::State& state)
{
    // Its address escapes: the compiler must read the variable again in every iteration.
    U64* pEscaped = &t_readValue;
    benchmark::DoNotOptimize(pEscaped);
    for (auto _ : state)
    {
        Consume(t_readValue);
    }
}

void ThreadLocalNoInlineLoop(benchmark::State& state)
{
    U64* pEscaped = &t_readValue;
    benchmark::DoNotOptimize(pEscaped);
    for (auto _ : state)
    {
        Consume(ReadThreadLocalNoInline());
    }
}

benchmark::State* s_pLoopState = nullptr;
void (*s_pLoop)(benchmark::State&) = nullptr;

void LoopJob(U64)
{
    s_pLoop(*s_pLoopState);
}

// Runs the benchmark's timing loop inside a job on the one worker. The loop starts and
// stops its timers there, so the CPU time measured is that worker thread's.
void RunLoopInAJob(benchmark::State& state, void (*pLoop)(benchmark::State&))
{
    oxjob::InitParams params;
    params.m_numWorkerThreads = 1;
    params.m_numEmergencyWorkerThreads = 0;
    JobSystemRun run(params);
    s_pLoopState = &state;
    s_pLoop = pLoop;
    oxjob::RunJobAndWait(LoopJob, 0, 0, OX_JOB_SOURCE_LOCATION);
}

void BM_JobLocalReadByIndex(benchmark::State& state)
{
    RunLoopInAJob(state, JobLocalByIndexLoop);
}
BENCHMARK(BM_JobLocalReadByIndex);

void BM_JobLocalReadThroughSeam(benchmark::State& state)
{
    RunLoopInAJob(state, JobLocalThroughSeamLoop);
}
BENCHMARK(BM_JobLocalReadThroughSeam);

void BM_FiberLocalStorageRead(benchmark::State& state)
{
    RunLoopInAJob(state, FiberLocalLoop);
}
BENCHMARK(BM_FiberLocalStorageRead);

void BM_ThreadLocalRead(benchmark::State& state)
{
    RunLoopInAJob(state, ThreadLocalLoop);
}
BENCHMARK(BM_ThreadLocalRead);

void BM_ThreadLocalReadNoInline(benchmark::State& state)
{
    RunLoopInAJob(state, ThreadLocalNoInlineLoop);
}
BENCHMARK(BM_ThreadLocalReadNoInline);

// --- The report ------------------------------------------------------------------------------------

const char* Verdict(bool met)
{
    return met ? "met" : "MISSED";
}

void PrintServiceFigures()
{
    if (!s_latencyResults.empty())
    {
        printf("\nTime-critical latency, from RunJob at priority 0 to the job's first instruction,\n");
        printf("every regular worker busy with %.0f ms jobs (emergency worker delay %.3f ms;\n", kLongJobMs,
               s_latencyResults.front().m_delayMs);
        printf("goals: median <= 1.2x the delay, 99th percentile <= 2x):\n");
        std::vector<LatencyResult> sorted = s_latencyResults;
        std::stable_sort(sorted.begin(), sorted.end(),
                         [](const LatencyResult& a, const LatencyResult& b)
                         { return a.m_numRegular < b.m_numRegular; });
        for (const LatencyResult& r : sorted)
        {
            printf("  %-36s median %7.3f ms (%5.2fx)  p99 %7.3f ms (%5.2fx)", r.m_label.c_str(), r.m_medianMs,
                   r.m_medianMs / r.m_delayMs, r.m_p99Ms, r.m_p99Ms / r.m_delayMs);
            printf("  %3.0f%% after the delay, %5llu samples", r.m_afterDelayShare * 100.0,
                   static_cast<unsigned long long>(r.m_samples));
            if (r.m_goalsApply)
                printf("  median goal %s, p99 goal %s", Verdict(r.m_medianMs <= 1.2 * r.m_delayMs),
                       Verdict(r.m_p99Ms <= 2.0 * r.m_delayMs));
            printf("\n");
        }
    }
    if (s_idlePowerSaveOn.m_measured || s_idlePowerSaveOff.m_measured)
    {
        printf("\nIdle cost, process CPU time per second of idling, 13 regular + 2 emergency workers:\n");
        if (s_idlePowerSaveOn.m_measured)
            printf("  power save on:   %8.2f ms/s\n", s_idlePowerSaveOn.m_cpuMsPerSecond);
        if (s_idlePowerSaveOff.m_measured)
            printf("  power save off:  %8.2f ms/s\n", s_idlePowerSaveOff.m_cpuMsPerSecond);
        if (s_idlePowerSaveOnNoEmergency.m_measured)
            printf("  power save on, 13 regular workers only: %8.2f ms/s\n",
                   s_idlePowerSaveOnNoEmergency.m_cpuMsPerSecond);
        if (s_idleWithoutJobSystem.m_measured)
            printf("  no job system:   %8.2f ms/s\n", s_idleWithoutJobSystem.m_cpuMsPerSecond);
        if (s_idlePowerSaveOn.m_measured && s_idlePowerSaveOff.m_measured &&
            s_idlePowerSaveOn.m_cpuMsPerSecond > 0)
            printf("  power save on uses %.1fx less CPU than off\n",
                   s_idlePowerSaveOff.m_cpuMsPerSecond / s_idlePowerSaveOn.m_cpuMsPerSecond);
    }
}
} // namespace

BenchProgram DescribeBenchProgram()
{
    BenchProgram program;
    program.m_title = "Job-local reads inside a job, times faster than a thread_local read\n"
                      "(same run; goal: 0.5 or more):";
    program.m_pairs = {
        {"BM_JobLocalReadByIndex", "BM_ThreadLocalReadNoInline"},
        {"BM_JobLocalReadByIndex", "BM_ThreadLocalRead"},
        {"BM_JobLocalReadThroughSeam", "BM_ThreadLocalReadNoInline"},
        {"BM_FiberLocalStorageRead", "BM_ThreadLocalReadNoInline"},
    };
    program.m_pTearDown = PrintServiceFigures;
    return program;
}
