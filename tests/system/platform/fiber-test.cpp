#include "corelib/system/platform/fiber.h"

#include "corelib/system/atomic-lock.h"
#include "corelib/system/platform/platform.h"
#include "corelib/system/platform/thread.h"

#include "tests/support/host-environment.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#if OX_PLATFORM_POSIX
#include <csignal>
#include <unistd.h>
#endif

using namespace oxsys;

namespace
{
// Sanitizer hooks make each switch far slower, and Wine's switch is slower too; the
// path is the same at any count.
#if OX_TSAN || OX_PLATFORM_WINDOWS
constexpr U64 kPingPongSwitches = 200000;
#else
constexpr U64 kPingPongSwitches = 1000000;
#endif
constexpr U64 kTestStackSize = 256 * 1024;

// Fills a stack buffer with a pattern tied to its address and the fiber.
void FillPattern(volatile U64* pWords, U64 count, U64 seed)
{
    for (U64 i = 0; i < count; ++i)
        pWords[i] = (reinterpret_cast<UPtr>(&pWords[i]) * 0x9E3779B97F4A7C15ull) ^ seed ^ i;
}

bool CheckPattern(const volatile U64* pWords, U64 count, U64 seed)
{
    for (U64 i = 0; i < count; ++i)
    {
        if (pWords[i] != ((reinterpret_cast<UPtr>(&pWords[i]) * 0x9E3779B97F4A7C15ull) ^ seed ^ i))
            return false;
    }
    return true;
}

U32 ReadMxcsr()
{
#if OX_ARCH_X64
    U32 value = 0;
    __asm__ __volatile__("stmxcsr %0" : "=m"(value));
    return value;
#else
    return 0;
#endif
}

void WriteMxcsr(U32 value)
{
#if OX_ARCH_X64
    __asm__ __volatile__("ldmxcsr %0" : : "m"(value));
#endif
}

struct PingPongState
{
    Fiber m_ping;
    Fiber m_pong;
    U64 m_pingRounds = 0;
    U64 m_pongRounds = 0;
    bool m_pingStackIntact = true;
    bool m_pongStackIntact = true;
    bool m_registersIntact = true;
    U32 m_pingMxcsr = 0;
    U32 m_pongMxcsr = 0;
    bool m_mxcsrKept = true;
};

void PingEntry(void* pArgument)
{
    PingPongState& state = *static_cast<PingPongState*>(pArgument);
    volatile U64 stackWords[64];
    FillPattern(stackWords, 64, 1);
    // Values the compiler keeps in callee-saved registers across the switch call.
    U64 a = 0x1111, b = 0x2222, c = 0x3333, d = 0x4444;
    WriteMxcsr(state.m_pingMxcsr);
    for (U64 i = 0; i < kPingPongSwitches / 2; ++i)
    {
        SwitchToFiber(state.m_pong);
        a += 1;
        b += 2;
        c += 3;
        d += 4;
        ++state.m_pingRounds;
        if (ReadMxcsr() != state.m_pingMxcsr)
            state.m_mxcsrKept = false;
    }
    const U64 n = kPingPongSwitches / 2;
    state.m_registersIntact =
        a == 0x1111 + n && b == 0x2222 + 2 * n && c == 0x3333 + 3 * n && d == 0x4444 + 4 * n;
    state.m_pingStackIntact = CheckPattern(stackWords, 64, 1);
    StopFiberExecution();
}

void PongEntry(void* pArgument)
{
    PingPongState& state = *static_cast<PingPongState*>(pArgument);
    volatile U64 stackWords[64];
    FillPattern(stackWords, 64, 2);
    WriteMxcsr(state.m_pongMxcsr);
    for (;;)
    {
        ++state.m_pongRounds;
        if (ReadMxcsr() != state.m_pongMxcsr)
            state.m_mxcsrKept = false;
        if (!CheckPattern(stackWords, 1, 2))
            state.m_pongStackIntact = false;
        SwitchToFiber(state.m_ping);
    }
}

constexpr const char* kWineFloatSwitchGap =
    "Wine ignores FIBER_FLAG_FLOAT_SWITCH: its fibers never switch the control words";

// Both kinds of switch, the plain one and the one carrying control words, keep stacks
// and callee-saved registers over a million switches.
class FiberPingPongTest : public testing::TestWithParam<U32>
{
};

TEST_P(FiberPingPongTest, KeepsStacksRegistersAndControlWords)
{
    PingPongState state;
    const U32 flags = GetParam();
    if ((flags & kFiberFlagFloatSwitch) && RunningUnderWine())
        GTEST_SKIP() << kWineFloatSwitchGap;
    const U32 initialMxcsr = ReadMxcsr();
    state.m_pingMxcsr = initialMxcsr;
    state.m_pongMxcsr = initialMxcsr;
    if (flags & kFiberFlagFloatSwitch)
    {
        // Each fiber keeps its own SSE control register through every switch.
        state.m_pingMxcsr = initialMxcsr | 0x8040;              // flush-to-zero and denormals-are-zero
        state.m_pongMxcsr = (initialMxcsr & ~0x6000u) | 0x6000; // round toward zero
    }
    CreateFiber(state.m_ping, "ping", PingEntry, nullptr, kTestStackSize, &state, flags);
    CreateFiber(state.m_pong, "pong", PongEntry, nullptr, kTestStackSize, &state, flags);

    StartFiberExecution(state.m_ping);
#if OX_PLATFORM_WINDOWS
    // A Windows thread's own fiber does not carry its control words: the last fiber's
    // stay with the thread.
    WriteMxcsr(initialMxcsr);
#endif

    EXPECT_EQ(state.m_pingRounds, kPingPongSwitches / 2);
    EXPECT_EQ(state.m_pongRounds, kPingPongSwitches / 2);
    EXPECT_TRUE(state.m_pingStackIntact);
    EXPECT_TRUE(state.m_pongStackIntact);
    EXPECT_TRUE(state.m_registersIntact);
    EXPECT_TRUE(state.m_mxcsrKept);
    EXPECT_EQ(ReadMxcsr(), initialMxcsr);
    ReleaseFiber(state.m_ping);
    ReleaseFiber(state.m_pong);
    EXPECT_FALSE(state.m_ping.IsValid());
}

INSTANTIATE_TEST_SUITE_P(Flags, FiberPingPongTest, testing::Values(kFiberFlagNone, kFiberFlagFloatSwitch),
                         [](const testing::TestParamInfo<U32>& info)
                         { return info.param == kFiberFlagNone ? "Plain" : "FloatSwitch"; });

// Who owns the control words: fiber A sets flush-to-zero and switches to fiber B, which
// reads what it runs with. Only a fiber that carries its own control words loads them
// when it is switched to; any other runs with whatever the thread has. (Where the switch
// carries every fiber's, all behave as if created with kFiberFlagFloatSwitch.)
struct ControlWordState
{
    Fiber m_a;
    Fiber m_b;
    U32 m_setByA = 0;
    U32 m_seenByB = 0;
    U32 m_seenByAAfter = 0;
};

void ControlWordAEntry(void* pArgument)
{
    ControlWordState& state = *static_cast<ControlWordState*>(pArgument);
    WriteMxcsr(state.m_setByA);
    SwitchToFiber(state.m_b);
    state.m_seenByAAfter = ReadMxcsr();
    StopFiberExecution();
}

void ControlWordBEntry(void* pArgument)
{
    ControlWordState& state = *static_cast<ControlWordState*>(pArgument);
    state.m_seenByB = ReadMxcsr();
    // Disturb the thread's control word; A must not see this if it carries its own.
    WriteMxcsr(state.m_seenByB ^ 0x6000);
    for (;;)
        SwitchToFiber(state.m_a);
}

TEST(FiberTest, ControlWordsStayWithTheThreadUnlessTheFiberCarriesThem)
{
#if !OX_ARCH_X64
    GTEST_SKIP() << "reads the SSE control register";
#endif
    struct Case
    {
        U32 m_flagsA;
        U32 m_flagsB;
        bool m_bSeesA; // else B sees the value it was created with
    };
    const Case cases[] = {
        {kFiberFlagNone, kFiberFlagNone, true},
        {kFiberFlagFloatSwitch, kFiberFlagNone, true},
        {kFiberFlagNone, kFiberFlagFloatSwitch, false},
        {kFiberFlagFloatSwitch, kFiberFlagFloatSwitch, false},
    };
    const U32 initialMxcsr = ReadMxcsr();
    const bool plainFibersShare = PlainFibersShareThreadControlWords();
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << "flags A " << c.m_flagsA << ", B " << c.m_flagsB);
        if (((c.m_flagsA | c.m_flagsB) & kFiberFlagFloatSwitch) && RunningUnderWine())
        {
            std::printf("skipped under Wine: %s\n", kWineFloatSwitchGap);
            continue;
        }
        ControlWordState state;
        state.m_setByA = initialMxcsr | 0x8040;
        CreateFiber(state.m_a, "a", ControlWordAEntry, nullptr, kTestStackSize, &state, c.m_flagsA);
        CreateFiber(state.m_b, "b", ControlWordBEntry, nullptr, kTestStackSize, &state, c.m_flagsB);
        StartFiberExecution(state.m_a);
#if OX_PLATFORM_WINDOWS
        WriteMxcsr(initialMxcsr);
#else
        EXPECT_EQ(ReadMxcsr(), initialMxcsr) << "the thread's own fiber gets its control words back";
#endif
        EXPECT_EQ(state.m_seenByB, c.m_bSeesA && plainFibersShare ? state.m_setByA : initialMxcsr);
        if ((c.m_flagsA & kFiberFlagFloatSwitch) || !plainFibersShare)
            EXPECT_EQ(state.m_seenByAAfter, state.m_setByA);
        else
            EXPECT_EQ(state.m_seenByAAfter, state.m_seenByB ^ 0x6000);
        ReleaseFiber(state.m_a);
        ReleaseFiber(state.m_b);
    }
}

