// Uncontended lock and unlock: OxAtomicLock (acquire, spin and try forms), the 32-bit
// spin lock and oxsys::Mutex (blocking and timed) against std::mutex, all measured in
// the same run; the summary gives how many times faster each is than std::mutex.
#include "corelib/system/atomic-lock.h"
#include "corelib/system/platform/mutex.h"

#include "bench/bench-main.h"

#include <benchmark/benchmark.h>

#include <mutex>

namespace
{
void BM_StdMutex(benchmark::State& state)
{
    std::mutex mutex;
    for (auto _ : state)
    {
        mutex.lock();
        mutex.unlock();
    }
}

void BM_OxAtomicLockAcquire(benchmark::State& state)
{
    OxAtomicLock lock;
    lock.Init();
    for (auto _ : state)
    {
        OX_ATOMIC_LOCK_ACQUIRE(lock);
        lock.Release();
    }
}

void BM_OxAtomicLockTry(benchmark::State& state)
{
    OxAtomicLock lock;
    lock.Init();
    for (auto _ : state)
    {
        benchmark::DoNotOptimize(lock.TryAcquire());
        lock.Release();
    }
}

void BM_OxAtomicLockSpin(benchmark::State& state)
{
    OxAtomicLock lock;
    lock.Init();
    for (auto _ : state)
    {
        SpinAcquireLock(lock, true);
        lock.Release();
    }
}

void BM_OxSpinLock32(benchmark::State& state)
{
    OxSpinLock32 lock;
    lock.Init();
    for (auto _ : state)
    {
        SpinAcquireLock(lock, true);
        lock.Release();
    }
}

void BM_OxMutex(benchmark::State& state)
{
    oxsys::Mutex mutex;
    oxsys::CreateMutex(oxsys::MutexDesc(), mutex);
    for (auto _ : state)
    {
        mutex.Lock();
        mutex.Unlock();
    }
}

void BM_OxMutexTimed(benchmark::State& state)
{
    oxsys::Mutex mutex;
    oxsys::CreateMutex(oxsys::MutexDesc(), mutex);
    for (auto _ : state)
    {
        mutex.Lock(10);
        mutex.Unlock();
    }
}

BENCHMARK(BM_StdMutex);
BENCHMARK(BM_OxAtomicLockAcquire);
BENCHMARK(BM_OxAtomicLockTry);
BENCHMARK(BM_OxAtomicLockSpin);
BENCHMARK(BM_OxSpinLock32);
BENCHMARK(BM_OxMutex);
BENCHMARK(BM_OxMutexTimed);
} // namespace

OX_BENCH_RATIOS("Uncontended lock + unlock, times faster than std::mutex (same run):",
                {{"BM_OxAtomicLockAcquire", "BM_StdMutex"},
                 {"BM_OxAtomicLockTry", "BM_StdMutex"},
                 {"BM_OxAtomicLockSpin", "BM_StdMutex"},
                 {"BM_OxSpinLock32", "BM_StdMutex"},
                 {"BM_OxMutex", "BM_StdMutex"},
                 {"BM_OxMutexTimed", "BM_StdMutex"}});
