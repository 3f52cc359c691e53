// How the job system's cost per job grows: with the number of jobs in a batch, and with
// the number of workers, up to 24 on a machine of two cores (oversubscribed), beside
// oneTBB in the same run (a task_arena of as many threads as the job system has workers,
// the calling thread among them).
//
//   EmptyJobs  batches of 1,000, 10,000 and 100,000 empty jobs, submitted from the host
//              thread in job arrays of up to 1,024 and waited for through one counter
//              (job-workloads.h); oneTBB runs the same number of empty lambdas in one
//              task_group per batch.
//   Tree       trees of fan-out 8 and depth 3, 4 and 5 (585, 4,681 and 37,449 jobs) whose
//              inner jobs wait for their children by fiber switch; oneTBB with one
//              task_group per inner node.
//
// Every iteration does the same amount of work whatever the batch: 100,000 empty jobs (100
// batches of 1,000, 10 of 10,000 or one of 100,000) or about 37,450 tree jobs (64 trees of
// depth 3, 8 of depth 4 or one of depth 5). So iteration times compare per job, and the
// per_job column gives the wall-clock time of a job, each batch's submission, start-up and
// wait included.
//
// The job system runs 1, 2, 4 and 24 regular workers (no emergency worker), restarted
// between worker counts and stopped while oneTBB is measured. Idle workers spin, or sleep
// after 1,000 idle turns with power save on ("powersave" variants). The host thread
// sleeps on an event that the batch's last job sets. All times are wall-clock time.
//
// The table at the end, each figure the baseline's time over the benchmark's (1.00 or
// more: at most the baseline's time per job):
//   flatness          the largest batch against the smallest (100,000 vs 1,000 jobs; depth
//                     5 vs 3): 1.00 means the cost per job did not grow with the batch.
//   scaling           2 spinning workers against 1: the goal for the tree is 1.5 or more
//                     (two workers take at most 0.67 of one worker's time).
//   oversubscription  24 workers with power save on against 2, with power save on, and
//                     against 2 spinning (the library's default): the goal is at most 1.5
//                     times the two-worker time (0.67 or more).
//   oneTBB            each figure against oneTBB with the same batch and thread count.
#include "corelib/job/job-scheduling-policy.h"
#include "corelib/job/job-types.h"

#include "bench/bench-main.h"
#include "bench/job-workloads.h"

#include <benchmark/benchmark.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/task_arena.h>

#include <memory>
#include <string>