struct IdentityState
{
    Fiber m_fiber;
    Fiber m_seenInside;
};

void IdentityEntry(void* pArgument)
{
    IdentityState& state = *static_cast<IdentityState*>(pArgument);
    state.m_seenInside = CurrentFiber();
    StopFiberExecution();
}

TEST(FiberTest, CurrentFiberAndRepeatedStarts)
{
    EXPECT_FALSE(CurrentFiber().IsValid());
    for (int round = 0; round < 3; ++round)
    {
        IdentityState state;
        CreateFiber(state.m_fiber, "identity", IdentityEntry, nullptr, kTestStackSize, &state);
        StartFiberExecution(state.m_fiber);
        EXPECT_EQ(state.m_seenInside, state.m_fiber);
        // Back to a plain thread each time.
        EXPECT_FALSE(CurrentFiber().IsValid());
        ReleaseFiber(state.m_fiber);
    }
}

// Migration: the fiber stops execution on one thread and is started again by the other,
// continuing where it stopped; what it reads of its thread must follow it.
thread_local int s_threadTag = 0;

OX_NOINLINE int ReadThreadTag()
{
    return s_threadTag;
}

constexpr int kMigrationHops = 8;

struct MigrationState
{
    Fiber m_fiber;
    std::atomic<int> m_turn{0}; // hop number whose thread may start the fiber
    int m_seenTags[kMigrationHops] = {};
    U32 m_seenThreadIds[kMigrationHops] = {};
    bool m_stackIntact = true;
};

