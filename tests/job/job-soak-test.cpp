// A soak test of random job graphs. Each round builds a random graph of jobs in layers and
// runs it: all nine priorities, random affinity masks, counters with and without a wait
// restriction, dependencies of jobs and of job arrays with both compare kinds, jobs that
// wait on counters, yield, need a large stack, lock themselves to their starting worker or
// submit further jobs (and wait for them), fan-outs of more than 32 jobs that may not
// sleep, barriers, and the three ways to submit (job arrays, RunJobs, RunJob).
//
// A job of layer L depends on, and waits for, counters of earlier layers only, and every
// job counts down exactly one counter (its spawner's, for the jobs a spawner waits for),
// so every graph can finish. Counters only ever count down: a counter starts at its
// number of producers plus its final value, and a dependency is either "equal to the
// final value" or "at most V" with V at or above the final value. Since values only
// fall, a value at or below the target when a job starts proves that the condition held
// before it. Each round checks that every job ran exactly once, that no job started
// before its dependencies held, that it ran on a worker its affinity allows (a locked
// job also resumes there), that every counter ended at its final value, and that the
// pools are back to empty: counters, wait contexts, waiting and woken-up jobs, fibers;
// at the end also the job arrays and the job declaration pool.
//
// OX_SOAK_SEED sets the seed (it is printed at the start of every run); OX_SOAK_JOBS the
// number of jobs in all, shared among the worker setups as their shares say (a setup run
// alone by a filter runs its share). Without OX_SOAK_JOBS a build runs its share of the
// CI budget, OX_SOAK_DEFAULT_JOBS (tests/job/CMakeLists.txt). The longer run is, for
// example: OX_SOAK_JOBS=10000000 build/<dir>/tests/job/job-job-soak-test
#include "corelib/job/job-descriptor.h"
#include "corelib/job/job-system-priv.h"
#include "corelib/job/job-system.h"
#include "corelib/job/job-time-critical.h"
#include "corelib/job/job-trace.h"
#include "tests/job/job-test-support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

#ifndef OX_SOAK_DEFAULT_JOBS
#define OX_SOAK_DEFAULT_JOBS 20000
#endif

using namespace oxjob;
using jobtest::DoutCaptureScope;
using jobtest::JobSystemHost;
using jobtest::SmallParams;

namespace
{
constexpr U32 kNone = ~0u;
constexpr U64 kCategoryFlags = kGameJob | kRenderJob;
// A round that has not finished after this long is stuck: report it instead of hanging.
constexpr auto kStuckAfter = std::chrono::seconds(120);
// Emptied job arrays are freed by the workers' next look, within moments.
constexpr auto kArraysFreedWithin = std::chrono::seconds(30);

// --- Knobs ---------------------------------------------------------------------------------------

U64 ReadEnvironment(const char* name, U64 fallback)
{
    const char* pText = std::getenv(name);
    if (!pText || !*pText)
        return fallback;
    return std::strtoull(pText, nullptr, 0);
}

// The seed of this run: OX_SOAK_SEED (a number, or "random" for a new one from the clock
// and the random device), else a fixed one, so that the suite runs the same graphs every
// time; the timing of the workers still differs from run to run.
U64 BaseSeed()
{
    static const U64 s_seed = [] {
        const char* pText = std::getenv("OX_SOAK_SEED");
        if (pText && std::strcmp(pText, "random") == 0)
            return static_cast<U64>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                   (static_cast<U64>(std::random_device{}()) << 32);
        return ReadEnvironment("OX_SOAK_SEED", 0x6A09E667F3BCC908ull);
    }();
    return s_seed;
}

// SplitMix64: small, fast and the same on every platform.
class SoakRandom
{
public:
    explicit SoakRandom(U64 seed) : m_state(seed) {}

