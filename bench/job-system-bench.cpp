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
#include "corelib/job/job-time-critical.h"
#include "corelib/job/job-types.h"
#include "corelib/memory/alloc-stack.h"
#include "corelib/system/platform/cpu-pause.h"
#include "corelib/system/platform/event.h"

#include "bench/bench-main.h"

#include <benchmark/benchmark.h>
#include <boost/fiber/algo/shared_work.hpp>
#include <boost/fiber/all.hpp>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/task_arena.h>
#include <oneapi/tbb/task_group.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

namespace
{
using oxjob::CounterHandle;
using oxjob::JobDecl;
using oxjob::Priority;

constexpr U64 kNumWorkers = 2;

// --- The job system, started once for the whole run -------------------------------------------

constexpr U64 kEmptyJobs = 100000;
constexpr U64 kTreeFanOut = 8;
constexpr U64 kTreeDepth = 5; // edges from the root to a leaf: six levels, priorities 8 down to 3
constexpr U64 kRoundTrips = 10000;

// 1 + 8 + ... + 8^5.
constexpr U64 TreeNodeCount()
{
    U64 count = 0;
    U64 level = 1;
    for (U64 d = 0; d <= kTreeDepth; ++d, level *= kTreeFanOut)
        count += level;
    return count;
}
constexpr U64 kTreeNodes = TreeNodeCount();
static_assert(kTreeNodes == 37449, "fan-out 8, depth 5");
static_assert(kTreeDepth < static_cast<U64>(Priority::kNumPriorities), "one priority per level");

// The fibers the tree needs. A fiber is held by each worker and by each inner job from
// its wait until it resumes (woken or not). Since children are more urgent than their
// parent, a worker starts another sibling at some level only when nothing deeper is
// ready, so at each of the five inner levels only a few jobs wait at once: the one whose
// subtree runs, one sibling per worker started while it ran out, one woken and not yet
// resumed. That estimate is kNumWorkers + 5 * (kNumWorkers + 2) = 22 fibers (the "fibers"
// column reports the peak seen: 11 on two workers). Breadth-first order would need one
// per inner job, 4,681, far more than the largest pool. The pool of 64 leaves a margin of
// almost three over the estimate, because the scheduler reads the queue counts without a
// lock and may now and then start a sibling before it sees its cousins' children; running
// out of fibers ends the program.
constexpr U64 kTreeFibersEstimate = kNumWorkers + kTreeDepth * (kNumWorkers + 2);
constexpr U64 kSmallJobFibers = 64;
static_assert(kSmallJobFibers >= 2 * kTreeFibersEstimate && kSmallJobFibers <= oxjob::kMaxSmallJobFibers,
              "the pool holds the tree with a margin");

// Job declaration pool: all 100,000 declarations may be queued at once (128 bytes each),
// plus the pool allocator's own records.
constexpr U64 kJobDeclPoolBytes = 24u << 20;

struct JobSystemRun
{
    void* m_pBuffer = nullptr;
    U64 m_size = 0;
};
JobSystemRun s_jobSystem;

// Set by the last job of a batch; the host sleeps on it in the "wait:event" variants.
oxsys::Event s_batchFinished;

void StartJobSystem()
{
    if (!Memory::GetThreadAllocStack())
        Memory::InitializeThreadAllocStack();
    oxjob::InitParams params;
    params.m_numWorkerThreads = kNumWorkers;
    params.m_numEmergencyWorkerThreads = 0;
    params.m_numCounters = oxjob::kMaxSupportedCounters;
    params.m_numJobArrays = oxjob::kMaxSupportedJobArrays;
    params.m_maxSmallJobFibers = kSmallJobFibers;
    params.m_maxLargeJobFibers = 0;
    s_jobSystem.m_size = (oxjob::GetRequiredMemoryBufferSize(params) + kJobDeclPoolBytes + 127) & ~127ull;
    s_jobSystem.m_pBuffer = ::operator new(s_jobSystem.m_size, std::align_val_t(128));
    params.m_pMemoryBuffer = s_jobSystem.m_pBuffer;
    params.m_memoryBufferSize = s_jobSystem.m_size;
    if (!oxjob::Initialize(&params).IsSuccess())
    {
        fprintf(stderr, "The job system did not start.\n");
        exit(1);
    }
    // Idle workers sleep while the peers are measured; each job system benchmark chooses.
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

// The power-save setting of one job system benchmark, restored to on (workers asleep) when
// it ends.
class PowerSaveScope
{
public:
    explicit PowerSaveScope(bool enabled) { oxjob::SetPowerSaveEnabled(enabled); }
    ~PowerSaveScope() { oxjob::SetPowerSaveEnabled(true); }
    PowerSaveScope(const PowerSaveScope&) = delete;
    PowerSaveScope& operator=(const PowerSaveScope&) = delete;
};

// How the host thread waits for a job system batch (see the top of the file).
enum class HostWait
{
    kCounter, // WaitForCounter, yielding in a loop
    kEvent,   // asleep on s_batchFinished, then WaitForCounter
};

// Called by the job that finishes a batch.
void SignalBatchFinished()
{
    oxsys::SetEvent(s_batchFinished);
}

// Waits for the batch whose jobs count counter down to 0, then frees the counter.
void WaitForBatch(CounterHandle counter, HostWait hostWait)
{
    if (hostWait == HostWait::kEvent)
        oxsys::WaitForEvent(s_batchFinished, oxsys::kInfinite);
    oxjob::WaitForCounterAndFree(counter, 0);
    oxsys::ResetEvent(s_batchFinished);
}

// The per_job / per_round_trip column: wall-clock time of one iteration over its units.
void SetPerUnit(benchmark::State& state, const char* name, U64 unitsPerIteration)
{
    state.counters[name] =
        benchmark::Counter(static_cast<double>(unitsPerIteration),
                           benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// --- 1. Empty jobs --------------------------------------------------------------------------------

void EmptyJob(U64) {}

// Runs once the batch's counter has reached 0.
void FinishJob(U64)
{
    SignalBatchFinished();
}

// extraFlags: added to every empty job's flags.
void BM_JobEmptyJobs(benchmark::State& state, U64 arraySize, U64 extraFlags, bool powerSaveEnabled,
                     HostWait hostWait)
{
    PowerSaveScope powerSave(powerSaveEnabled);
    const CounterHandle done = OX_ALLOCATE_COUNTER(0, oxjob::kWaitForZeroOnly);
    // More than 32 jobs go in one AddJobs only when the first may not sleep.
    std::vector<JobDecl> decls(kEmptyJobs);
    for (JobDecl& decl : decls)
    {
        decl.m_pStartFunc = EmptyJob;
        decl.m_associatedCounter = done.m_pCounter;
        decl.m_flags = oxjob::kDisallowSleep | extraFlags;
    }
    for (auto _ : state)
    {
        oxjob::SetCounterValue(done, static_cast<I64>(kEmptyJobs));
        for (U64 first = 0; first < kEmptyJobs; first += arraySize)
        {
            const U64 count = std::min(arraySize, kEmptyJobs - first);
            // A batch takes at most 782 of the 1,024 arrays, but the workers give the
            // drained arrays of the previous batch back a little after its last job.
            oxjob::JobArray* pJobArray;
            while (!(pJobArray = oxjob::BeginJobArray(count, Priority{3})))
                std::this_thread::yield();
            oxjob::AddJobs(pJobArray, &decls[first], count);
            oxjob::CommitJobArray(pJobArray);
        }
        // The finishing job waits for the batch's counter; the host waits for it.
        alignas(64) JobDecl finish;
        finish.m_pStartFunc = FinishJob;
        finish.m_dependentCounter = done.m_pCounter;
        CounterHandle finished;
        oxjob::RunJobs(&finish, 1, &finished, Priority{3}, ~0ull, oxjob::kWaitForZeroOnly,
                       OX_JOB_SOURCE_LOCATION);
        WaitForBatch(finished, hostWait);
    }
    oxjob::FreeCounter(done);
    SetPerUnit(state, "per_job", kEmptyJobs);
}

void BM_TbbEmptyJobs(benchmark::State& state)
{
    for (auto _ : state)
    {
        tbb::task_group group;
        for (U64 i = 0; i < kEmptyJobs; ++i)
            group.run([] {});
        group.wait();
    }
    SetPerUnit(state, "per_job", kEmptyJobs);
}

// --- 2. A tree of waiting jobs --------------------------------------------------------------------

// Inner jobs waiting for their children now, and the most seen at once.
std::atomic<U64> s_treeWaiting{0};
std::atomic<U64> s_treePeakWaiting{0};

Priority TreePriority(U64 depth)
{
    return Priority{static_cast<I8>(static_cast<U64>(Priority::kNumPriorities) - 1 - depth)};
}

void TreeJob(U64 depth)
{
    if (depth == kTreeDepth)
        return;
    alignas(64) JobDecl children[kTreeFanOut];
    for (JobDecl& child : children)
    {
        child.m_pStartFunc = TreeJob;
        child.m_startArg = depth + 1;
    }
    CounterHandle done;
    oxjob::RunJobs(children, kTreeFanOut, &done, TreePriority(depth + 1), ~0ull, oxjob::kWaitForZeroOnly,
                   OX_JOB_SOURCE_LOCATION);
    const U64 waiting = s_treeWaiting.fetch_add(1, std::memory_order_relaxed) + 1;
    U64 peak = s_treePeakWaiting.load(std::memory_order_relaxed);
    while (waiting > peak &&
           !s_treePeakWaiting.compare_exchange_weak(peak, waiting, std::memory_order_relaxed))
    {
    }
    oxjob::WaitForCounterAndFree(done, 0);
    s_treeWaiting.fetch_sub(1, std::memory_order_relaxed);
    if (depth == 0)
        SignalBatchFinished();
}

void BM_JobTree(benchmark::State& state, bool powerSaveEnabled, HostWait hostWait)
{
    PowerSaveScope powerSave(powerSaveEnabled);
    s_treePeakWaiting = 0;
    for (auto _ : state)
    {
        alignas(64) JobDecl root;
        root.m_pStartFunc = TreeJob;
        root.m_startArg = 0;
        CounterHandle done;
        oxjob::RunJobs(&root, 1, &done, TreePriority(0), ~0ull, oxjob::kWaitForZeroOnly,
                       OX_JOB_SOURCE_LOCATION);
        WaitForBatch(done, hostWait);
    }
    SetPerUnit(state, "per_job", kTreeNodes);
    // Fibers in use at the peak: the waiting jobs' and one per worker.
    state.counters["fibers"] = static_cast<double>(s_treePeakWaiting.load() + kNumWorkers);
}

void TbbTreeNode(U64 depth)
{
    if (depth == kTreeDepth)
        return;
    tbb::task_group group;
    for (U64 i = 0; i < kTreeFanOut; ++i)
        group.run([depth] { TbbTreeNode(depth + 1); });
    group.wait();
}

void BM_TbbTree(benchmark::State& state)
{
    for (auto _ : state)
        TbbTreeNode(0);
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
    SignalBatchFinished();
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

void SetUp()
{
    // oneTBB on as many threads as the job system has workers (the timing thread counts).
    s_pTbbThreads = std::make_unique<tbb::global_control>(tbb::global_control::max_allowed_parallelism,
                                                          static_cast<size_t>(kNumWorkers));
    StartJobSystem();
}

void TearDown()
{
    StopJobSystem();
    s_pTbbThreads.reset();
}

// Registers a peer's benchmark, timed in wall-clock time, and returns its printed name.
std::string RegisterPeer(const std::string& name, void (*pFunction)(benchmark::State&))
{
    benchmark::RegisterBenchmark(name.c_str(), pFunction)->UseRealTime()->Unit(benchmark::kMillisecond);
    return name + "/real_time";
}

// Registers a job system benchmark, named after its variant; the function's last two
// arguments are the power-save setting and the host's wait. Returns the printed name.
template <typename Function, typename... Args>
std::string RegisterJob(std::string name, bool powerSave, HostWait hostWait, Function pFunction, Args... args)
{
    name += hostWait == HostWait::kEvent ? "/wait:event" : "/wait:counter";
    if (powerSave)
        name += "/powersave";
    benchmark::RegisterBenchmark(name.c_str(), pFunction, args..., powerSave, hostWait)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
    return name + "/real_time";
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

    // 1. Empty jobs: array sizes from 128 jobs (782 arrays, within the pool of 1,024) to
    // all 100,000 in one array. With 1,024: the host waiting on the counter, power save
    // on, and jobs that skip the two activity time stamps of each job.
    const std::string tbbEmpty = RegisterPeer("BM_TbbEmptyJobs", BM_TbbEmptyJobs);
    for (const U64 arraySize : {U64{128}, U64{1024}, U64{16384}, U64{100000}})
    {
        const std::string name = "BM_JobEmptyJobs/array:" + std::to_string(arraySize);
        pair(RegisterJob(name, false, event, BM_JobEmptyJobs, arraySize, U64{0}), tbbEmpty);
    }
    pair(RegisterJob("BM_JobEmptyJobs/array:1024", false, counter, BM_JobEmptyJobs, U64{1024}, U64{0}),
         tbbEmpty);
    pair(RegisterJob("BM_JobEmptyJobs/array:1024", true, event, BM_JobEmptyJobs, U64{1024}, U64{0}),
         tbbEmpty);
    pair(RegisterJob("BM_JobEmptyJobs/array:1024/noactivitytracking", false, event, BM_JobEmptyJobs,
                     U64{1024}, U64{oxjob::kNoActivityTracking}),
         tbbEmpty);

    // 2. The tree.
    const std::string tbbTree = RegisterPeer("BM_TbbTree", BM_TbbTree);
    pair(RegisterJob("BM_JobTree", false, event, BM_JobTree), tbbTree);
    pair(RegisterJob("BM_JobTree", false, counter, BM_JobTree), tbbTree);
    pair(RegisterJob("BM_JobTree", true, event, BM_JobTree), tbbTree);

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
    };
    const PingPongCase cases[] = {
        {"BM_JobPingPong/equal/workers:2", oxjob::kCompareEqual, 2, false, event, &boostTwo},
        {"BM_JobPingPong/lessorequal/workers:2", oxjob::kCompareLessOrEqual, 2, false, event, &boostTwo},
        {"BM_JobPingPong/equal/workers:1", oxjob::kCompareEqual, 1, false, event, &boostOne},
        {"BM_JobPingPong/equal/workers:2", oxjob::kCompareEqual, 2, false, counter, &boostTwo},
        {"BM_JobPingPong/equal/workers:2", oxjob::kCompareEqual, 2, true, event, &boostTwo},
    };
    for (const PingPongCase& c : cases)
    {
        const std::string name =
            RegisterJob(c.m_name, c.m_powerSave, c.m_hostWait, BM_JobPingPong, c.m_compare, c.m_workers);
        pair(name, *c.m_pBoost);
        pair(name, tbbSpawn);
        if (&c == &cases[0])
            pair(name, tbbAtomic);
    }
    return program;
}