void MigratingEntry(void* pArgument)
{
    MigrationState& state = *static_cast<MigrationState*>(pArgument);
    volatile U64 stackWords[32];
    FillPattern(stackWords, 32, 7);
    for (int hop = 0; hop < kMigrationHops; ++hop)
    {
        state.m_seenTags[hop] = ReadThreadTag();
        state.m_seenThreadIds[hop] = CurrentThreadId();
        if (!CheckPattern(stackWords, 32, 7))
            state.m_stackIntact = false;
        StopFiberExecution(); // back to whichever thread runs us now
    }
    for (;;)
        StopFiberExecution();
}

struct MigrationThreadArgs
{
    MigrationState* m_pState;
    int m_tag; // 1 or 2; thread 1 takes even hops, thread 2 odd ones
};

U32 MigrationThread(void* pArgument)
{
    MigrationThreadArgs& args = *static_cast<MigrationThreadArgs*>(pArgument);
    s_threadTag = args.m_tag;
    for (int hop = args.m_tag - 1; hop < kMigrationHops; hop += 2)
    {
        while (args.m_pState->m_turn.load(std::memory_order_acquire) != hop)
            YieldThread();
        StartFiberExecution(args.m_pState->m_fiber);
        args.m_pState->m_turn.store(hop + 1, std::memory_order_release);
    }
    return 0;
}

