#include "corelib/system/atomic-lock.h"

#include "corelib/system/platform/cpu-pause.h"
#include "corelib/system/platform/thread.h"
#include "corelib/system/profiler-events.h"
#include "corelib/system/running-job.h"
#include "corelib/system/timing.h"
#include "corelib/util/msg-assert.h"
#include "corelib/util/msg.h"

namespace
{
constexpr U64 kDefaultDeadlockSeconds = 10;
constexpr U64 kTimedAcquireSpinAttempts = 10000;
constexpr U64 kSpinBackoffCap = 50;

// 0 until first use; then the limit in ticks. Computed lazily so that locks taken during
// static start-up still see a valid counter frequency.
std::atomic<U64> s_deadlockLimitTicks{0};

// When set, only job worker threads may acquire atomic locks (AcquireLock asserts it).
// Off: locks are taken on every thread, before and beside the job system.
constexpr bool kRequireWorkerThread = false;

// The marker is written by Release while other threads may be reading it in their wait
// loops; the accesses go through atomic_ref so that they are well defined (and quiet
// under ThreadSanitizer) without changing the lock's layout.
inline U64 LoadMarker(const U64& marker)
{
    return std::atomic_ref<U64>(const_cast<U64&>(marker)).load(std::memory_order_relaxed);
}

inline void StoreMarker(U64& marker, U64 value)
{
    std::atomic_ref<U64>(marker).store(value, std::memory_order_relaxed);
}

inline U64 SaturatingMulDiv(U64 a, U64 b, U64 divisor)
{
    const unsigned __int128 product = static_cast<unsigned __int128>(a) * b / divisor;
    return product > ~0ull ? ~0ull : static_cast<U64>(product);
}

// Prints the channel-8 line and, without a debugger, raises the assertion report.
OX_COLD void ReportAtomicDeadlock(const char* sourceFile, int line, const char* functionName)
{
    const char* name = functionName ? functionName : "";
    SetActiveMsgOutput(kMsgChannelError);
    PrintError("%s: atomic deadlock detected\n", name);
    if (IsDebuggerAttached())
        return;
    OxAssertBegin();
    const char* message = nullptr;
    if (OxAssertHasReportHandler())
    {
        AssertMessageFormatter formatter = GetAssertMessageFormatter();
        message = formatter ? formatter("%s: Atomic Deadlock Detected", name) : "";
    }
    OxAssertReport("", sourceFile, name, line, message);
}

// Pauses n * min(n, 50) times, or sleeps 1 ms once n passes 50 when yielding is allowed.
inline void SpinBackoff(U64 attempts, bool mayYield)
{
    if (mayYield && attempts > kSpinBackoffCap)
    {
        oxsys::SleepMs(1);
        return;
    }
    const U64 rounds = attempts < kSpinBackoffCap ? attempts : kSpinBackoffCap;
    for (U64 i = 0; i < rounds * attempts; ++i)
        oxsys::CpuPause();
}
// The spin acquire of both lock widths: the marker test, then compare-and-swap with a
// back-off that grows until it is capped, inside a "Waiting" region once it had to wait.
template <typename Word, typename MarkerTest>
void SpinAcquire(std::atomic<Word>& word, MarkerTest isMarked, bool mayYield)
{
    U64 attempts = 0;
    for (;;)
    {
        OX_ASSERT(isMarked());
        Word expected = 0;
        if (word.load(std::memory_order_relaxed) == 0 &&
            word.compare_exchange_strong(expected, static_cast<Word>(~Word(0)), std::memory_order_seq_cst))
            break;
        if (attempts == 0)
            BeginProfileEvent("Waiting");
        ++attempts;
        SpinBackoff(attempts, mayYield);
    }
    if (attempts != 0)
        EndProfileEvent();
}
} // namespace

U64 GetAtomicLockDeadlockLimitTicks()
{
    U64 limit = s_deadlockLimitTicks.load(std::memory_order_relaxed);
    if (OX_UNLIKELY(limit == 0))
    {
        // Every thread computes the same figure, so a race only stores it twice.
        limit = GetTimerFrequency() * kDefaultDeadlockSeconds;
        U64 expected = 0;
        if (!s_deadlockLimitTicks.compare_exchange_strong(expected, limit, std::memory_order_relaxed))
            limit = expected;
    }
    return limit;
}

