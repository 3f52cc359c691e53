// The job system against two peer libraries, each measured in the same run on the same two
// cores: oneTBB (task_group) and Boost.Fiber (fibers, mutex and condition variable).
//
//   EmptyJobs  100,000 empty jobs submitted from the host thread in job arrays of the given
//              size and waited for through one counter, against 100,000 empty lambdas run in
//              one tbb::task_group.
//   Tree       a tree of fan-out 8 and depth 5 (37,449 jobs): every inner job submits its 8
//              children and waits for them on a counter, by fiber switch; children are one
//              priority more urgent than their parent, so the tree runs depth-first. Against
//              one tbb::task_group per inner node, whose wait runs other tasks.
//   PingPong   two jobs handing a turn back and forth through two counters, 10,000 round
//              trips, against two Boost.Fiber fibers doing the same through a fiber mutex and
//              condition variable (on one thread, and on two spinning threads sharing their
//              fibers), and against oneTBB (a task per turn, and an atomic handshake between
//              two running tasks).
//
// The empty jobs and the tree, and the job system's start, are the shared workloads of
// job-workloads.h (job-scaling-bench runs them over batch sizes and worker counts).
//
// The job system runs two regular workers and no emergency worker. Its workers spin while
// idle (power save off, the default) during its own benchmarks; the "powersave" variants
// measure the same work with power save on. Between its benchmarks power save is on, so
// that the sleeping workers leave both cores to the peers.
//
// How the host thread waits for a job system batch matters on two cores. "wait:counter":
// WaitForCounter, which on a plain thread yields its processor in a loop; the host stays
// runnable, so three threads share the two cores and the scheduler either parks both
// workers on one core or makes the host wait for a time slice before it sees the end.
// "wait:event": the batch's last job sets an event on which the host sleeps, leaving one
// core to each worker; the host then waits for the counter, which has all but reached its
// target. The same jobs run in both. The peers' waiting threads take part in the work.
//
// All times are wall-clock time (the work runs on worker threads, not on the timing
// thread); each iteration is one whole batch, and the per_job / per_round_trip column
// divides it by the batch's jobs or round trips. The table at the end gives how many times
// faster the job system ran than each peer: 1.0 or more means at most the peer's time.
#include "corelib/job/job-system.h"
#include "corelib/job/job-types.h"
#include "corelib/system/platform/cpu-pause.h"

#include "bench/bench-main.h"
#include "bench/job-workloads.h"