namespace
{
using jobbench::HostWait;

constexpr U64 kWorkerCounts[] = {1, 2, 4, 24};
constexpr U64 kMaxWorkers = 24;
static_assert(kMaxWorkers <= oxjob::kMaxWorkerThreads, "every worker count fits the job system");

constexpr U64 kJobsPerIteration = 100000;
constexpr U64 kBatchSizes[] = {1000, 10000, 100000};
constexpr U64 kArraySize = 1024;

constexpr U64 kTreeDepths[] = {3, 4, 5};
constexpr U64 kLargestTreeDepth = 5;
static_assert(kLargestTreeDepth <= jobbench::kMaxTreeDepth, "one priority per level");

// Trees of the given depth per iteration: as many as make one tree of the largest depth.
constexpr U64 TreesPerIteration(U64 depth)
{
    U64 trees = 1;
    for (U64 d = depth; d < kLargestTreeDepth; ++d)
        trees *= jobbench::kTreeFanOut;
    return trees;
}

// The fibers of the largest tree on 24 workers: 24 + 5 * 26 = 154 by estimate; the small
// pool takes the most it may and overflows into large-stack fibers, 384 in all. Every
// worker count runs with the same pools.
constexpr U64 kSmallJobFibers = oxjob::kMaxSmallJobFibers;
constexpr U64 kLargeJobFibers = oxjob::kMaxLargeJobFibers;
static_assert(kSmallJobFibers + kLargeJobFibers >=
                  2 * jobbench::TreeFibersEstimate(kMaxWorkers, kLargestTreeDepth),
              "the pools hold the largest tree on the most workers with a margin");

using oxjob::SchedulingPolicy;
constexpr SchedulingPolicy kPolicies[] = {SchedulingPolicy::kSharedLists,
                                          SchedulingPolicy::kWorkerLocalLists};

// Runs the job system with this many workers and this policy, restarting it when it runs
// another.
void UseJobSystem(U64 numWorkers, SchedulingPolicy policy)
{
    jobbench::JobSystemSetup setup;
    setup.m_numWorkers = numWorkers;
    setup.m_smallJobFibers = kSmallJobFibers;
    setup.m_largeJobFibers = kLargeJobFibers;
    setup.m_policy = policy;
    jobbench::UseJobSystem(setup);
}

// Stops the job system, so that none of its threads takes a core from the peer.
void UseNoJobSystem()
{
    if (jobbench::GetRunningWorkers() != 0)
        jobbench::StopJobSystem();
}

// oneTBB may run up to 24 threads (by default no more than the machine's processors); each
// benchmark takes an arena of its thread count.
std::unique_ptr<tbb::global_control> s_pTbbThreads;

// --- Empty jobs -----------------------------------------------------------------------------------

void BM_JobEmptyJobs(benchmark::State& state, U64 batchSize, U64 numWorkers, bool powerSaveEnabled,
                     SchedulingPolicy policy)
{
    UseJobSystem(numWorkers, policy);
    jobbench::PowerSaveScope powerSave(powerSaveEnabled);
    jobbench::EmptyJobBatches batches(batchSize, 0);
    const jobbench::ProcessCpuClock cpu;
    for (auto _ : state)
    {
        for (U64 done = 0; done < kJobsPerIteration; done += batchSize)
            batches.Run(batchSize, kArraySize, HostWait::kEvent);
    }
    jobbench::SetPerUnit(state, "per_job", kJobsPerIteration);
    cpu.Report(state, kJobsPerIteration);
}

void BM_TbbEmptyJobs(benchmark::State& state, U64 batchSize, U64 numThreads)
{
    UseNoJobSystem();
    tbb::task_arena arena(static_cast<int>(numThreads));
    const jobbench::ProcessCpuClock cpu;
    arena.execute(
        [&]
        {
            for (auto _ : state)
            {
                for (U64 done = 0; done < kJobsPerIteration; done += batchSize)
                    jobbench::RunTbbEmptyJobs(batchSize);
            }
        });
    jobbench::SetPerUnit(state, "per_job", kJobsPerIteration);
    cpu.Report(state, kJobsPerIteration);
}

// --- The tree -------------------------------------------------------------------------------------

void BM_JobTree(benchmark::State& state, U64 depth, U64 numWorkers, bool powerSaveEnabled,
                SchedulingPolicy policy)
{
    UseJobSystem(numWorkers, policy);
    jobbench::PowerSaveScope powerSave(powerSaveEnabled);
    jobbench::ResetTreePeakWaiting();
    const U64 trees = TreesPerIteration(depth);
    const jobbench::ProcessCpuClock cpu;
    for (auto _ : state)
    {
        for (U64 tree = 0; tree < trees; ++tree)
            jobbench::RunJobTree(depth, HostWait::kEvent);
    }
    jobbench::SetPerUnit(state, "per_job", trees * jobbench::TreeNodeCount(depth));
    cpu.Report(state, trees * jobbench::TreeNodeCount(depth));
    // Fibers in use at the peak: the waiting jobs' and one per worker.
    state.counters["fibers"] = static_cast<double>(jobbench::GetTreePeakWaiting() + numWorkers);
}

void BM_TbbTree(benchmark::State& state, U64 depth, U64 numThreads)
{
    UseNoJobSystem();
    const U64 trees = TreesPerIteration(depth);
    tbb::task_arena arena(static_cast<int>(numThreads));
    const jobbench::ProcessCpuClock cpu;
    arena.execute(
        [&]
        {
            for (auto _ : state)
            {
                for (U64 tree = 0; tree < trees; ++tree)
                    jobbench::RunTbbTree(depth);
            }
        });
    jobbench::SetPerUnit(state, "per_job", trees * jobbench::TreeNodeCount(depth));
    cpu.Report(state, trees * jobbench::TreeNodeCount(depth));
}

// --- Registration and the ratio table -------------------------------------------------------------

void SetUp()
{
    s_pTbbThreads = std::make_unique<tbb::global_control>(tbb::global_control::max_allowed_parallelism,
                                                          static_cast<size_t>(kMaxWorkers));
}

void TearDown()
{
    UseNoJobSystem();
    s_pTbbThreads.reset();
}

// Registers a benchmark timed in wall-clock time and returns its printed name.
template <typename Function, typename... Args>
std::string Register(const std::string& name, Function pFunction, Args... args)
{
    benchmark::RegisterBenchmark(name.c_str(), pFunction, args...)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
    return name + "/real_time";
}

std::string JobName(const char* workload, const std::string& size, U64 numWorkers, bool powerSave,
                    SchedulingPolicy policy)
{
    return std::string(workload) + "/" + size + "/workers:" + std::to_string(numWorkers) +
           (powerSave ? "/powersave" : "") + jobbench::PolicyLabel(policy);
}

std::string TbbName(const char* workload, const std::string& size, U64 numThreads)
{
    return std::string(workload) + "/" + size + "/arena:" + std::to_string(numThreads);
}

std::string BatchLabel(U64 batchSize)
{
    return "batch:" + std::to_string(batchSize);
}

std::string DepthLabel(U64 depth)
{
    return "depth:" + std::to_string(depth);
}
} // namespace

