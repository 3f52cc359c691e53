// The workloads the job system's benchmark programs share (job-system-bench,
// job-scaling-bench), each with its oneTBB counterpart:
//
//   empty jobs  a batch of empty jobs submitted from the host thread in job arrays and
//               waited for through one counter; against empty lambdas in one task_group.
//   tree        a tree of fan-out 8: every inner job submits its 8 children and waits for
//               them on a counter, by fiber switch; children are one priority more urgent
//               than their parent (leaves at priority 3), so the tree runs depth-first.
//               Against one task_group per inner node, whose wait runs other tasks.
//
// and what running them takes: the job system started on a block of its own, the host's
// way of waiting for a batch, the power-save setting of one benchmark and the per-unit
// column of the figures. One job system runs at a time (there is one per process).
#pragma once

#include "corelib/job/job-scheduling-policy.h"
#include "corelib/job/job-types.h"
#include "corelib/util/types.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace jobbench
{
// --- Running the job system ---------------------------------------------------------------------

struct JobSystemSetup
{
    U64 m_numWorkers = 2; // regular workers; no emergency worker
    U64 m_smallJobFibers = 64;
    U64 m_largeJobFibers = 0; // small-stack fibers overflow into these when they run out
    // The job declaration pool: 128 bytes per job queued at once, plus the pool's records.
    U64 m_jobDeclPoolBytes = 24u << 20;
    oxjob::SchedulingPolicy m_policy = oxjob::SchedulingPolicy::kSharedLists;
};

// Starts the job system (exits the program when it does not start). Power save is on
// afterwards: idle workers sleep until a benchmark chooses otherwise.
void StartJobSystem(const JobSystemSetup& setup);
void StopJobSystem();
// The regular workers of the running job system; 0 when none runs.
U64 GetRunningWorkers();
// Runs the job system with this setup's workers and policy, restarting it when the running
// one differs in either.
void UseJobSystem(const JobSystemSetup& setup);
// The name suffix of a policy's benchmarks: "" for kSharedLists, "/local" for kWorkerLocalLists.
const char* PolicyLabel(oxjob::SchedulingPolicy policy);

// The power-save setting of one job system benchmark, restored to on (workers asleep) when
// it ends, so that the sleeping workers leave the cores to whatever is measured next.
class PowerSaveScope
{
public:
    explicit PowerSaveScope(bool enabled);
    ~PowerSaveScope();
    PowerSaveScope(const PowerSaveScope&) = delete;
    PowerSaveScope& operator=(const PowerSaveScope&) = delete;
};

// How the host thread waits for a job system batch.
enum class HostWait
{
    kCounter, // WaitForCounter, yielding in a loop
    kEvent,   // asleep on an event that the batch's last job sets, then WaitForCounter
};

// Called by the job that finishes a batch.
void SignalBatchFinished();
// Waits for the batch whose jobs count counter down to 0, then frees the counter.
void WaitForBatch(oxjob::CounterHandle counter, HostWait hostWait);

// The per-unit column: wall-clock time of one iteration divided by its units.
void SetPerUnit(benchmark::State& state, const char* name, U64 unitsPerIteration);

// The processor time of the whole process (every thread) from construction; Report sets
// the "cpu_ns" column, nanoseconds per unit. On a machine that other programs load, it
// shows what the work itself costs, where the wall-clock time also counts the time slices
// the threads waited for. Idle workers that spin count too: read it with power save on.
class ProcessCpuClock
{
public:
    ProcessCpuClock();
    void Report(benchmark::State& state, U64 unitsPerIteration) const;

private:
    double m_startSeconds;
};

// --- Empty jobs ------------------------------------------------------------------------------------

// Batches of up to maxJobs empty jobs; owns their declarations and counter.
class EmptyJobBatches
{
public:
    // extraFlags: added to every job's flags (kDisallowSleep is always set: a submission
    // of more than 32 jobs needs it).
    EmptyJobBatches(U64 maxJobs, U64 extraFlags);
    ~EmptyJobBatches();
    EmptyJobBatches(const EmptyJobBatches&) = delete;
    EmptyJobBatches& operator=(const EmptyJobBatches&) = delete;

    // Submits numJobs jobs in arrays of at most arraySize, then a finishing job that waits
    // for all of them, and waits for it.
    void Run(U64 numJobs, U64 arraySize, HostWait hostWait);

private:
    std::vector<oxjob::JobDecl> m_decls;
    oxjob::CounterHandle m_done;
};

// numJobs empty lambdas in one task_group, waited for.
void RunTbbEmptyJobs(U64 numJobs);

// --- The tree -------------------------------------------------------------------------------------

constexpr U64 kTreeFanOut = 8;

// Jobs in a tree of the given depth (edges from the root to a leaf): 1 + 8 + ... + 8^depth.
constexpr U64 TreeNodeCount(U64 depth)
{
    U64 count = 0;
    U64 level = 1;
    for (U64 d = 0; d <= depth; ++d, level *= kTreeFanOut)
        count += level;
    return count;
}

// Leaves run at this priority, each level above one less urgent.
constexpr U64 kTreeLeafPriority = 3;
constexpr U64 kMaxTreeDepth = static_cast<U64>(oxjob::Priority::kNumPriorities) - 1 - kTreeLeafPriority;

// The fibers a tree needs at most, by estimate. A fiber is held by each worker and by each
// inner job from its wait until it resumes. Since children are more urgent than their
// parent, a worker starts another sibling at some level only when nothing deeper is ready,
// so at each inner level only a few jobs wait at once: the one whose subtree runs, one
// sibling per worker started while it ran out, one woken and not yet resumed. Breadth-first
// order would need one per inner job (4,681 at depth 5), far more than the largest pool.
// The scheduler reads the queue counts without a lock and may now and then start a sibling
// before it sees its cousins' children, so a pool wants a margin over this; running out of
// fibers ends the program.
constexpr U64 TreeFibersEstimate(U64 numWorkers, U64 depth)
{
    return numWorkers + depth * (numWorkers + 2);
}

// Runs one tree of the given depth (at most kMaxTreeDepth) from the host thread.
void RunJobTree(U64 depth, HostWait hostWait);
// Inner jobs waiting for their children at once, at most, since the last reset.
void ResetTreePeakWaiting();
U64 GetTreePeakWaiting();

// The same tree with one task_group per inner node.
void RunTbbTree(U64 depth);
} // namespace jobbench
