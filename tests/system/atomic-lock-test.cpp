#include "corelib/system/atomic-lock.h"

#include "corelib/system/platform/thread.h"
#include "corelib/system/profiler-events.h"
#include "corelib/system/timing.h"
#include "corelib/util/msg.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>

using namespace oxsys;

namespace
{
// Records the profiler events written while it is installed on the calling thread.
class ScopedEventBlock
{
public:
    ScopedEventBlock()
    {
        m_block.m_pDestination = m_words;
        m_block.m_pLimit = m_words + 256;
        m_pPrevious = SetProfileEventBlock(&m_block);
    }
    ~ScopedEventBlock() { SetProfileEventBlock(m_pPrevious); }
    U64 WordsWritten() const { return static_cast<U64>(m_block.m_pDestination - m_words); }

private:
    U64 m_words[256 + kProfileEventBlockSlackWords] = {};
    ProfileEventBlock m_block;
    ProfileEventBlock* m_pPrevious;
};

struct HolderArgs
{
    OxAtomicLock* m_pLock;
    std::atomic<bool> m_holding{false};
    std::atomic<bool> m_release{false};
};

// Takes the lock, holds it until told to let go.
U32 HoldLock(void* pArgument)
{
    HolderArgs& args = *static_cast<HolderArgs*>(pArgument);
    OX_ATOMIC_LOCK_ACQUIRE(*args.m_pLock);
    args.m_holding = true;
    while (!args.m_release)
        SleepMs(1);
    args.m_pLock->Release();
    return 0;
}

class LockHolder
{
public:
    explicit LockHolder(OxAtomicLock& lock)
    {
        m_args.m_pLock = &lock;
        ThreadDesc desc;
        desc.SetName("LockHolder");
        CreateThread(m_thread, desc, HoldLock, &m_args);
        while (!m_args.m_holding)
            YieldThread();
    }
    ~LockHolder() { Finish(); }
    void LetGo() { m_args.m_release = true; }
    void Finish()
    {
        if (m_thread.IsEmpty())
            return;
        LetGo();
        m_thread.Join();
        ReleaseThreadHandle(m_thread);
    }

private:
    HolderArgs m_args;
    Thread m_thread;
};

TEST(AtomicLockTest, FreeLockIsTakenAtOnceWithoutAWaitingRegion)
{
    OxAtomicLock lock;
    lock.Init();
    EXPECT_EQ(lock.m_marker, OxAtomicLock::kMarker);
    ScopedEventBlock events;
    OX_ATOMIC_LOCK_ACQUIRE(lock);
    EXPECT_TRUE(lock.IsLocked());
    EXPECT_EQ(lock.m_lock.load(), OxAtomicLock::kHeld);
    EXPECT_FALSE(lock.TryAcquire());
    lock.Release();
    EXPECT_FALSE(lock.IsLocked());
    EXPECT_EQ(events.WordsWritten(), 0u);
}

TEST(AtomicLockTest, ReleaseWithoutInitMakesTheLockUsable)
{
    OxAtomicLock lock;
    lock.Release();
    EXPECT_EQ(lock.m_marker, OxAtomicLock::kMarker);
    EXPECT_TRUE(lock.TryAcquire());
    lock.Release();
}

TEST(AtomicLockTest, WaitingOpensAndClosesARegion)
{
    OxAtomicLock lock;
    lock.Init();
    LockHolder holder(lock);
    ScopedEventBlock events;
    struct Releaser
    {
        static U32 Run(void* pArgument)
        {
            SleepMs(20);
            static_cast<LockHolder*>(pArgument)->LetGo();
            return 0;
        }
    };
    Thread releaser;
    CreateThread(releaser, ThreadDesc(), Releaser::Run, &holder);
    OX_ATOMIC_LOCK_ACQUIRE(lock);
    // A begin event (header, colour, name, ...) and an end event were written.
    EXPECT_GT(events.WordsWritten(), 3u);
    lock.Release();
    releaser.Join();
    ReleaseThreadHandle(releaser);
}

TEST(AtomicLockTest, TimedAcquireGivesUpOnAHeldLock)
{
    OxAtomicLock lock;
    lock.Init();
    {
        LockHolder holder(lock);
        EXPECT_FALSE(lock.TimedAcquire(100));
        EXPECT_FALSE(lock.TimedAcquire(0));
        const U64 start = GetTimeNow();
        EXPECT_FALSE(lock.TimedAcquire(20000));
        EXPECT_GE(TicksToSeconds(GetTimeNow() - start), 0.019f);
    }
    EXPECT_TRUE(lock.TimedAcquire(0));
    lock.Release();
    // A limit of hours must not overflow into "no time at all".
    EXPECT_TRUE(lock.TimedAcquire(~0ull));
    lock.Release();
}

// Two threads increment one plain counter under each kind of lock; nothing may be lost.
enum class LockKind
{
    kAcquire,
    kScope,
    kSpin64,
    kSpin64Yield,
    kSpin32,
    kTry,
};

struct ContentionState
{
    LockKind m_kind;
    OxAtomicLock m_lock;
    OxSpinLock32 m_lock32;
    U64 m_counter = 0;
};

constexpr U64 kIncrementsPerThread = 100000;

U32 Increment(void* pArgument)
{
    ContentionState& state = *static_cast<ContentionState*>(pArgument);
    for (U64 i = 0; i < kIncrementsPerThread; ++i)
    {
        switch (state.m_kind)
        {
        case LockKind::kAcquire:
            OX_ATOMIC_LOCK_ACQUIRE(state.m_lock);
            ++state.m_counter;
            state.m_lock.Release();
            break;
        case LockKind::kScope:
        {
            OX_ATOMIC_LOCK_SCOPE(state.m_lock);
            ++state.m_counter;
            break;
        }
        case LockKind::kSpin64:
        case LockKind::kSpin64Yield:
            SpinAcquireLock(state.m_lock, state.m_kind == LockKind::kSpin64Yield);
            ++state.m_counter;
            state.m_lock.Release();
            break;
        case LockKind::kSpin32:
            SpinAcquireLock(state.m_lock32, false);
            ++state.m_counter;
            state.m_lock32.Release();
            break;
        case LockKind::kTry:
            while (!state.m_lock.TryAcquire())
                YieldThread();
            ++state.m_counter;
            state.m_lock.Release();
            break;
        }
    }
    return 0;
}

TEST(AtomicLockTest, ContentionFromTwoThreadsCountsExactly)
{
    for (LockKind kind : {LockKind::kAcquire, LockKind::kScope, LockKind::kSpin64, LockKind::kSpin64Yield,
                          LockKind::kSpin32, LockKind::kTry})
    {
        ContentionState state;
        state.m_kind = kind;
        state.m_lock.Init();
        state.m_lock32.Init();
        Thread threads[2];
        for (Thread& thread : threads)
            CreateThread(thread, ThreadDesc(), Increment, &state);
        for (Thread& thread : threads)
        {
            thread.Join();
            ReleaseThreadHandle(thread);
        }
        EXPECT_EQ(state.m_counter, 2 * kIncrementsPerThread) << "lock kind " << static_cast<int>(kind);
        EXPECT_FALSE(state.m_lock.IsLocked());
        EXPECT_FALSE(state.m_lock32.IsLocked());
    }
}

// The channel-8 output of the deadlock report goes to standard error in the death tests.
class DoutStderr : public DoutBase
{
public:
    const char* GetName() const override { return "Stderr"; }
    void Print(const char* text) override { fputs(text, stderr); }
};

OX_NOINLINE void AcquireTwice(OxAtomicLock& lock)
{
    lock.AcquireLock(__FILE__, __LINE__, "void AcquireTwice(OxAtomicLock&)");
    lock.AcquireLock(__FILE__, __LINE__, "void AcquireTwice(OxAtomicLock&)");
}

void RunIntoDeadlock()
{
    static DoutStderr s_output;
    SetMsgOutput(kMsgChannelError, &s_output);
    SetAtomicLockDeadlockLimitTicks(GetTimerFrequency() / 50); // 20 ms
    OxAtomicLock lock;
    lock.Init();
    AcquireTwice(lock); // not recursive: the second acquire waits for itself
}

TEST(AtomicLockDeathTest, DeadlockIsReportedOnChannel8AndAsserts)
{
    EXPECT_DEATH(RunIntoDeadlock(), "void AcquireTwice\\(OxAtomicLock&\\): atomic deadlock detected");
    EXPECT_DEATH(RunIntoDeadlock(), "void AcquireTwice\\(OxAtomicLock&\\): Atomic Deadlock Detected");
}

TEST(AtomicLockTest, DeadlockLimitDefaultsToTenSeconds)
{
    SetAtomicLockDeadlockLimitTicks(0);
    EXPECT_EQ(GetAtomicLockDeadlockLimitTicks(), GetTimerFrequency() * 10);
    SetAtomicLockDeadlockLimitTicks(1234);
    EXPECT_EQ(GetAtomicLockDeadlockLimitTicks(), 1234u);
    SetAtomicLockDeadlockLimitTicks(0);
}

TEST(AtomicLockDeathTest, UninitialisedLockIsAPreconditionFailure)
{
    OxAtomicLock lock;
    OxSpinLock32 lock32;
    EXPECT_DEATH(lock.TryAcquire(), "Assertion failed");
    EXPECT_DEATH(OX_ATOMIC_LOCK_ACQUIRE(lock), "Assertion failed");
    EXPECT_DEATH(SpinAcquireLock(lock, false), "Assertion failed");
    EXPECT_DEATH(SpinAcquireLock(lock32, true), "Assertion failed");
}
} // namespace