    U64 Next()
    {
        U64 z = (m_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    U64 Below(U64 bound) { return Next() % bound; }
    U64 Between(U64 low, U64 high) { return low + Below(high - low + 1); }
    bool Percent(U32 percent) { return Below(100) < percent; }

private:
    U64 m_state;
};

// --- Worker setups -------------------------------------------------------------------------------

struct WorkerSetup
{
    const char* m_name;
    U64 m_numRegular;
    U64 m_numEmergency;
    U32 m_sharePercent; // of the jobs the soak runs in all
};

// The shares follow what a job costs: one worker runs them fastest, twenty-four on two
// cores slowest, since idle workers keep looking at work their affinity does not allow.
const WorkerSetup kWorkerSetups[] = {
    {"OneWorker", 1, 0, 40},
    {"TwoWorkers", 2, 0, 30},
    // Oversubscribed: far more workers than the machine has cores.
    {"TwentyFourWorkers", 24, 0, 15},
    // Priority 0 is time-critical: the emergency worker serves it, after its delay.
    {"TwoWorkersAndAnEmergencyWorker", 2, 1, 15},
};

InitParams SoakParams(const WorkerSetup& setup)
{
    InitParams params = SmallParams(setup.m_numRegular, setup.m_numEmergency);
    params.m_numCounters = 512;
    params.m_numJobArrays = 512;
    params.m_maxSmallJobFibers = 256;
    params.m_maxLargeJobFibers = 64;
    return params;
}

// --- The plan of a round ---------------------------------------------------------------------------

struct PlanDependency
{
    U32 m_counter = kNone;
    I64 m_value = 0;
    U32 m_compare = kCompareEqual;
};

struct PlanCounter
{
    WaitRestriction m_restriction;
    I64 m_final;
    I64 m_initial; // producers + final, known once its layer is complete
    U32 m_producers;
};

enum class Body : U8
{
    kBarrier,      // no entry function: only counts down
    kWork,         // a little arithmetic
    kWait,         // waits for a counter of an earlier layer
    kYield,        // yields once or more
    kSpawn,        // submits job groups of its own
    kSpawnAndWait, // submits a group with RunJobs and waits for its counter
};

enum class Submit : U8
{
    kJobArray, // BeginJobArray, AddJobs (in one or more calls), CommitJobArray
    kRunJobs,
    kRunJob, // one RunJob per job; such a job counts its counter down itself
};

struct PlanJob
{
    Body m_body = Body::kWork;
    U32 m_group = kNone;
    U32 m_counter = kNone; // kNone: counted down on the counter its spawner's RunJobs made
    bool m_countsDownByHand = false;
    PlanDependency m_deps[2];
    PlanDependency m_wait;
    U32 m_yields = 0;
    U32 m_work = 0;
    U64 m_flags = 0;                              // as declared
    U64 m_expectedFlags = 0;                      // with the category inherited from its spawner
    U32 m_childGroups[3] = {kNone, kNone, kNone}; // a waited group comes first
    U32 m_numChildGroups = 0;
};

struct PlanGroup
{
    Submit m_submit = Submit::kJobArray;
    U32 m_firstJob = 0;
    U32 m_numJobs = 0;
    U32 m_parent = kNone; // the job that submits it, kNone for the host
    Priority m_priority = Priority{3};
    U64 m_affinity = ~0ull;
    PlanDependency m_dep; // job arrays only
    U32 m_numAddCalls = 1;
    bool m_waited = false; // RunJobs with a counter that the spawner waits for
    WaitRestriction m_waitRestriction = kWaitForZeroOnly;
    U32 m_waitCompare = kCompareEqual;
};

struct Plan
{
    std::vector<PlanCounter> m_counters;
    std::vector<PlanJob> m_jobs;
    std::vector<PlanGroup> m_groups;
    std::vector<U32> m_hostGroups;
};

// What may be outstanding at once, so that no fixed pool of the job system runs out: the
// round's suspended jobs hold fibers (large ones for large-stack jobs), jobs whose
// dependencies do not hold yet take waiting-job slots, blocked job arrays wait contexts.
struct PlanLimits
{
    U32 m_maxSuspending;
    U32 m_maxLargeSuspending;
    U32 m_maxDependentJobs;
    U32 m_maxDependentGroups;
};

PlanLimits LimitsFor(const InitParams& params)
{
    const U64 numWorkers = params.m_numWorkerThreads + params.m_numEmergencyWorkerThreads;
    PlanLimits limits;
    limits.m_maxSuspending = static_cast<U32>(
        std::min<U64>(96, params.m_maxSmallJobFibers + params.m_maxLargeJobFibers - numWorkers - 8));
    limits.m_maxLargeSuspending =
        static_cast<U32>(std::min<U64>(24, params.m_maxLargeJobFibers - numWorkers - 4));
    limits.m_maxDependentJobs = static_cast<U32>(kMaxWaitingJobs - limits.m_maxSuspending - 64);
    limits.m_maxDependentGroups = static_cast<U32>(kMaxWaitContexts / 2);
    return limits;
}

class PlanGenerator
{
public:
    PlanGenerator(SoakRandom& random, const WorkerSetup& setup, const PlanLimits& limits)
        : m_random(random), m_setup(setup), m_limits(limits)
    {
        const U64 numWorkers = setup.m_numRegular + setup.m_numEmergency;
        m_regularMask = (1ull << setup.m_numRegular) - 1;
        m_emergencyMask = ((1ull << numWorkers) - 1) & ~m_regularMask;
        m_allWorkersMask = m_regularMask | m_emergencyMask;
    }

    void Generate(Plan& plan, U32 targetJobs)
    {
        m_pPlan = &plan;
        m_targetJobs = targetJobs;
        const U32 numLayers = static_cast<U32>(m_random.Between(2, 5));
        for (U32 layer = 0; layer < numLayers; ++layer)
        {
            m_layerFirstCounter = static_cast<U32>(plan.m_counters.size());
            const U32 numCounters = static_cast<U32>(m_random.Between(1, 6));
            for (U32 c = 0; c < numCounters; ++c)
            {
                PlanCounter counter;
                counter.m_restriction = m_random.Percent(60) ? kWaitForZeroOnly : kNoWaitRestriction;
                counter.m_final =
                    counter.m_restriction == kWaitForZeroOnly ? 0 : static_cast<I64>(m_random.Below(4));
                counter.m_initial = 0;
                counter.m_producers = 0;
                plan.m_counters.push_back(counter);
            }
            const U32 layerEnd = targetJobs * (layer + 1) / numLayers;
            while (plan.m_jobs.size() < layerEnd)
                plan.m_hostGroups.push_back(NewGroup(layer, kNone, 0, false));
            // Dependencies of later layers need the final counts of this one.
            for (U32 c = m_layerFirstCounter; c < plan.m_counters.size(); ++c)
                plan.m_counters[c].m_initial = plan.m_counters[c].m_producers + plan.m_counters[c].m_final;
        }
    }

private:
    bool IsTimeCritical(Priority priority) const
    {
        return m_setup.m_numEmergency != 0 && static_cast<I8>(priority) == 0;
    }

    // A mask that meets the workers serving the priority, sometimes all ones, sometimes
    // with bits of workers that do not exist.
    U64 RandomAffinity(Priority priority)
    {
        if (m_random.Percent(20))
            return ~0ull;
        const U64 serving = IsTimeCritical(priority) ? m_emergencyMask : m_regularMask;
        U64 mask = m_random.Next() & m_allWorkersMask;
        if (!(mask & serving))
        {
            U64 pick = m_random.Below(static_cast<U64>(__builtin_popcountll(serving)));
            U64 bits = serving;
            while (pick--)
                bits &= bits - 1;
            mask |= bits & (~bits + 1);
        }
        if (m_random.Percent(20))
            mask |= m_random.Next() & ~m_allWorkersMask;
        return mask;
    }

    // A condition on a counter of an earlier layer that holds once that layer is done.
    PlanDependency RandomDependency()
    {
        PlanDependency dependency;
        dependency.m_counter = static_cast<U32>(m_random.Below(m_layerFirstCounter));
        const PlanCounter& counter = m_pPlan->m_counters[dependency.m_counter];
        dependency.m_compare = m_random.Percent(50) ? kCompareEqual : kCompareLessOrEqual;
        if (dependency.m_compare == kCompareEqual || counter.m_restriction == kWaitForZeroOnly)
            dependency.m_value = counter.m_final;
        else // anywhere from the final value to one above the start (holds at once)
            dependency.m_value =
                counter.m_final +
                static_cast<I64>(m_random.Below(static_cast<U64>(counter.m_initial - counter.m_final) + 2));
        return dependency;
    }

    U32 LayerCounter()
    {
        const U32 numLayerCounters = static_cast<U32>(m_pPlan->m_counters.size()) - m_layerFirstCounter;
        return m_layerFirstCounter + static_cast<U32>(m_random.Below(numLayerCounters));
    }

    U32 NewGroup(U32 layer, U32 parent, U32 depth, bool waited)
    {
        Plan& plan = *m_pPlan;
        PlanGroup group;
        group.m_parent = parent;
        group.m_waited = waited;
        const U32 room =
            m_targetJobs > plan.m_jobs.size() ? m_targetJobs - static_cast<U32>(plan.m_jobs.size()) : 0;
        const bool fanOut = m_random.Percent(6) && room >= 33;
        group.m_numJobs =
            fanOut ? static_cast<U32>(m_random.Between(33, std::min<U32>(64, room)))
                   : static_cast<U32>(m_random.Between(1, std::max<U32>(1, std::min<U32>(12, room))));
        if (waited)
            group.m_submit = Submit::kRunJobs;
        else if (!fanOut && group.m_numJobs <= 3 && m_random.Percent(25))
            group.m_submit = Submit::kRunJob;
        else
            group.m_submit = m_random.Percent(65) ? Submit::kJobArray : Submit::kRunJobs;
        group.m_priority = Priority{static_cast<I8>(m_random.Below(9))};
        group.m_affinity = RandomAffinity(group.m_priority);
        if (group.m_submit == Submit::kJobArray)
        {
            group.m_numAddCalls = static_cast<U32>(m_random.Between(1, std::min<U32>(3, group.m_numJobs)));
            if (layer > 0 && m_dependentGroups < m_limits.m_maxDependentGroups && m_random.Percent(25))
            {
                group.m_dep = RandomDependency();
                ++m_dependentGroups;
            }
        }
        if (waited)
        {
            group.m_waitRestriction = m_random.Percent(50) ? kWaitForZeroOnly : kNoWaitRestriction;
            group.m_waitCompare = m_random.Percent(50) ? kCompareEqual : kCompareLessOrEqual;
        }
        group.m_firstJob = static_cast<U32>(plan.m_jobs.size());
        const U32 groupIndex = static_cast<U32>(plan.m_groups.size());
        plan.m_groups.push_back(group);
        plan.m_jobs.resize(plan.m_jobs.size() + group.m_numJobs);
        // Jobs of a fan-out must never sleep; others sometimes promise it too.
        const bool allMayNotSleep = fanOut || m_random.Percent(10);
        for (U32 i = 0; i < group.m_numJobs; ++i)
            FillJob(group.m_firstJob + i, groupIndex, layer, depth, allMayNotSleep);
        return groupIndex;
    }

    void FillJob(U32 index, U32 groupIndex, U32 layer, U32 depth, bool mayNotSleep)
    {
        Plan& plan = *m_pPlan;
        // The group is copied: new child groups may move the vector.
        const PlanGroup group = plan.m_groups[groupIndex];
        PlanJob job;
        job.m_group = groupIndex;
        const bool byRunJob = group.m_submit == Submit::kRunJob;
        if (!group.m_waited)
        {
            job.m_counter = LayerCounter();
            ++plan.m_counters[job.m_counter].m_producers;
            job.m_countsDownByHand = byRunJob;
        }
        if (layer > 0 && !byRunJob && m_dependentJobs < m_limits.m_maxDependentJobs && m_random.Percent(30))
        {
            job.m_deps[0] = RandomDependency();
            if (m_random.Percent(35))
                job.m_deps[1] = RandomDependency();
            ++m_dependentJobs;
        }

        const bool mayNest = depth < 2 && plan.m_jobs.size() < m_targetJobs + 64;
        const bool maySuspend = !mayNotSleep && m_suspending < m_limits.m_maxSuspending;
        const U64 roll = m_random.Below(100);
        if (!byRunJob && roll < 5)
            job.m_body = Body::kBarrier;
        else if (roll < 50)
            job.m_body = Body::kWork;
        else if (roll < 64 && maySuspend && layer > 0)
            job.m_body = Body::kWait;
        else if (roll < 74 && maySuspend)
            job.m_body = Body::kYield;
        else if (roll < 88 && mayNest)
            job.m_body = Body::kSpawn;
        else if (roll < 100 && mayNest && maySuspend)
            job.m_body = Body::kSpawnAndWait;
        else
            job.m_body = Body::kWork;
        const bool suspends =
            job.m_body == Body::kWait || job.m_body == Body::kYield || job.m_body == Body::kSpawnAndWait;
        if (suspends)
            ++m_suspending;

        U64 flags = mayNotSleep ? U64{kDisallowSleep} : 0;
        if (job.m_body != Body::kBarrier && m_random.Percent(6) &&
            (!suspends || m_largeSuspending < m_limits.m_maxLargeSuspending))
        {
            flags |= kLargeStack;
            if (suspends)
                ++m_largeSuspending;
        }
        if (m_random.Percent(suspends ? 35 : 8))
            flags |= kLockToStartingWorker;
        if (m_random.Percent(15))
            flags |= kGameJob;
        if (m_random.Percent(15))
            flags |= kRenderJob;
        if (m_random.Percent(10))
            flags |= kHighlightJob;
        if (m_random.Percent(10))
            flags |= kNoActivityTracking;
        if (job.m_deps[0].m_counter != kNone && m_random.Percent(30))
            flags |= kRecheckDependencyOnResume;
        job.m_flags = flags;
        job.m_expectedFlags = flags;
        if (group.m_parent != kNone && !(flags & kCategoryFlags))
            job.m_expectedFlags |= plan.m_jobs[group.m_parent].m_expectedFlags & kCategoryFlags;
        job.m_work = static_cast<U32>(m_random.Below(256));
        if (job.m_body == Body::kWait)
            job.m_wait = RandomDependency();
        if (job.m_body == Body::kYield)
            job.m_yields = static_cast<U32>(m_random.Between(1, 3));
        plan.m_jobs[index] = job;

        if (job.m_body == Body::kSpawn || job.m_body == Body::kSpawnAndWait)
        {
            const bool waits = job.m_body == Body::kSpawnAndWait;
            const U32 numGroups = static_cast<U32>(m_random.Between(1, 2)) + (waits ? 1 : 0);
            for (U32 g = 0; g < numGroups; ++g)
            {
                // The vector may move while the child group is made: index it afresh.
                const U32 childGroup = NewGroup(layer, index, depth + 1, waits && g == 0);
                PlanJob& spawner = plan.m_jobs[index];
                spawner.m_childGroups[spawner.m_numChildGroups++] = childGroup;
            }
        }
    }

    SoakRandom& m_random;
    const WorkerSetup& m_setup;
    const PlanLimits& m_limits;
    Plan* m_pPlan = nullptr;
    U32 m_targetJobs = 0;
    U32 m_layerFirstCounter = 0;
    U64 m_regularMask = 0;
    U64 m_emergencyMask = 0;
    U64 m_allWorkersMask = 0;
    U32 m_suspending = 0;
    U32 m_largeSuspending = 0;
    U32 m_dependentJobs = 0;
    U32 m_dependentGroups = 0;
};

// --- A running round -----------------------------------------------------------------------------

struct JobState
{
    std::atomic<U32> m_runs{0};
    std::atomic<U32> m_finished{0};
};

struct Round
{
    Plan m_plan;
    std::vector<JobDecl> m_decls;
    std::vector<CounterHandle> m_counters;
    std::unique_ptr<JobState[]> m_states;
};

// The round the jobs belong to: set before its first submission, read by its jobs.
Round* s_pRound = nullptr;

// The first failure any job saw; the host reports it with the seed.
class FirstFailure
{
public:
    void Reset()
    {
        m_claimed.store(false);
        m_ready.store(false);
        m_text[0] = '\0';
    }

    OX_NOINLINE void Report(const char* format, ...)
    {
        bool expected = false;
        if (!m_claimed.compare_exchange_strong(expected, true))
            return;
        va_list args;
        va_start(args, format);
        vsnprintf(m_text, sizeof(m_text), format, args);
        va_end(args);
        m_ready.store(true, std::memory_order_release);
    }

    bool Failed() const { return m_claimed.load(); }

    // The text, once the thread that claimed the report has written it.
    std::string Text() const
    {
        while (!m_ready.load(std::memory_order_acquire))
            std::this_thread::yield();
        return m_text;
    }

private:
    std::atomic<bool> m_claimed{false};
    std::atomic<bool> m_ready{false};
    char m_text[512] = {};
};

FirstFailure s_failure;

const char* CompareText(U32 compare)
{
    return compare == kCompareEqual ? "==" : "<=";
}

// Counters only fall, so a value at or below the target means the condition held.
void CheckHeld(const Round& round, U32 index, const PlanDependency& dependency, const char* what)
{
    if (dependency.m_counter == kNone)
        return;
    const I64 value = GetCounterValue(round.m_counters[dependency.m_counter]);
    if (value > dependency.m_value)
        s_failure.Report("job %u went on before its %s held: counter %u is %lld, wanted %s %lld", index, what,
                         dependency.m_counter, static_cast<long long>(value),
                         CompareText(dependency.m_compare), static_cast<long long>(dependency.m_value));
}

void SoakJob(U64 startArg);

// Where the job runs: on a worker that its affinity allows and that serves its priority,
// after a suspension of a locked job on the worker it started on; and what the job system
// says about the running job.
void CheckPlacement(const Round& round, U32 index, U64 startWorker, const char* when)
{
    const PlanJob& job = round.m_plan.m_jobs[index];
    const PlanGroup& group = round.m_plan.m_groups[job.m_group];
    const U64 worker = static_cast<U64>(ReadWorkerIndex());
    if (worker >= kMaxWorkerThreads)
    {
        s_failure.Report("job %u runs off a worker thread (%s)", index, when);
        return;
    }
    const bool locked = (job.m_flags & kLockToStartingWorker) != 0;
    if (!((group.m_affinity >> worker) & 1))
        s_failure.Report("job %u runs on worker %llu, outside its affinity 0x%llx (%s)", index,
                         static_cast<unsigned long long>(worker),
                         static_cast<unsigned long long>(group.m_affinity), when);
    if (locked && worker != startWorker)
        s_failure.Report("job %u, locked to its starting worker %llu, runs on worker %llu (%s)", index,
                         static_cast<unsigned long long>(startWorker),
                         static_cast<unsigned long long>(worker), when);
    if (IsEmergencyWorkerThread(worker) && !IsTimeCriticalPriority(group.m_priority))
        s_failure.Report("job %u of priority %d runs on emergency worker %llu (%s)", index,
                         static_cast<int>(group.m_priority), static_cast<unsigned long long>(worker), when);
    if (GetCurrentWorkerThreadIndex() != worker)
        s_failure.Report("job %u on worker %llu reads worker index %llu (%s)", index,
                         static_cast<unsigned long long>(worker),
                         static_cast<unsigned long long>(GetCurrentWorkerThreadIndex()), when);
    JobDecl active;
    if (!GetActiveJobDecl(&active) || active.m_pStartFunc != SoakJob || active.m_startArg != index)
        s_failure.Report("job %u is not the active job of worker %llu (%s)", index,
                         static_cast<unsigned long long>(worker), when);
    else if (active.m_flags != job.m_expectedFlags)
        s_failure.Report("job %u runs with flags 0x%llx, wanted 0x%llx (%s)", index,
                         static_cast<unsigned long long>(active.m_flags),
                         static_cast<unsigned long long>(job.m_expectedFlags), when);
    if (GetActiveJobPriority() != group.m_priority)
        s_failure.Report("job %u runs at priority %d, wanted %d (%s)", index,
                         static_cast<int>(GetActiveJobPriority()), static_cast<int>(group.m_priority), when);
    const U64 affinity = locked ? 1ull << startWorker : group.m_affinity;
    if (GetActiveJobAffinityMask() != affinity)
        s_failure.Report("job %u has affinity 0x%llx, wanted 0x%llx (%s)", index,
                         static_cast<unsigned long long>(GetActiveJobAffinityMask()),
                         static_cast<unsigned long long>(affinity), when);
}

// A little arithmetic, so that jobs take different times.
U64 Work(U64 seed, U32 steps)
{
    U64 x = seed | 1;
    for (U32 i = 0; i < steps; ++i)
    {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
    }
    return x;
}

// Uses most of a 64 KiB stack: it would overflow a 16 KiB fiber into its guard page.
OX_NOINLINE void UseLargeStack(U64 seed)
{
    volatile U8 block[40 * 1024];
    for (U64 i = 0; i < sizeof(block); i += 256)
        block[i] = static_cast<U8>(seed + i);
    U64 sum = 0;
    for (U64 i = 0; i < sizeof(block); i += 256)
        sum += block[i];
    if (sum == ~0ull)
        s_failure.Report("impossible stack sum");
}

// Submits one group of the plan, from the host or from the job that spawns it. With
// pWaitCounter, RunJobs makes the counter that its jobs count down.
void SubmitGroup(Round& round, U32 groupIndex, CounterHandle* pWaitCounter)
{
    const PlanGroup& group = round.m_plan.m_groups[groupIndex];
    JobDecl* pDecls = &round.m_decls[group.m_firstJob];
    switch (group.m_submit)
    {
    case Submit::kJobArray:
    {
        const PlanDependency& dependency = group.m_dep;
        JobArray* pJobArray =
            dependency.m_counter == kNone
                ? BeginJobArray(group.m_numJobs, group.m_priority, group.m_affinity)
                : BeginJobArray(group.m_numJobs, round.m_counters[dependency.m_counter], dependency.m_value,
                                dependency.m_compare, group.m_priority, group.m_affinity);
        if (!pJobArray)
        {
            s_failure.Report("the job array pool ran out at group %u", groupIndex);
            return;
        }
        U32 added = 0;
        for (U32 call = 0; call < group.m_numAddCalls; ++call)
        {
            const U32 end = group.m_numJobs * (call + 1) / group.m_numAddCalls;
            if (AddJobs(pJobArray, pDecls + added, end - added) != end - added)
                s_failure.Report("AddJobs of group %u added fewer jobs than asked", groupIndex);
            added = end;
        }
        CommitJobArray(pJobArray);
        break;
    }
    case Submit::kRunJobs:
        RunJobs(pDecls, group.m_numJobs, pWaitCounter, group.m_priority, group.m_affinity,
                group.m_waitRestriction, OX_JOB_SOURCE_LOCATION);
        break;
    case Submit::kRunJob:
        for (U32 i = 0; i < group.m_numJobs; ++i)
        {
            const U32 index = group.m_firstJob + i;
            RunJob(SoakJob, index, round.m_plan.m_jobs[index].m_flags, group.m_priority, group.m_affinity);
        }
        break;
    }
}

void SoakJob(U64 startArg)
{
    Round& round = *s_pRound;
    const U32 index = static_cast<U32>(startArg);
    const PlanJob& job = round.m_plan.m_jobs[index];
    const PlanGroup& group = round.m_plan.m_groups[job.m_group];
    JobState& state = round.m_states[index];
    if (state.m_runs.fetch_add(1, std::memory_order_relaxed) != 0)
        s_failure.Report("job %u ran more than once", index);
    const U64 startWorker = static_cast<U64>(ReadWorkerIndex());
    CheckPlacement(round, index, startWorker, "at its start");
    CheckHeld(round, index, job.m_deps[0], "first dependency");
    CheckHeld(round, index, job.m_deps[1], "second dependency");
    CheckHeld(round, index, group.m_dep, "job array's dependency");
    if (Work(startArg, job.m_work) == 0)
        s_failure.Report("impossible work result");

    switch (job.m_body)
    {
    case Body::kWait:
        WaitForCounter(round.m_counters[job.m_wait.m_counter], job.m_wait.m_value, job.m_wait.m_compare);
        CheckHeld(round, index, job.m_wait, "wait");
        CheckPlacement(round, index, startWorker, "after waiting");
        break;
    case Body::kYield:
        for (U32 i = 0; i < job.m_yields; ++i)
        {
            Yield();
            CheckPlacement(round, index, startWorker, "after yielding");
        }
        break;
    case Body::kSpawn:
        for (U32 g = 0; g < job.m_numChildGroups; ++g)
            SubmitGroup(round, job.m_childGroups[g], nullptr);
        break;
    case Body::kSpawnAndWait:
    {
        CounterHandle children;
        SubmitGroup(round, job.m_childGroups[0], &children);
        for (U32 g = 1; g < job.m_numChildGroups; ++g)
            SubmitGroup(round, job.m_childGroups[g], nullptr);
        const PlanGroup& waited = round.m_plan.m_groups[job.m_childGroups[0]];
        WaitForCounterAndFree(children, 0, waited.m_waitCompare);
        CheckPlacement(round, index, startWorker, "after waiting for its jobs");
        for (U32 i = 0; i < waited.m_numJobs; ++i)
        {
            const U32 child = waited.m_firstJob + i;
            if (round.m_plan.m_jobs[child].m_body != Body::kBarrier &&
                !round.m_states[child].m_finished.load(std::memory_order_acquire))
                s_failure.Report("job %u stopped waiting before its job %u had finished", index, child);
        }
        break;
    }
    case Body::kBarrier:
    case Body::kWork:
        break;
    }
    if (job.m_flags & kLargeStack)
        UseLargeStack(startArg);

    state.m_finished.store(1, std::memory_order_release);
    if (job.m_countsDownByHand)
        AddToCounter(round.m_counters[job.m_counter], -1);
}
OX_JOB_DESCRIPTOR(SoakJob);

void BuildDeclarations(Round& round)
{
    const Plan& plan = round.m_plan;
    round.m_decls.assign(plan.m_jobs.size(), JobDecl());
    for (U32 i = 0; i < plan.m_jobs.size(); ++i)
    {
        const PlanJob& job = plan.m_jobs[i];
        JobDecl& decl = round.m_decls[i];
        if (job.m_body != Body::kBarrier)
        {
            decl.m_pStartFunc = SoakJob;
            decl.m_startArg = i;
        }
        if (job.m_counter != kNone && !job.m_countsDownByHand)
            decl.m_associatedCounter = round.m_counters[job.m_counter].m_pCounter;
        if (job.m_deps[0].m_counter != kNone)
        {
            decl.m_dependentCounter = round.m_counters[job.m_deps[0].m_counter].m_pCounter;
            decl.m_dependentValue = job.m_deps[0].m_value;
            decl.m_dependentCompare = job.m_deps[0].m_compare;
        }
        if (job.m_deps[1].m_counter != kNone)
        {
            decl.m_dependentCounter2 = round.m_counters[job.m_deps[1].m_counter].m_pCounter;
            decl.m_dependentValue2 = job.m_deps[1].m_value;
            decl.m_dependentCompare2 = job.m_deps[1].m_compare;
        }
        decl.m_flags = job.m_flags;
    }
}

// --- What the job system holds -------------------------------------------------------------------

// The pool use that PrintJobSystemData reports.
struct PoolUse
{
    int m_counters = -1;
    int m_jobArrays = -1;
    int m_waitContexts = -1;
};

PoolUse ReadPoolUse()
{
    DoutCaptureScope capture(2);
    PrintJobSystemData();
    const std::string& text = capture.Text();
    auto used = [&text](const char* label)
    {
        const size_t at = text.find(label);
        int count = -1;
        if (at != std::string::npos)
            std::sscanf(text.c_str() + at + strlen(label), "%d", &count);
        return count;
    };
    PoolUse use;
    use.m_counters = used("Counters:");
    use.m_jobArrays = used("Job Array:");
    use.m_waitContexts = used("Wait Context:");
    return use;
}

// Work the job system holds outside its pools, read under the locks that guard it.
struct HeldWork
{
    U64 m_waitingJobs = 0;
    U64 m_waitingJobArrays = 0;
    U64 m_wokenUp = 0; // jobs and job arrays in the wake-up rings and the priorities' lists
    U64 m_fibersInUse = 0;
};

HeldWork ReadHeldWork()
{
    JobSysData& data = *g_pJobSysData;
    HeldWork held;
    data.m_waitLock.Lock("soak test");
    held.m_waitingJobs = data.m_numWaitingJobs.load();
    held.m_waitingJobArrays = data.m_numWaitingJobArrays;
    data.m_waitLock.Unlock();
    data.m_wakeUpLock.Lock("soak test");
    held.m_wokenUp = data.m_wokenUpJobs.m_count.load() + data.m_wokenUpJobArrays.m_count.load();
    data.m_wakeUpLock.Unlock();
    for (U64 p = 0; p < static_cast<U64>(Priority::kNumPriorities); ++p)
        held.m_wokenUp += data.m_pSchedData[p].m_numWokenUpJobs.load();
    data.m_fiberLock.Lock("soak test");
    held.m_fibersInUse = data.m_smallFiberBits.CountSetBits() + data.m_largeFiberBits.CountSetBits();
    data.m_fiberLock.Unlock();
    return held;
}

U64 JobDeclPoolFreeBytes()
{
    JobSysData& data = *g_pJobSysData;
    data.m_jobArrayLock.Lock("soak test");
    const U64 freeBytes = data.m_jobDeclAllocator.CalculateFreeSize();
    data.m_jobArrayLock.Unlock();
    return freeBytes;
}

// --- The host -----------------------------------------------------------------------------------------

class SoakRun
{
public:
    SoakRun(const WorkerSetup& setup, U64 seed, const PlanLimits& limits)
        : m_setup(setup), m_random(seed), m_limits(limits)
    {
    }

    // Runs one random graph and checks it; false with the reason when something is wrong.
    bool RunRound(U64 roundIndex, U64& jobsInRound, std::string& failure)
    {
        // A stuck round's jobs may still run later: it is then left to them, never freed.
        auto pRound = std::make_unique<Round>();
        Round& round = *pRound;
        PlanGenerator generator(m_random, m_setup, m_limits);
        generator.Generate(round.m_plan, static_cast<U32>(m_random.Between(32, 256)));
        const Plan& plan = round.m_plan;
        jobsInRound = plan.m_jobs.size();
        round.m_states.reset(new JobState[plan.m_jobs.size()]);
        for (U32 c = 0; c < plan.m_counters.size(); ++c)
        {
            const PlanCounter& counter = plan.m_counters[c];
            round.m_counters.push_back(
                c % 2 ? OX_ALLOCATE_COUNTER(counter.m_initial, counter.m_restriction)
                      : AllocateCounter(counter.m_initial, counter.m_restriction, OX_JOB_SOURCE_LOCATION));
        }
        BuildDeclarations(round);
        s_pRound = &round;

        std::vector<U32> hostGroups = plan.m_hostGroups;
        for (U64 i = hostGroups.size(); i > 1; --i)
            std::swap(hostGroups[i - 1], hostGroups[m_random.Below(i)]);
        for (U32 group : hostGroups)
            SubmitGroup(round, group, nullptr);

        if (!WaitForFinalValues(round))
        {
            failure = "round " + std::to_string(roundIndex) + " did not finish: " + DescribeStuckRound(round);
            (void)pRound.release();
            return false;
        }
        // From a plain thread too: each returns at once.
        for (U32 c = 0; c < plan.m_counters.size(); ++c)
            WaitForCounter(round.m_counters[c], plan.m_counters[c].m_final, kCompareEqual);

        char text[256] = {};
        for (U32 i = 0; i < plan.m_jobs.size() && !text[0]; ++i)
        {
            const U32 runs = round.m_states[i].m_runs.load();
            const U32 finished = round.m_states[i].m_finished.load();
            const bool barrier = plan.m_jobs[i].m_body == Body::kBarrier;
            if (!barrier && (runs != 1 || finished != 1))
                snprintf(text, sizeof(text), "job %u ran %u times and finished %u times", i, runs, finished);
        }
        for (U32 c = 0; c < plan.m_counters.size(); ++c)
        {
            if (c % 2)
                FreeCounter(round.m_counters[c]);
            else
                WaitForCounterAndFree(round.m_counters[c], plan.m_counters[c].m_final);
        }
        if (s_failure.Failed())
            snprintf(text, sizeof(text), "%s", s_failure.Text().c_str());
        if (!text[0])
            CheckNothingHeld(text, sizeof(text));
        s_pRound = nullptr;
        if (text[0])
        {
            failure = "round " + std::to_string(roundIndex) + ": " + text;
            return false;
        }
        return true;
    }

    // Job arrays whose last job was taken stay registered until a worker's next look frees
    // them: wait for that, then every pool must be as it was at the start.
    bool CheckPoolsEmpty(U64 declPoolFreeBytes, std::string& failure)
    {
        const auto deadline = std::chrono::steady_clock::now() + kArraysFreedWithin;
        PoolUse use = ReadPoolUse();
        while (use.m_jobArrays != 0 && std::chrono::steady_clock::now() < deadline)
        {
            std::this_thread::yield();
            use = ReadPoolUse();
        }
        char text[256] = {};
        if (use.m_counters != 0 || use.m_jobArrays != 0 || use.m_waitContexts != 0)
            snprintf(text, sizeof(text),
                     "pools in use at the end: %d counters, %d job arrays, %d wait contexts", use.m_counters,
                     use.m_jobArrays, use.m_waitContexts);
        else if (JobDeclPoolFreeBytes() != declPoolFreeBytes)
            snprintf(text, sizeof(text),
                     "the job declaration pool has %llu bytes free at the end, %llu at the start",
                     static_cast<unsigned long long>(JobDeclPoolFreeBytes()),
                     static_cast<unsigned long long>(declPoolFreeBytes));
        else
            CheckNothingHeld(text, sizeof(text));
        failure = text;
        return !text[0];
    }

private:
    // False when the round is stuck, or when a counter fell below its final value: counted
    // down once too often, it would never come back.
    bool WaitForFinalValues(const Round& round) const
    {
        const auto deadline = std::chrono::steady_clock::now() + kStuckAfter;
        for (U64 turn = 0;; ++turn)
        {
            bool done = true;
            for (U32 c = 0; c < round.m_plan.m_counters.size(); ++c)
            {
                const I64 value = GetCounterValue(round.m_counters[c]);
                if (value < round.m_plan.m_counters[c].m_final)
                    return false;
                done = done && value == round.m_plan.m_counters[c].m_final;
            }
            if (done)
                return true;
            if (turn % 1024 == 0 && std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::yield();
        }
    }

    std::string DescribeStuckRound(const Round& round) const
    {
        const Plan& plan = round.m_plan;
        std::string text = s_failure.Failed() ? s_failure.Text() : std::string();
        char line[160];
        for (U32 c = 0; c < plan.m_counters.size(); ++c)
        {
            const I64 value = GetCounterValue(round.m_counters[c]);
            if (value == plan.m_counters[c].m_final)
                continue;
            snprintf(line, sizeof(line), "\n  counter %u is %lld, final %lld (start %lld, %u producers)", c,
                     static_cast<long long>(value), static_cast<long long>(plan.m_counters[c].m_final),
                     static_cast<long long>(plan.m_counters[c].m_initial), plan.m_counters[c].m_producers);
            text += line;
        }
        U32 shown = 0;
        for (U32 i = 0; i < plan.m_jobs.size() && shown < 20; ++i)
        {
            const PlanJob& job = plan.m_jobs[i];
            if (job.m_body == Body::kBarrier || round.m_states[i].m_finished.load())
                continue;
            ++shown;
            snprintf(line, sizeof(line),
                     "\n  job %u (body %d, flags 0x%llx, group %u) ran %u times, not finished", i,
                     static_cast<int>(job.m_body), static_cast<unsigned long long>(job.m_flags), job.m_group,
                     round.m_states[i].m_runs.load());
            text += line;
            const PlanDependency* conditions[] = {&job.m_deps[0], &job.m_deps[1],
                                                  &plan.m_groups[job.m_group].m_dep, &job.m_wait};
            const char* names[] = {"first dependency", "second dependency", "job array's dependency", "wait"};
            for (U32 d = 0; d < 4; ++d)
            {
                const PlanDependency& dependency = *conditions[d];
                if (dependency.m_counter == kNone)
                    continue;
                snprintf(line, sizeof(line), "; %s: counter %u %s %lld", names[d], dependency.m_counter,
                         CompareText(dependency.m_compare), static_cast<long long>(dependency.m_value));
                text += line;
            }
        }
        const HeldWork held = ReadHeldWork();
        snprintf(line, sizeof(line),
                 "\n  %llu waiting jobs, %llu waiting job arrays, %llu woken up, %llu fibers in use",
                 static_cast<unsigned long long>(held.m_waitingJobs),
                 static_cast<unsigned long long>(held.m_waitingJobArrays),
                 static_cast<unsigned long long>(held.m_wokenUp),
                 static_cast<unsigned long long>(held.m_fibersInUse));
        text += line;
        return text;
    }

    // With no job left, nothing waits, nothing is woken and every worker holds one fiber.
    void CheckNothingHeld(char* text, size_t size) const
    {
        const PoolUse use = ReadPoolUse();
        const HeldWork held = ReadHeldWork();
        const U64 numWorkers = m_setup.m_numRegular + m_setup.m_numEmergency;
        if (use.m_counters != 0 || use.m_waitContexts != 0 || held.m_waitingJobs != 0 ||
            held.m_waitingJobArrays != 0 || held.m_wokenUp != 0 || held.m_fibersInUse != numWorkers)
            snprintf(
                text, size,
                "left behind: %d counters, %d wait contexts, %llu waiting jobs, %llu waiting job arrays, "
                "%llu woken up, %llu fibers in use by %llu workers",
                use.m_counters, use.m_waitContexts, static_cast<unsigned long long>(held.m_waitingJobs),
                static_cast<unsigned long long>(held.m_waitingJobArrays),
                static_cast<unsigned long long>(held.m_wokenUp),
                static_cast<unsigned long long>(held.m_fibersInUse),
                static_cast<unsigned long long>(numWorkers));
    }

    const WorkerSetup& m_setup;
    SoakRandom m_random;
    PlanLimits m_limits;
};

class JobSoak : public testing::TestWithParam<WorkerSetup>
{
};

TEST_P(JobSoak, RandomJobGraphsRunCorrectly)
{
    const WorkerSetup& setup = GetParam();
    const U64 totalJobs = ReadEnvironment("OX_SOAK_JOBS", OX_SOAK_DEFAULT_JOBS);
    const U64 numJobs = std::max<U64>(1, totalJobs * setup.m_sharePercent / 100);
    const U64 seed = BaseSeed();
    const std::string repeat =
        "OX_SOAK_SEED=" + std::to_string(seed) + " OX_SOAK_JOBS=" + std::to_string(totalJobs);
    printf("[   soak   ] %s: %llu jobs, seed %llu (repeat: %s)\n", setup.m_name,
           static_cast<unsigned long long>(numJobs), static_cast<unsigned long long>(seed), repeat.c_str());
    fflush(stdout);

    InitParams params = SoakParams(setup);
    // A trace ring per worker, written on every job start, completion and switch.
    constexpr U64 kTraceBytes = kMaxWorkerThreads * 48 * 64;
    std::unique_ptr<void, void (*)(void*)> trace(::operator new(kTraceBytes, std::align_val_t(128)),
                                                 [](void* p)
                                                 { ::operator delete(p, std::align_val_t(128)); });
    params.m_pTraceMemoryBuffer = trace.get();
    params.m_traceMemoryBufferSize = kTraceBytes;
    JobSystemHost host(params, 4u << 20);
    host.Start();
    const U64 declPoolFreeBytes = JobDeclPoolFreeBytes();
    s_failure.Reset();

    // Each setup draws its own graphs from the seed.
    SoakRun run(setup, seed ^ ((setup.m_numRegular << 8 | setup.m_numEmergency) * 0x9E3779B97F4A7C15ull),
                LimitsFor(host.m_params));
    const auto start = std::chrono::steady_clock::now();
    U64 jobsRun = 0;
    U64 rounds = 0;
    std::string failure;
    bool ok = true;
    while (ok && jobsRun < numJobs)
    {
        U64 jobsInRound = 0;
        ok = run.RunRound(rounds, jobsInRound, failure);
        jobsRun += jobsInRound;
        ++rounds;
    }
    if (ok)
        ok = run.CheckPoolsEmpty(declPoolFreeBytes, failure);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    printf("[   soak   ] %s: %llu jobs in %llu rounds, %.1f s (%.0f jobs/s)\n", setup.m_name,
           static_cast<unsigned long long>(jobsRun), static_cast<unsigned long long>(rounds), seconds,
           seconds > 0 ? jobsRun / seconds : 0.0);
    EXPECT_TRUE(ok) << setup.m_name << ", " << failure << "\n  repeat with " << repeat
                    << " --gtest_filter=*JobSoak*" << setup.m_name;
}

INSTANTIATE_TEST_SUITE_P(Workers, JobSoak, testing::ValuesIn(kWorkerSetups),
                         [](const testing::TestParamInfo<WorkerSetup>& info) { return info.param.m_name; });
} // namespace