#include <benchmark/benchmark.h>
#include <boost/fiber/algo/shared_work.hpp>
#include <boost/fiber/all.hpp>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/task_arena.h>
#include <oneapi/tbb/task_group.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace
{
using jobbench::HostWait;
using jobbench::PowerSaveScope;
using jobbench::SetPerUnit;
using jobbench::WaitForBatch;
using oxjob::CounterHandle;
using oxjob::JobDecl;
using oxjob::Priority;

constexpr U64 kNumWorkers = 2;
// The workers of the ping-pong that measures wake-ups with more workers than cores.
constexpr U64 kOversubscribedWorkers = 24;

// --- The job system, started once for the whole run -------------------------------------------

constexpr U64 kEmptyJobs = 100000;
constexpr U64 kTreeDepth = 5; // edges from the root to a leaf: six levels, priorities 8 down to 3
constexpr U64 kRoundTrips = 10000;
constexpr U64 kTreeNodes = jobbench::TreeNodeCount(kTreeDepth);
static_assert(kTreeNodes == 37449, "fan-out 8, depth 5");
static_assert(kTreeDepth <= jobbench::kMaxTreeDepth, "one priority per level");

// The fibers the tree needs (jobbench::TreeFibersEstimate): 2 + 5 * 4 = 22 on two workers
// (the "fibers" column reports the peak seen: 11). The pool of 64 leaves a margin of almost
// three over the estimate.
constexpr U64 kSmallJobFibers = 64;
static_assert(kSmallJobFibers >= 2 * jobbench::TreeFibersEstimate(kNumWorkers, kTreeDepth) &&
                  kSmallJobFibers <= oxjob::kMaxSmallJobFibers,
              "the pool holds the tree with a margin");

// --- 1. Empty jobs --------------------------------------------------------------------------------

// extraFlags: added to every empty job's flags.
void BM_JobEmptyJobs(benchmark::State& state, U64 arraySize, U64 extraFlags, bool powerSaveEnabled,
                     HostWait hostWait)
{
    PowerSaveScope powerSave(powerSaveEnabled);
    jobbench::EmptyJobBatches batches(kEmptyJobs, extraFlags);
    for (auto _ : state)
        batches.Run(kEmptyJobs, arraySize, hostWait);
    SetPerUnit(state, "per_job", kEmptyJobs);
}

void BM_TbbEmptyJobs(benchmark::State& state)
{
    for (auto _ : state)
        jobbench::RunTbbEmptyJobs(kEmptyJobs);
    SetPerUnit(state, "per_job", kEmptyJobs);
}

// --- 2. A tree of waiting jobs --------------------------------------------------------------------

void BM_JobTree(benchmark::State& state, bool powerSaveEnabled, HostWait hostWait)
{
    PowerSaveScope powerSave(powerSaveEnabled);
    jobbench::ResetTreePeakWaiting();
    for (auto _ : state)
        jobbench::RunJobTree(kTreeDepth, hostWait);
    SetPerUnit(state, "per_job", kTreeNodes);
    // Fibers in use at the peak: the waiting jobs' and one per worker.
    state.counters["fibers"] = static_cast<double>(jobbench::GetTreePeakWaiting() + kNumWorkers);
}

void BM_TbbTree(benchmark::State& state)
{
    for (auto _ : state)
        jobbench::RunTbbTree(kTreeDepth);
    SetPerUnit(state, "per_job", kTreeNodes);
}

// --- 3. Ping-pong ------------------------------------------------------------------------------------

// Two counters start at kRoundTrips. The ping job counts its counter down by one and waits
// for the pong counter to follow; the pong job waits for each ping and answers by counting
// its own down. kNoWaitRestriction lets them wait for any value.
struct PingPongCounters
{
    CounterHandle m_ping;
    CounterHandle m_pong;
    U32 m_compare;
};
PingPongCounters s_pingPong;

void PingJob(U64)
{
    for (U64 i = 1; i <= kRoundTrips; ++i)
    {
        oxjob::AddToCounter(s_pingPong.m_ping, -1);
        oxjob::WaitForCounter(s_pingPong.m_pong, static_cast<I64>(kRoundTrips - i), s_pingPong.m_compare);
    }
}

void PongJob(U64)
{
    for (U64 i = 1; i <= kRoundTrips; ++i)
    {
        oxjob::WaitForCounter(s_pingPong.m_ping, static_cast<I64>(kRoundTrips - i), s_pingPong.m_compare);
        oxjob::AddToCounter(s_pingPong.m_pong, -1);
    }
    jobbench::SignalBatchFinished();
}

// workers: how many workers the two jobs may run on (1: worker 0 only, 2: either).
void BM_JobPingPong(benchmark::State& state, U32 compare, U64 workers, bool powerSaveEnabled,
                    HostWait hostWait)
{
    s_pingPong.m_compare = compare;
    const U64 affinityMask = workers == 1 ? 0x1 : ~0ull;
    PowerSaveScope powerSave(powerSaveEnabled);
    s_pingPong.m_ping = OX_ALLOCATE_COUNTER(0, oxjob::kNoWaitRestriction);
    s_pingPong.m_pong = OX_ALLOCATE_COUNTER(0, oxjob::kNoWaitRestriction);
    for (auto _ : state)
    {
        oxjob::SetCounterValue(s_pingPong.m_ping, static_cast<I64>(kRoundTrips));
        oxjob::SetCounterValue(s_pingPong.m_pong, static_cast<I64>(kRoundTrips));
        alignas(64) JobDecl decls[2];
        decls[0].m_pStartFunc = PingJob;
        decls[1].m_pStartFunc = PongJob;
        CounterHandle done;
        oxjob::RunJobs(decls, 2, &done, Priority{3}, affinityMask, oxjob::kWaitForZeroOnly,
                       OX_JOB_SOURCE_LOCATION);
        WaitForBatch(done, hostWait);
    }
    oxjob::FreeCounter(s_pingPong.m_ping);
    oxjob::FreeCounter(s_pingPong.m_pong);
    SetPerUnit(state, "per_round_trip", kRoundTrips);
}

// Two fibers hand a turn (even: ping's, odd: pong's) through a fiber mutex and condition
// variable, as the two jobs do through their counters.
void RunBoostPingPong()
{
    boost::fibers::mutex mutex;
    boost::fibers::condition_variable turnChanged;
    U64 turn = 0;
    auto player = [&](U64 parity)
    {
        for (U64 i = 0; i < kRoundTrips; ++i)
        {
            std::unique_lock<boost::fibers::mutex> lock(mutex);
            turnChanged.wait(lock, [&] { return turn % 2 == parity; });
            ++turn;
            turnChanged.notify_one();
        }
    };
    boost::fibers::fiber ping(player, 0);
    boost::fibers::fiber pong(player, 1);
    ping.join();
    pong.join();
}

// Both fibers on the timing thread, under Boost.Fiber's default round-robin scheduler.
void BM_BoostFiberPingPongOneThread(benchmark::State& state)
{
    for (auto _ : state)
        RunBoostPingPong();
    SetPerUnit(state, "per_round_trip", kRoundTrips);
}

// Two threads that share their fibers (shared_work) and spin while idle, as the job
// system's two workers do with power save off: either fiber may run on either thread.
// The benchmark loop runs on one of them; the other serves fibers until the loop ends.
void BM_BoostFiberPingPongTwoThreads(benchmark::State& state)
{
    boost::fibers::mutex finishedMutex;
    boost::fibers::condition_variable finishedChanged;
    bool finished = false;
    std::thread helper(
        [&]
        {
            boost::fibers::use_scheduling_algorithm<boost::fibers::algo::shared_work>(false);
            std::unique_lock<boost::fibers::mutex> lock(finishedMutex);
            finishedChanged.wait(lock, [&] { return finished; });
        });
    std::thread driver(
        [&]
        {
            boost::fibers::use_scheduling_algorithm<boost::fibers::algo::shared_work>(false);
            for (auto _ : state)
                RunBoostPingPong();
            std::unique_lock<boost::fibers::mutex> lock(finishedMutex);
            finished = true;
            finishedChanged.notify_all();
        });
    driver.join();
    helper.join();
    SetPerUnit(state, "per_round_trip", kRoundTrips);
}

// Each turn is a task that spawns the next turn's task into the same task_group: two
// spawns per round trip.
void TbbTurn(tbb::task_group& group, U64 turn)
{
    if (turn == 2 * kRoundTrips)
        return;
    group.run([&group, turn] { TbbTurn(group, turn + 1); });
}

void BM_TbbPingPongSpawn(benchmark::State& state)
{
    for (auto _ : state)
    {
        tbb::task_group group;
        TbbTurn(group, 0);
        group.wait();
    }
    SetPerUnit(state, "per_round_trip", kRoundTrips);
}

// Two running tasks hand the turn through one atomic, spinning: the bare cost of the
// exchange between two threads, with no scheduler on the way. A player that has spun for
// a while yields its core, so that a machine with other work still lets the two meet; a
// round trip then costs a time slice instead (tens of microseconds), so this figure is
// only meaningful on otherwise idle cores.
void BM_TbbPingPongAtomic(benchmark::State& state)
{
    if (tbb::this_task_arena::max_concurrency() < 2)
    {
        state.SkipWithError("Needs two threads in the arena");
        return;
    }
    for (auto _ : state)
    {
        std::atomic<U64> turn{0};
        auto player = [&turn](U64 parity)
        {
            for (U64 i = 0; i < kRoundTrips; ++i)
            {
                const U64 mine = 2 * i + parity;
                for (U64 spins = 1; turn.load(std::memory_order_acquire) != mine; ++spins)
                {
                    if (spins % 1024 == 0)
                        std::this_thread::yield();
                    else
                        oxsys::CpuPause();
                }
                turn.store(mine + 1, std::memory_order_release);
            }
        };
        tbb::task_group group;
        group.run([&] { player(0); });
        group.run([&] { player(1); });
        group.wait();
    }
    SetPerUnit(state, "per_round_trip", kRoundTrips);
}

// --- Registration and the ratio table -------------------------------------------------------------

std::unique_ptr<tbb::global_control> s_pTbbThreads;

using oxjob::SchedulingPolicy;

// Runs the job system with the policy and worker count, restarting it when it runs others.
void UsePolicy(SchedulingPolicy policy, U64 numWorkers = kNumWorkers)
{
    jobbench::JobSystemSetup setup;
    setup.m_numWorkers = numWorkers;
    setup.m_smallJobFibers = kSmallJobFibers;
    setup.m_policy = policy;
    jobbench::UseJobSystem(setup);
}

void SetUp()
{
    // oneTBB on as many threads as the job system has workers (the timing thread counts).
    s_pTbbThreads = std::make_unique<tbb::global_control>(tbb::global_control::max_allowed_parallelism,
                                                          static_cast<size_t>(kNumWorkers));
    UsePolicy(SchedulingPolicy::kSharedLists);
}

void TearDown()
{
    jobbench::StopJobSystem();
    s_pTbbThreads.reset();
}

// Registers a peer's benchmark, timed in wall-clock time, and returns its printed name.
std::string RegisterPeer(const std::string& name, void (*pFunction)(benchmark::State&))
{
    benchmark::RegisterBenchmark(name.c_str(), pFunction)->UseRealTime()->Unit(benchmark::kMillisecond);
    return name + "/real_time";
}

// Registers a job system benchmark, named after its variant; the function's last two
// arguments are the power-save setting and the host's wait. The job system runs the policy
// and numWorkers regular workers during the benchmark (the name says how many when they
// are not the two of the other benchmarks). Returns the printed name.
template <typename Function, typename... Args>
std::string RegisterJobOn(U64 numWorkers, std::string name, SchedulingPolicy policy, bool powerSave,
                          HostWait hostWait, Function pFunction, Args... args)
{
    name += hostWait == HostWait::kEvent ? "/wait:event" : "/wait:counter";
    if (powerSave)
        name += "/powersave";
    name += jobbench::PolicyLabel(policy);
    benchmark::RegisterBenchmark(name.c_str(),
                                 [=](benchmark::State& state)
                                 {
                                     UsePolicy(policy, numWorkers);
                                     pFunction(state, args..., powerSave, hostWait);
                                 })
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
    return name + "/real_time";
}

// The same on two workers.
template <typename Function, typename... Args>
std::string RegisterJob(std::string name, SchedulingPolicy policy, bool powerSave, HostWait hostWait,
                        Function pFunction, Args... args)
{
    return RegisterJobOn(kNumWorkers, name, policy, powerSave, hostWait, pFunction, args...);
}
} // namespace

