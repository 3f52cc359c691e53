#include "bench/job-workloads.h"

#include "corelib/job/job-system.h"
#include "corelib/job/job-time-critical.h"
#include "corelib/memory/alloc-stack.h"
#include "corelib/system/platform/event.h"

#include <oneapi/tbb/task_group.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <new>
#include <thread>

namespace jobbench
{
using oxjob::CounterHandle;
using oxjob::JobDecl;
using oxjob::Priority;

namespace
{
struct JobSystemRun
{
    void* m_pBuffer = nullptr;
    U64 m_size = 0;
    U64 m_numWorkers = 0;
    oxjob::SchedulingPolicy m_policy = oxjob::SchedulingPolicy::kSharedLists;
};
JobSystemRun s_jobSystem;

// Set by the last job of a batch; the host sleeps on it when it waits by event.
oxsys::Event s_batchFinished;
} // namespace

// --- Running the job system ---------------------------------------------------------------------

void StartJobSystem(const JobSystemSetup& setup)
{
    if (!Memory::GetThreadAllocStack())
        Memory::InitializeThreadAllocStack();
    oxjob::InitParams params;
    params.m_numWorkerThreads = setup.m_numWorkers;
    params.m_numEmergencyWorkerThreads = 0;
    params.m_numCounters = oxjob::kMaxSupportedCounters;
    params.m_numJobArrays = oxjob::kMaxSupportedJobArrays;
    params.m_maxSmallJobFibers = setup.m_smallJobFibers;
    params.m_maxLargeJobFibers = setup.m_largeJobFibers;
    s_jobSystem.m_size =
        (oxjob::GetRequiredMemoryBufferSize(params) + setup.m_jobDeclPoolBytes + 127) & ~127ull;
    s_jobSystem.m_pBuffer = ::operator new(s_jobSystem.m_size, std::align_val_t(128));
    s_jobSystem.m_numWorkers = setup.m_numWorkers;
    s_jobSystem.m_policy = setup.m_policy;
    params.m_pMemoryBuffer = s_jobSystem.m_pBuffer;
    params.m_memoryBufferSize = s_jobSystem.m_size;
    oxjob::SetSchedulingPolicy(setup.m_policy);
    if (!oxjob::Initialize(&params).IsSuccess())
    {
        fprintf(stderr, "The job system did not start.\n");
        exit(1);
    }
    oxjob::SetPowerSaveEnabled(true);
    if (!oxsys::CreateEvent(s_batchFinished))
    {
        fprintf(stderr, "The batch event was not created.\n");
        exit(1);
    }
}

void StopJobSystem()
{
    oxsys::DestroyEvent(s_batchFinished);
    oxjob::Shutdown();
    ::operator delete(s_jobSystem.m_pBuffer, std::align_val_t(128));
    s_jobSystem = JobSystemRun{};
}

U64 GetRunningWorkers()
{
    return s_jobSystem.m_numWorkers;
}

void UseJobSystem(const JobSystemSetup& setup)
{
    if (s_jobSystem.m_numWorkers == setup.m_numWorkers && s_jobSystem.m_policy == setup.m_policy)
        return;
    if (s_jobSystem.m_numWorkers != 0)
        StopJobSystem();
    StartJobSystem(setup);
}

const char* PolicyLabel(oxjob::SchedulingPolicy policy)
{
    return policy == oxjob::SchedulingPolicy::kWorkerLocalLists ? "/local" : "";
}

PowerSaveScope::PowerSaveScope(bool enabled)
{
    oxjob::SetPowerSaveEnabled(enabled);
}

PowerSaveScope::~PowerSaveScope()
{
    oxjob::SetPowerSaveEnabled(true);
}

void SignalBatchFinished()
{
    oxsys::SetEvent(s_batchFinished);
}

void WaitForBatch(CounterHandle counter, HostWait hostWait)
{
    if (hostWait == HostWait::kEvent)
        oxsys::WaitForEvent(s_batchFinished, oxsys::kInfinite);
    oxjob::WaitForCounterAndFree(counter, 0);
    oxsys::ResetEvent(s_batchFinished);
}

void SetPerUnit(benchmark::State& state, const char* name, U64 unitsPerIteration)
{
    state.counters[name] =
        benchmark::Counter(static_cast<double>(unitsPerIteration),
                           benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

ProcessCpuClock::ProcessCpuClock() : m_startSeconds(static_cast<double>(std::clock()) / CLOCKS_PER_SEC) {}

void ProcessCpuClock::Report(benchmark::State& state, U64 unitsPerIteration) const
{
    const double seconds = static_cast<double>(std::clock()) / CLOCKS_PER_SEC - m_startSeconds;
    const double units = static_cast<double>(state.iterations()) * static_cast<double>(unitsPerIteration);
    state.counters["cpu_ns"] = units > 0 ? seconds * 1e9 / units : 0.0;
}

// --- Empty jobs ------------------------------------------------------------------------------------

namespace
{
void EmptyJob(U64) {}

// Runs once the batch's counter has reached 0.
void FinishJob(U64)
{
    SignalBatchFinished();
}
} // namespace

EmptyJobBatches::EmptyJobBatches(U64 maxJobs, U64 extraFlags)
    : m_decls(maxJobs), m_done(OX_ALLOCATE_COUNTER(0, oxjob::kWaitForZeroOnly))
{
    for (JobDecl& decl : m_decls)
    {
        decl.m_pStartFunc = EmptyJob;
        decl.m_associatedCounter = m_done.m_pCounter;
        decl.m_flags = oxjob::kDisallowSleep | extraFlags;
    }
}

EmptyJobBatches::~EmptyJobBatches()
{
    oxjob::FreeCounter(m_done);
}

void EmptyJobBatches::Run(U64 numJobs, U64 arraySize, HostWait hostWait)
{
    oxjob::SetCounterValue(m_done, static_cast<I64>(numJobs));
    for (U64 first = 0; first < numJobs; first += arraySize)
    {
        const U64 count = std::min(arraySize, numJobs - first);
        // A batch of 100,000 in arrays of 128 takes 782 of the 1,024 arrays, but the
        // workers give the drained arrays of the previous batch back a little after its
        // last job.
        oxjob::JobArray* pJobArray;
        while (!(pJobArray = oxjob::BeginJobArray(count, Priority{3})))
            std::this_thread::yield();
        oxjob::AddJobs(pJobArray, &m_decls[first], count);
        oxjob::CommitJobArray(pJobArray);
    }
    // The finishing job waits for the batch's counter; the host waits for it.
    alignas(64) JobDecl finish;
    finish.m_pStartFunc = FinishJob;
    finish.m_dependentCounter = m_done.m_pCounter;
    CounterHandle finished;
    oxjob::RunJobs(&finish, 1, &finished, Priority{3}, ~0ull, oxjob::kWaitForZeroOnly,
                   OX_JOB_SOURCE_LOCATION);
    WaitForBatch(finished, hostWait);
}

void RunTbbEmptyJobs(U64 numJobs)
{
    tbb::task_group group;
    for (U64 i = 0; i < numJobs; ++i)
        group.run([] {});
    group.wait();
}

// --- The tree -------------------------------------------------------------------------------------

namespace
{
// Inner jobs waiting for their children now, and the most seen at once.
std::atomic<U64> s_treeWaiting{0};
std::atomic<U64> s_treePeakWaiting{0};

Priority TreePriority(U64 height)
{
    return Priority{static_cast<I8>(kTreeLeafPriority + height)};
}

// height: levels below this job (0 for a leaf). The root signals the end of the tree.
void TreeJob(U64 height)
{
    if (height == 0)
        return;
    alignas(64) JobDecl children[kTreeFanOut];
    for (JobDecl& child : children)
    {
        child.m_pStartFunc = TreeJob;
        child.m_startArg = height - 1;
    }
    CounterHandle done;
    oxjob::RunJobs(children, kTreeFanOut, &done, TreePriority(height - 1), ~0ull, oxjob::kWaitForZeroOnly,
                   OX_JOB_SOURCE_LOCATION);
    const U64 waiting = s_treeWaiting.fetch_add(1, std::memory_order_relaxed) + 1;
    U64 peak = s_treePeakWaiting.load(std::memory_order_relaxed);
    while (waiting > peak &&
           !s_treePeakWaiting.compare_exchange_weak(peak, waiting, std::memory_order_relaxed))
    {
    }
    oxjob::WaitForCounterAndFree(done, 0);
    s_treeWaiting.fetch_sub(1, std::memory_order_relaxed);
}

void TreeRootJob(U64 depth)
{
    TreeJob(depth);
    SignalBatchFinished();
}

void TbbTreeNode(U64 height)
{
    if (height == 0)
        return;
    tbb::task_group group;
    for (U64 i = 0; i < kTreeFanOut; ++i)
        group.run([height] { TbbTreeNode(height - 1); });
    group.wait();
}
} // namespace

void RunJobTree(U64 depth, HostWait hostWait)
{
    if (depth > kMaxTreeDepth)
    {
        fprintf(stderr, "A tree of depth %llu has more levels than priorities.\n",
                static_cast<unsigned long long>(depth));
        exit(1);
    }
    alignas(64) JobDecl root;
    root.m_pStartFunc = TreeRootJob;
    root.m_startArg = depth;
    CounterHandle done;
    oxjob::RunJobs(&root, 1, &done, TreePriority(depth), ~0ull, oxjob::kWaitForZeroOnly,
                   OX_JOB_SOURCE_LOCATION);
    WaitForBatch(done, hostWait);
}

void ResetTreePeakWaiting()
{
    s_treePeakWaiting = 0;
}

U64 GetTreePeakWaiting()
{
    return s_treePeakWaiting.load();
}

void RunTbbTree(U64 depth)
{
    TbbTreeNode(depth);
}
} // namespace jobbench