void SetAtomicLockDeadlockLimitTicks(U64 ticks)
{
    s_deadlockLimitTicks.store(ticks, std::memory_order_relaxed);
}

void OxAtomicLock::Init()
{
    StoreMarker(m_marker, kMarker);
    m_lock.exchange(0, std::memory_order_seq_cst);
}

void OxAtomicLock::Release()
{
    StoreMarker(m_marker, kMarker);
    m_lock.exchange(0, std::memory_order_seq_cst);
}

bool OxAtomicLock::TryAcquire()
{
    OX_ASSERT((LoadMarker(m_marker) & 0xFF) != 0);
    U64 expected = 0;
    return m_lock.compare_exchange_strong(expected, kHeld, std::memory_order_seq_cst);
}

void OxAtomicLock::AcquireLock(const char* sourceFile, int line, const char* functionName)
{
    if (kRequireWorkerThread)
        OX_ASSERT_AS(oxsys::IsJobWorkerThread(), "oxjob::IsWorkerThread()");

    // The uncontended path: one compare-and-swap, no counter read. The start time and
    // the deadlock limit are only needed once the lock has been found held.
    OX_ASSERT((LoadMarker(m_marker) & 0xFF) != 0);
    U64 expected = 0;
    if (OX_LIKELY(m_lock.load(std::memory_order_relaxed) == 0 &&
                  m_lock.compare_exchange_strong(expected, kHeld, std::memory_order_seq_cst)))
        return;

    const U64 limit = GetAtomicLockDeadlockLimitTicks();
    U64 start = GetTimeNow();
    BeginProfileEvent("Waiting");
    for (;;)
    {
        OX_ASSERT((LoadMarker(m_marker) & 0xFF) != 0);
        expected = 0;
        if (m_lock.load(std::memory_order_relaxed) == 0 &&
            m_lock.compare_exchange_strong(expected, kHeld, std::memory_order_seq_cst))
            break;
        const U64 now = GetTimeNow();
        if (now - start > limit)
        {
            ReportAtomicDeadlock(sourceFile, line, functionName);
            start = GetTimeNow();
        }
        oxsys::CpuPause();
    }
    EndProfileEvent();
}

bool OxAtomicLock::TimedAcquire(U64 timeoutMicroseconds)
{
    if (TryAcquire())
        return true;
    const U64 limit = SaturatingMulDiv(GetTimerFrequency(), timeoutMicroseconds, 1000000);
    const U64 start = GetTimeNow();
    BeginProfileEvent("Waiting");
    U64 attempts = 1;
    bool taken = false;
    while (GetTimeNow() - start < limit)
    {
        if (attempts > kTimedAcquireSpinAttempts)
            oxsys::SleepMs(1);
        else
            oxsys::CpuPause();
        if (TryAcquire())
        {
            taken = true;
            break;
        }
        ++attempts;
    }
    EndProfileEvent();
    return taken;
}

void SpinAcquireLock(OxAtomicLock& lock, bool mayYield)
{
    SpinAcquire(
        lock.m_lock, [&lock] { return (LoadMarker(lock.m_marker) & 0xFF) != 0; }, mayYield);
}

void OxSpinLock32::Init()
{
    std::atomic_ref<U8>(m_initialized).store(1, std::memory_order_relaxed);
    m_lock.exchange(0, std::memory_order_seq_cst);
}

void OxSpinLock32::Release()
{
    Init();
}

bool OxSpinLock32::TryAcquire()
{
    OX_ASSERT(std::atomic_ref<U8>(m_initialized).load(std::memory_order_relaxed) != 0);
    U32 expected = 0;
    return m_lock.compare_exchange_strong(expected, kHeld, std::memory_order_seq_cst);
}

void SpinAcquireLock(OxSpinLock32& lock, bool mayYield)
{
    SpinAcquire(
        lock.m_lock,
        [&lock] { return std::atomic_ref<U8>(lock.m_initialized).load(std::memory_order_relaxed) != 0; },
        mayYield);
}
