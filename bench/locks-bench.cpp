// Lock and unlock: OxAtomicLock (acquire, spin and try forms), the 32-bit spin lock and
// oxsys::Mutex (blocking, timed, recursive, and taken by two threads in turn) against
// std::mutex and std::recursive_mutex, all measured in the same run; the summary gives
// how many times faster each is than its baseline.
#include "corelib/system/atomic-lock.h"
#include "corelib/system/platform/mutex.h"

#include "bench/bench-main.h"

#include <benchmark/benchmark.h>

#include <mutex>
#include <thread>

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

// A recursive mutex entered twice and left twice by its owner.
void BM_StdRecursiveMutex(benchmark::State& state)
{
    std::recursive_mutex mutex;
    for (auto _ : state)
    {
        mutex.lock();
        mutex.lock();
        mutex.unlock();
        mutex.unlock();
    }
}

void BM_OxMutexRecursive(benchmark::State& state)
{
    oxsys::Mutex mutex;
    oxsys::MutexDesc desc;
    desc.m_type = oxsys::MUTEX_RECURSIVE;
    oxsys::CreateMutex(desc, mutex);
    for (auto _ : state)
    {
        mutex.Lock();
        mutex.Lock();
        mutex.Unlock();
        mutex.Unlock();
    }
}

// The C library lets a process that has never started a thread skip the atomic
// operations of its mutexes (so does oxsys::Mutex); a job system always runs threads.
// These measure the uncontended figures once the process has had a second thread.
void StartAThreadOnce()
{
    static const bool s_started = []
    {
        std::thread([] {}).join();
        return true;
    }();
    (void)s_started;
}

void BM_StdMutexInThreadedProcess(benchmark::State& state)
{
    StartAThreadOnce();
    BM_StdMutex(state);
}

void BM_OxMutexInThreadedProcess(benchmark::State& state)
{
    StartAThreadOnce();
    BM_OxMutex(state);
}

// Two threads take turns on one lock around a one-line critical section: the cost of
// handing the lock between cores, and what a lock that sleeps too early loses. Both
// threads of a run share the function's statics.
void BM_StdMutexContended(benchmark::State& state)
{
    static std::mutex s_mutex;
    static U64 s_counter = 0;
    for (auto _ : state)
    {
        s_mutex.lock();
        ++s_counter;
        s_mutex.unlock();
    }
}

void BM_OxMutexContended(benchmark::State& state)
{
    struct SharedMutex
    {
        SharedMutex() { oxsys::CreateMutex(oxsys::MutexDesc(), m_mutex); }
        oxsys::Mutex m_mutex;
        U64 m_counter = 0;
    };
    static SharedMutex s_shared; // created by the first thread to get here
    for (auto _ : state)
    {
        s_shared.m_mutex.Lock();
        ++s_shared.m_counter;
        s_shared.m_mutex.Unlock();
    }
}

BENCHMARK(BM_StdMutex);
BENCHMARK(BM_OxAtomicLockAcquire);
BENCHMARK(BM_OxAtomicLockTry);
BENCHMARK(BM_OxAtomicLockSpin);
BENCHMARK(BM_OxSpinLock32);
BENCHMARK(BM_OxMutex);
BENCHMARK(BM_OxMutexTimed);
BENCHMARK(BM_StdRecursiveMutex);
BENCHMARK(BM_OxMutexRecursive);
// After the single-threaded ones: from here on the process has threads.
BENCHMARK(BM_StdMutexContended)->Threads(2)->UseRealTime();
BENCHMARK(BM_OxMutexContended)->Threads(2)->UseRealTime();
BENCHMARK(BM_StdMutexInThreadedProcess);
BENCHMARK(BM_OxMutexInThreadedProcess);
} // namespace

OX_BENCH_RATIOS("Lock + unlock, times faster than the std:: baseline (same run):",
                {{"BM_OxAtomicLockAcquire", "BM_StdMutex"},
                 {"BM_OxAtomicLockTry", "BM_StdMutex"},
                 {"BM_OxAtomicLockSpin", "BM_StdMutex"},
                 {"BM_OxSpinLock32", "BM_StdMutex"},
                 {"BM_OxMutex", "BM_StdMutex"},
                 {"BM_OxMutexTimed", "BM_StdMutex"},
                 {"BM_OxMutexRecursive", "BM_StdRecursiveMutex"},
                 {"BM_OxMutexInThreadedProcess", "BM_StdMutexInThreadedProcess"},
                 {"BM_OxMutexContended/real_time/threads:2", "BM_StdMutexContended/real_time/threads:2"}});