TEST(FiberTest, FiberMigratesBetweenThreadsAndThreadLocalsFollow)
{
    MigrationState state;
    CreateFiber(state.m_fiber, "migrant", MigratingEntry, nullptr, kTestStackSize, &state);
    MigrationThreadArgs args1 = {&state, 1};
    MigrationThreadArgs args2 = {&state, 2};
    ThreadDesc desc;
    desc.SetName("Migration");
    Thread thread1;
    Thread thread2;
    CreateThread(thread1, desc, MigrationThread, &args1);
    CreateThread(thread2, desc, MigrationThread, &args2);
    thread1.Join();
    thread2.Join();

    EXPECT_TRUE(state.m_stackIntact);
    for (int hop = 0; hop < kMigrationHops; ++hop)
    {
        const bool onFirst = hop % 2 == 0;
        EXPECT_EQ(state.m_seenTags[hop], onFirst ? 1 : 2) << "hop " << hop;
        EXPECT_EQ(state.m_seenThreadIds[hop], onFirst ? thread1.GetThreadId() : thread2.GetThreadId())
            << "hop " << hop;
    }
    ReleaseThreadHandle(thread1);
    ReleaseThreadHandle(thread2);
    ReleaseFiber(state.m_fiber);
}

// The job system's way: each worker thread runs its own scheduling fiber, and a job
// fiber parked by one worker is switched to directly by another. A lock is held across
// every switch and released by the fiber that gains control.
struct HandoffState
{
    OxAtomicLock m_lock;
    Fiber m_job;
    Fiber m_schedulers[2];
    Fiber* m_pReturnTo = nullptr;
    std::atomic<int> m_hop{0};
    int m_seenTags[kMigrationHops] = {};
    bool m_stackIntact = true;
};
HandoffState* s_pHandoff = nullptr;

void HandoffJobEntry(void*)
{
    HandoffState& state = *s_pHandoff;
    volatile U64 stackWords[32];
    FillPattern(stackWords, 32, 9);
    for (int hop = 0;; ++hop)
    {
        state.m_lock.Release(); // passed to us by the fiber that switched here
        if (hop < kMigrationHops)
            state.m_seenTags[hop] = ReadThreadTag();
        if (!CheckPattern(stackWords, 32, 9))
            state.m_stackIntact = false;
        OX_ATOMIC_LOCK_ACQUIRE(state.m_lock);
        SwitchToFiber(*state.m_pReturnTo);
    }
}