BenchProgram DescribeBenchProgram()
{
    BenchProgram program;
    program.m_title =
        "Times faster per job than the baseline, wall-clock (>= 1.00: at most the baseline's time; "
        "same run):";
    program.m_pSetUp = SetUp;
    program.m_pTearDown = TearDown;
    auto pair = [&program](const std::string& ours, const std::string& baseline)
    { program.m_pairs.emplace_back(ours, baseline); };

    // Worker count by worker count: oneTBB first (the job system stopped), then the job
    // system with power save off and on.
    for (const U64 workers : kWorkerCounts)
    {
        for (const U64 batch : kBatchSizes)
            Register(TbbName("BM_TbbEmptyJobs", BatchLabel(batch), workers), BM_TbbEmptyJobs, batch, workers);
        for (const U64 depth : kTreeDepths)
            Register(TbbName("BM_TbbTree", DepthLabel(depth), workers), BM_TbbTree, depth, workers);
        for (const SchedulingPolicy policy : kPolicies)
            for (const bool powerSave : {false, true})
            {
                for (const U64 batch : kBatchSizes)
                    Register(JobName("BM_JobEmptyJobs", BatchLabel(batch), workers, powerSave, policy),
                             BM_JobEmptyJobs, batch, workers, powerSave, policy);
                for (const U64 depth : kTreeDepths)
                    Register(JobName("BM_JobTree", DepthLabel(depth), workers, powerSave, policy), BM_JobTree,
                             depth, workers, powerSave, policy);
            }
    }

    // The printed names of one workload's benchmarks, by size label.
    struct Workload
    {
        const char* m_job;
        const char* m_tbb;
        std::string m_sizes[3];
    };
    const Workload workloads[] = {
        {"BM_JobEmptyJobs", "BM_TbbEmptyJobs", {BatchLabel(1000), BatchLabel(10000), BatchLabel(100000)}},
        {"BM_JobTree", "BM_TbbTree", {DepthLabel(3), DepthLabel(4), DepthLabel(5)}},
    };
    auto job = [](const Workload& w, const std::string& size, U64 workers, bool powerSave,
                  SchedulingPolicy policy = SchedulingPolicy::kSharedLists)
    { return JobName(w.m_job, size, workers, powerSave, policy) + "/real_time"; };
    auto tbb = [](const Workload& w, const std::string& size, U64 threads)
    { return TbbName(w.m_tbb, size, threads) + "/real_time"; };

    // Flatness: the largest batch against the smallest, per job.
    for (const Workload& w : workloads)
        for (const U64 workers : kWorkerCounts)
            for (const SchedulingPolicy policy : kPolicies)
                for (const bool powerSave : {false, true})
                    pair(job(w, w.m_sizes[2], workers, powerSave, policy),
                         job(w, w.m_sizes[0], workers, powerSave, policy));
    // Scaling: 2 workers against 1 (the goal for the tree: at least 1.5, i.e. at most 0.67
    // of the one-worker time; with worker-local lists 1.67, at most 0.6).
    for (const Workload& w : workloads)
        for (const std::string& size : w.m_sizes)
            for (const SchedulingPolicy policy : kPolicies)
                pair(job(w, size, 2, false, policy), job(w, size, 1, false, policy));
    // Oversubscription: 24 workers with power save on against 2 workers.
    for (const Workload& w : workloads)
        for (const std::string& size : w.m_sizes)
            for (const SchedulingPolicy policy : kPolicies)
            {
                pair(job(w, size, kMaxWorkers, true, policy), job(w, size, 2, true, policy));
                pair(job(w, size, kMaxWorkers, true, policy), job(w, size, 2, false, policy));
            }
    // The worker-local lists against the shared ones.
    for (const Workload& w : workloads)
        for (const U64 workers : kWorkerCounts)
            for (const std::string& size : w.m_sizes)
                for (const bool powerSave : {false, true})
                    pair(job(w, size, workers, powerSave, SchedulingPolicy::kWorkerLocalLists),
                         job(w, size, workers, powerSave));
    // oneTBB with the same batch and thread count.
    for (const Workload& w : workloads)
        for (const U64 workers : kWorkerCounts)
            for (const std::string& size : w.m_sizes)
                for (const SchedulingPolicy policy : kPolicies)
                    for (const bool powerSave : {false, true})
                        pair(job(w, size, workers, powerSave, policy), tbb(w, size, workers));
    return program;
}
