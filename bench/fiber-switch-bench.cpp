// One-way fiber switch against a plain call through a function pointer and against
// glibc's swapcontext. Every benchmark iteration is a round trip, two one-way switches
// (there and back), and the call baseline makes two calls per iteration, so the ratios
// printed at the end are per one-way switch. Halve the table's times for one switch.
#include "corelib/system/platform/fiber.h"
#include "corelib/system/platform/platform.h"

#include "bench/bench-main.h"

#include <benchmark/benchmark.h>

#include <ucontext.h>

namespace
{
constexpr U64 kBenchStackSize = 64 * 1024;

OX_NOINLINE void EmptyFunction(U64* pCounter)
{
    ++*pCounter;
}

void BM_IndirectCallTwice(benchmark::State& state)
{
    void (*volatile pFunction)(U64*) = EmptyFunction;
    U64 counter = 0;
    for (auto _ : state)
    {
        pFunction(&counter);
        pFunction(&counter);
    }
    benchmark::DoNotOptimize(counter);
}

struct SwitchBench
{
    benchmark::State* m_pState;
    oxsys::Fiber m_loop;
    oxsys::Fiber m_echo;
};

// Runs the benchmark loop on a fiber; each iteration visits the echo fiber and back.
void LoopFiber(void* pArgument)
{
    SwitchBench& bench = *static_cast<SwitchBench*>(pArgument);
    for (auto _ : *bench.m_pState)
        oxsys::SwitchToFiber(bench.m_echo);
    oxsys::StopFiberExecution();
}

void EchoFiber(void* pArgument)
{
    SwitchBench& bench = *static_cast<SwitchBench*>(pArgument);
    for (;;)
        oxsys::SwitchToFiber(bench.m_loop);
}

void RunSwitchRoundTrips(benchmark::State& state, U32 flags)
{
    SwitchBench bench;
    bench.m_pState = &state;
    oxsys::CreateFiber(bench.m_loop, "loop", LoopFiber, nullptr, kBenchStackSize, &bench, flags);
    oxsys::CreateFiber(bench.m_echo, "echo", EchoFiber, nullptr, kBenchStackSize, &bench, flags);
    oxsys::StartFiberExecution(bench.m_loop);
    oxsys::ReleaseFiber(bench.m_loop);
    oxsys::ReleaseFiber(bench.m_echo);
}

void BM_FiberSwitchRoundTrip(benchmark::State& state)
{
    RunSwitchRoundTrips(state, oxsys::kFiberFlagNone);
}

// Fibers that carry their own SSE and x87 control words through every switch.
void BM_FiberSwitchRoundTripFloat(benchmark::State& state)
{
    RunSwitchRoundTrips(state, oxsys::kFiberFlagFloatSwitch);
}

struct SwapBench
{
    benchmark::State* m_pState;
    ucontext_t m_main;
    ucontext_t m_loop;
    ucontext_t m_echo;
};
SwapBench* s_pSwapBench = nullptr;

void SwapLoop()
{
    SwapBench& bench = *s_pSwapBench;
    for (auto _ : *bench.m_pState)
        swapcontext(&bench.m_loop, &bench.m_echo);
    swapcontext(&bench.m_loop, &bench.m_main);
}

void SwapEcho()
{
    SwapBench& bench = *s_pSwapBench;
    for (;;)
        swapcontext(&bench.m_echo, &bench.m_loop);
}

void BM_SwapContextRoundTrip(benchmark::State& state)
{
    static char s_loopStack[kBenchStackSize];
    static char s_echoStack[kBenchStackSize];
    SwapBench bench;
    bench.m_pState = &state;
    s_pSwapBench = &bench;
    getcontext(&bench.m_loop);
    bench.m_loop.uc_stack.ss_sp = s_loopStack;
    bench.m_loop.uc_stack.ss_size = sizeof(s_loopStack);
    bench.m_loop.uc_link = &bench.m_main;
    makecontext(&bench.m_loop, SwapLoop, 0);
    getcontext(&bench.m_echo);
    bench.m_echo.uc_stack.ss_sp = s_echoStack;
    bench.m_echo.uc_stack.ss_size = sizeof(s_echoStack);
    bench.m_echo.uc_link = &bench.m_main;
    makecontext(&bench.m_echo, SwapEcho, 0);
    swapcontext(&bench.m_main, &bench.m_loop);
}

BENCHMARK(BM_IndirectCallTwice);
BENCHMARK(BM_FiberSwitchRoundTrip);
BENCHMARK(BM_FiberSwitchRoundTripFloat);
BENCHMARK(BM_SwapContextRoundTrip);
} // namespace

OX_BENCH_RATIOS("Per one-way switch (slower / faster, same run):",
                {{"BM_IndirectCallTwice", "BM_FiberSwitchRoundTrip"},
                 {"BM_FiberSwitchRoundTrip", "BM_SwapContextRoundTrip"},
                 {"BM_IndirectCallTwice", "BM_FiberSwitchRoundTripFloat"},
                 {"BM_FiberSwitchRoundTripFloat", "BM_SwapContextRoundTrip"}});