void HandoffSchedulerEntry(void* pArgument)
{
    HandoffState& state = *s_pHandoff;
    const int worker = static_cast<int>(reinterpret_cast<UPtr>(pArgument));
    for (int hop = worker; hop < kMigrationHops; hop += 2)
    {
        while (state.m_hop.load(std::memory_order_acquire) != hop)
            YieldThread();
        OX_ATOMIC_LOCK_ACQUIRE(state.m_lock);
        state.m_pReturnTo = &state.m_schedulers[worker];
        SwitchToFiber(state.m_job);
        state.m_lock.Release(); // passed back by the job
        state.m_hop.store(hop + 1, std::memory_order_release);
    }
    StopFiberExecution();
}

U32 HandoffWorker(void* pArgument)
{
    const int worker = static_cast<int>(reinterpret_cast<UPtr>(pArgument));
    s_threadTag = worker + 1;
    StartFiberExecution(s_pHandoff->m_schedulers[worker]);
    return 0;
}

TEST(FiberTest, ParkedFiberResumesOnAnotherThreadWithALockHeldAcrossTheSwitch)
{
    HandoffState state;
    s_pHandoff = &state;
    state.m_lock.Init();
    CreateFiber(state.m_job, "job", HandoffJobEntry, nullptr, kTestStackSize, nullptr);
    Thread workers[2];
    for (int worker = 0; worker < 2; ++worker)
    {
        void* pWorker = reinterpret_cast<void*>(static_cast<UPtr>(worker));
        CreateFiber(state.m_schedulers[worker], "scheduler", HandoffSchedulerEntry, nullptr, kTestStackSize,
                    pWorker);
        CreateThread(workers[worker], ThreadDesc(), HandoffWorker, pWorker);
    }
    for (Thread& worker : workers)
    {
        worker.Join();
        ReleaseThreadHandle(worker);
    }
    EXPECT_TRUE(state.m_stackIntact);
    EXPECT_FALSE(state.m_lock.IsLocked());
    for (int hop = 0; hop < kMigrationHops; ++hop)
        EXPECT_EQ(state.m_seenTags[hop], hop % 2 + 1) << "hop " << hop;
    ReleaseFiber(state.m_job);
    for (Fiber& scheduler : state.m_schedulers)
        ReleaseFiber(scheduler);
    s_pHandoff = nullptr;
}

// Fiber-local storage: each value's callback runs once, when its fiber is released.
std::atomic<int> s_releasedCounts[4];

void CountRelease(void* pValue)
{
    s_releasedCounts[*static_cast<int*>(pValue)].fetch_add(1);
}

struct FlsFiberArgs
{
    U32 m_index;
    int* m_pValue; // null: the fiber sets nothing
    void* m_pSeenBefore = reinterpret_cast<void*>(1);
    void* m_pSeenAfter = nullptr;
};

void FlsEntry(void* pArgument)
{
    FlsFiberArgs& args = *static_cast<FlsFiberArgs*>(pArgument);
    args.m_pSeenBefore = GetFiberLocalStorage(args.m_index);
    if (args.m_pValue)
    {
        EXPECT_TRUE(SetFiberLocalStorage(args.m_index, args.m_pValue));
    }
    args.m_pSeenAfter = GetFiberLocalStorage(args.m_index);
    for (;;)
        StopFiberExecution();
}

