// The event and waitable timer paths that the job system takes most often: a wait on a
// signalled event (emergency workers during a time-critical work period), a pulse with
// nobody waiting (every commit of time-critical work), a set and reset (the bounds of a
// work period). Baselines from the same run: an uncontended std::mutex, and a manual-reset
// event written the usual way with std::mutex and std::condition_variable.
#include "corelib/system/platform/event.h"
#include "corelib/system/platform/waitable-timer.h"

#include "bench/bench-main.h"

#include <benchmark/benchmark.h>

#include <condition_variable>
#include <mutex>

namespace
{
// The textbook manual-reset event: every operation takes the mutex.
class StdEvent
{
public:
    void Set()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_signalled = true;
        m_condition.notify_all();
    }
    void Reset()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_signalled = false;
    }
    void Wait()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_condition.wait(lock, [this] { return m_signalled; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_condition;
    bool m_signalled = false;
};

void BM_StdMutex(benchmark::State& state)
{
    std::mutex mutex;
    for (auto _ : state)
    {
        mutex.lock();
        mutex.unlock();
    }
}

void BM_StdEventWaitSignalled(benchmark::State& state)
{
    StdEvent event;
    event.Set();
    for (auto _ : state)
        event.Wait();
}

void BM_StdEventSetReset(benchmark::State& state)
{
    StdEvent event;
    for (auto _ : state)
    {
        event.Set();
        event.Reset();
    }
}

void BM_WaitForSignalledEvent(benchmark::State& state)
{
    oxsys::Event event;
    oxsys::CreateEvent(event);
    oxsys::SetEvent(event);
    for (auto _ : state)
        benchmark::DoNotOptimize(oxsys::WaitForEvent(event, oxsys::kInfinite));
}

void BM_WaitForTimerOrSignalledEvent(benchmark::State& state)
{
    oxsys::Event event;
    oxsys::CreateEvent(event);
    oxsys::SetEvent(event);
    oxsys::WaitableTimer timer;
    oxsys::CreateHighResolutionWaitableTimer(timer);
    oxsys::SetWaitableTimer(timer, -36000000000ll); // an hour: only the event ends the waits
    for (auto _ : state)
        oxsys::WaitForTimerOrEvent(timer, event);
}

void BM_PulseEventNobodyWaiting(benchmark::State& state)
{
    oxsys::Event event;
    oxsys::CreateEvent(event);
    for (auto _ : state)
        benchmark::DoNotOptimize(oxsys::PulseEvent(event));
}

void BM_SetResetEvent(benchmark::State& state)
{
    oxsys::Event event;
    oxsys::CreateEvent(event);
    for (auto _ : state)
    {
        oxsys::SetEvent(event);
        oxsys::ResetEvent(event);
    }
}
} // namespace

BENCHMARK(BM_StdMutex);
BENCHMARK(BM_StdEventWaitSignalled);
BENCHMARK(BM_StdEventSetReset);
BENCHMARK(BM_WaitForSignalledEvent);
BENCHMARK(BM_WaitForTimerOrSignalledEvent);
BENCHMARK(BM_PulseEventNobodyWaiting);
BENCHMARK(BM_SetResetEvent);

OX_BENCH_RATIOS("Event operations, times faster than the baseline (same run):",
                {
                    {"BM_WaitForSignalledEvent", "BM_StdEventWaitSignalled"},
                    {"BM_WaitForSignalledEvent", "BM_StdMutex"},
                    {"BM_WaitForTimerOrSignalledEvent", "BM_StdEventWaitSignalled"},
                    {"BM_PulseEventNobodyWaiting", "BM_StdMutex"},
                    {"BM_SetResetEvent", "BM_StdEventSetReset"},
                });