BenchProgram DescribeBenchProgram()
{
    BenchProgram program;
    program.m_title = "Times faster than the peer, wall-clock (>= 1.00: at most the peer's time; same run):";
    program.m_pSetUp = SetUp;
    program.m_pTearDown = TearDown;
    auto pair = [&program](const std::string& ours, const std::string& peer)
    { program.m_pairs.emplace_back(ours, peer); };
    const HostWait event = HostWait::kEvent;
    const HostWait counter = HostWait::kCounter;
    const SchedulingPolicy shared = SchedulingPolicy::kSharedLists;
    const SchedulingPolicy local = SchedulingPolicy::kWorkerLocalLists;

    // 1. Empty jobs: array sizes from 128 jobs (782 arrays, within the pool of 1,024) to
    // all 100,000 in one array. With 1,024: the host waiting on the counter, power save
    // on, and jobs that skip the two activity time stamps of each job.
    const std::string tbbEmpty = RegisterPeer("BM_TbbEmptyJobs", BM_TbbEmptyJobs);
    for (const U64 arraySize : {U64{128}, U64{1024}, U64{16384}, U64{100000}})
    {
        const std::string name = "BM_JobEmptyJobs/array:" + std::to_string(arraySize);
        pair(RegisterJob(name, shared, false, event, BM_JobEmptyJobs, arraySize, U64{0}), tbbEmpty);
    }
    pair(
        RegisterJob("BM_JobEmptyJobs/array:1024", shared, false, counter, BM_JobEmptyJobs, U64{1024}, U64{0}),
        tbbEmpty);
    pair(RegisterJob("BM_JobEmptyJobs/array:1024", shared, true, event, BM_JobEmptyJobs, U64{1024}, U64{0}),
         tbbEmpty);
    pair(RegisterJob("BM_JobEmptyJobs/array:1024/noactivitytracking", shared, false, event, BM_JobEmptyJobs,
                     U64{1024}, U64{oxjob::kNoActivityTracking}),
         tbbEmpty);

    for (const bool powerSave : {false, true})
    {
        const std::string name = RegisterJob("BM_JobEmptyJobs/array:1024", local, powerSave, event,
                                             BM_JobEmptyJobs, U64{1024}, U64{0});
        pair(name, tbbEmpty);
        pair(name, std::string("BM_JobEmptyJobs/array:1024/wait:event") + (powerSave ? "/powersave" : "") +
                       "/real_time");
    }

    // 2. The tree.
    const std::string tbbTree = RegisterPeer("BM_TbbTree", BM_TbbTree);
    pair(RegisterJob("BM_JobTree", shared, false, event, BM_JobTree), tbbTree);
    pair(RegisterJob("BM_JobTree", shared, false, counter, BM_JobTree), tbbTree);
    pair(RegisterJob("BM_JobTree", shared, true, event, BM_JobTree), tbbTree);
    for (const bool powerSave : {false, true})
    {
        const std::string name = RegisterJob("BM_JobTree", local, powerSave, event, BM_JobTree);
        pair(name, tbbTree);
        pair(name, std::string("BM_JobTree/wait:event") + (powerSave ? "/powersave" : "") + "/real_time");
    }

    // 3. Ping-pong: both compare kinds on either worker, against Boost.Fiber on two
    // threads; on worker 0 only, against Boost.Fiber on one thread; the host waiting on
    // the counter; power save on.
    const std::string tbbSpawn = RegisterPeer("BM_TbbPingPongSpawn", BM_TbbPingPongSpawn);
    const std::string tbbAtomic = RegisterPeer("BM_TbbPingPongAtomic", BM_TbbPingPongAtomic);
    const std::string boostTwo =
        RegisterPeer("BM_BoostFiberPingPongTwoThreads", BM_BoostFiberPingPongTwoThreads);
    const std::string boostOne =
        RegisterPeer("BM_BoostFiberPingPongOneThread", BM_BoostFiberPingPongOneThread);
    struct PingPongCase
    {
        const char* m_name;
        U32 m_compare;
        U64 m_workers;
        bool m_powerSave;
        HostWait m_hostWait;
        const std::string* m_pBoost;
        SchedulingPolicy m_policy = SchedulingPolicy::kSharedLists;
    };
    const PingPongCase cases[] = {
        {"BM_JobPingPong/equal/workers:2", oxjob::kCompareEqual, 2, false, event, &boostTwo},
        {"BM_JobPingPong/lessorequal/workers:2", oxjob::kCompareLessOrEqual, 2, false, event, &boostTwo},
        {"BM_JobPingPong/equal/workers:1", oxjob::kCompareEqual, 1, false, event, &boostOne},
        {"BM_JobPingPong/equal/workers:2", oxjob::kCompareEqual, 2, false, counter, &boostTwo},
        {"BM_JobPingPong/equal/workers:2", oxjob::kCompareEqual, 2, true, event, &boostTwo},
        {"BM_JobPingPong/equal/workers:2", oxjob::kCompareEqual, 2, false, event, &boostTwo, local},
        {"BM_JobPingPong/equal/workers:2", oxjob::kCompareEqual, 2, true, event, &boostTwo, local},
    };
    // Wake-up latency when the workers outnumber the cores: 24 workers, power save on,
    // against the same on 2 workers.
    for (const SchedulingPolicy policy : {shared, local})
    {
        const std::string name =
            RegisterJobOn(kOversubscribedWorkers, "BM_JobPingPong/equal/workers:24", policy, true, event,
                          BM_JobPingPong, oxjob::kCompareEqual, U64{2});
        pair(name, std::string("BM_JobPingPong/equal/workers:2/wait:event/powersave") +
                       jobbench::PolicyLabel(policy) + "/real_time");
    }
    for (const PingPongCase& c : cases)
    {
        const std::string name = RegisterJob(c.m_name, c.m_policy, c.m_powerSave, c.m_hostWait,
                                             BM_JobPingPong, c.m_compare, c.m_workers);
        pair(name, *c.m_pBoost);
        pair(name, tbbSpawn);
        if (&c == &cases[0])
            pair(name, tbbAtomic);
    }
    return program;
}