TEST(FiberTest, FiberLocalStorageCallbacksRunOncePerReleasedFiber)
{
    for (auto& count : s_releasedCounts)
        count = 0;
    const U32 index = AllocFiberLocalStorage(CountRelease);
    ASSERT_NE(index, kFlsOutOfIndexes);

    int values[3] = {0, 1, 2};
    FlsFiberArgs args[3] = {{index, &values[0]}, {index, &values[1]}, {index, nullptr}};
    Fiber fibers[3];
    for (int i = 0; i < 3; ++i)
    {
        CreateFiber(fibers[i], "fls", FlsEntry, nullptr, kTestStackSize, &args[i]);
        StartFiberExecution(fibers[i]);
        EXPECT_EQ(args[i].m_pSeenBefore, nullptr);
        EXPECT_EQ(args[i].m_pSeenAfter, args[i].m_pValue);
    }
    // The thread keeps its own value apart from its fibers'.
    int threadValue = 3;
    EXPECT_EQ(GetFiberLocalStorage(index), nullptr);
    EXPECT_TRUE(SetFiberLocalStorage(index, &threadValue));

    ReleaseFiber(fibers[0]);
    EXPECT_EQ(s_releasedCounts[0].load(), 1);
    EXPECT_EQ(s_releasedCounts[1].load(), 0);
    ReleaseFiber(fibers[1]);
    ReleaseFiber(fibers[2]);
    EXPECT_EQ(s_releasedCounts[0].load(), 1);
    EXPECT_EQ(s_releasedCounts[1].load(), 1);
    EXPECT_EQ(s_releasedCounts[2].load(), 0);
    EXPECT_EQ(GetFiberLocalStorage(index), &threadValue);

    // Freeing the slot releases the values still held (the thread's) and no others.
    FreeFiberLocalStorage(index);
    EXPECT_EQ(s_releasedCounts[3].load(), 1);
    EXPECT_EQ(s_releasedCounts[0].load(), 1);
    EXPECT_EQ(s_releasedCounts[1].load(), 1);
}

U32 FlsThreadEntry(void* pArgument)
{
    SetFiberLocalStorage(*static_cast<U32*>(pArgument), &s_releasedCounts[0]);
    return 0;
}

void CountThreadRelease(void* pValue)
{
    static_cast<std::atomic<int>*>(pValue)->fetch_add(1);
}

TEST(FiberTest, FiberLocalStorageOfAnEndedThreadIsReleased)
{
    s_releasedCounts[0] = 0;
    U32 index = AllocFiberLocalStorage(CountThreadRelease);
    ASSERT_NE(index, kFlsOutOfIndexes);
    ThreadDesc desc;
    Thread thread;
    CreateThread(thread, desc, FlsThreadEntry, &index);
    thread.Join();
    ReleaseThreadHandle(thread);
    EXPECT_EQ(s_releasedCounts[0].load(), 1);
    FreeFiberLocalStorage(index);
    EXPECT_EQ(s_releasedCounts[0].load(), 1);
}

TEST(FiberTest, UnallocatedSlotsReadNullAndRefuseValues)
{
    const U32 index = AllocFiberLocalStorage(nullptr);
    ASSERT_NE(index, kFlsOutOfIndexes);
    int value = 0;
    EXPECT_TRUE(SetFiberLocalStorage(index, &value));
    FreeFiberLocalStorage(index);
    // A slot allocated again starts from null, whatever its previous owner stored.
    const U32 again = AllocFiberLocalStorage(nullptr);
    ASSERT_NE(again, kFlsOutOfIndexes);
    EXPECT_EQ(GetFiberLocalStorage(again), nullptr);
    FreeFiberLocalStorage(again);
#if OX_PLATFORM_POSIX
    EXPECT_FALSE(SetFiberLocalStorage(again, &value));
    EXPECT_EQ(GetFiberLocalStorage(again), nullptr);
#endif
}

// The whole requested stack is usable (reserved up front, committed as it is touched).
struct DeepStackArgs
{
    U64 m_depthReached = 0;
};

OX_NOINLINE U64 UseStack(U64 depth, U64 maxDepth, DeepStackArgs& args)
{
    volatile U8 frame[4096];
    frame[0] = static_cast<U8>(depth);
    frame[sizeof(frame) - 1] = static_cast<U8>(depth);
    args.m_depthReached = depth;
    if (depth == maxDepth)
        return frame[0];
    return UseStack(depth + 1, maxDepth, args) + frame[sizeof(frame) - 1];
}

constexpr U64 kDeepStackSize = 1024 * 1024;
constexpr U64 kDeepStackDepth = (kDeepStackSize - 64 * 1024) / 4096; // frames of a little over 4 KiB

void DeepStackEntry(void* pArgument)
{
    DeepStackArgs& args = *static_cast<DeepStackArgs*>(pArgument);
    UseStack(0, kDeepStackDepth, args);
    StopFiberExecution();
}

TEST(FiberTest, TheRequestedStackSizeIsUsable)
{
    DeepStackArgs args;
    Fiber fiber;
    CreateFiber(fiber, "deep", DeepStackEntry, nullptr, kDeepStackSize, &args);
    StartFiberExecution(fiber);
    EXPECT_EQ(args.m_depthReached, kDeepStackDepth);
    ReleaseFiber(fiber);
}

void NeverRuns(void*) {}

TEST(FiberDeathTest, Preconditions)
{
    char stack[64];
    Fiber fiber;
    EXPECT_DEATH(CreateFiber(fiber, "x", NeverRuns, stack, sizeof(stack), nullptr), "pStackMem == nullptr");
    EXPECT_DEATH(StopFiberExecution(), "pStartFiber");
    EXPECT_DEATH(ReleaseFiber(fiber), "nativeFiber");
    EXPECT_DEATH(StartFiberExecution(fiber), "fiber.IsValid\\(\\)");
}

#if OX_PLATFORM_POSIX
// A runaway recursion on a fiber must fault on the guard region just below its stack.
// (Not run under Wine, whose stack-overflow handling on fibers ends the process with
// exit status 0.)
constexpr U64 kOverflowStackSize = 64 * 1024;
volatile UPtr s_overflowStackTop = 0;
char s_altStack[64 * 1024];

void OnOverflowFault(int, siginfo_t* pInfo, void*)
{
    const UPtr fault = reinterpret_cast<UPtr>(pInfo->si_addr);
    const UPtr top = s_overflowStackTop;
    // Sanitizer builds reserve four times the size asked (their frames are larger).
    // The fault must come within the page below the reservation, not before its end
    // nor anywhere further down.
    constexpr U64 kReserved = (OX_ASAN || OX_TSAN ? 4 : 1) * kOverflowStackSize;
    const UPtr depth = top - fault;
    const bool inGuard = fault < top && depth + 8192 >= kReserved && depth <= kReserved + 8192;
    const char* message = inGuard ? "fault on the guard page\n" : "fault elsewhere\n";
    (void)!write(2, message, strlen(message));
    _exit(inGuard ? 3 : 4);
}

OX_NOINLINE U64 RecurseForever(U64 depth)
{
    volatile U8 frame[512];
    frame[0] = static_cast<U8>(depth);
    if (depth == ~0ull) // never: keeps the recursion from looking endless to the compiler
        return 0;
    return RecurseForever(depth + 1) + frame[0];
}

void OverflowEntry(void*)
{
    s_overflowStackTop = reinterpret_cast<UPtr>(__builtin_frame_address(0));
    RecurseForever(0);
}

void RunOverflow()
{
    // The fiber first: creating it installs the library's own overflow report, which the
    // handler below replaces to look at the raw fault.
    Fiber fiber;
    CreateFiber(fiber, "overflow", OverflowEntry, nullptr, kOverflowStackSize, nullptr);
    stack_t altStack = {};
    altStack.ss_sp = s_altStack;
    altStack.ss_size = sizeof(s_altStack);
    sigaltstack(&altStack, nullptr);
    struct sigaction action = {};
    action.sa_sigaction = OnOverflowFault;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigaction(SIGSEGV, &action, nullptr);
    sigaction(SIGBUS, &action, nullptr);
    StartFiberExecution(fiber);
}

TEST(FiberDeathTest, StackOverflowFaultsOnTheGuardPage)
{
    EXPECT_EXIT(RunOverflow(), testing::ExitedWithCode(3), "fault on the guard page");
}
#endif
} // namespace
