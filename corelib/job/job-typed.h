// The typed layer over the job API: a loop over an index range split into chunks, a few
// callables run at once and waited for, the same started now and waited for later (with
// other work starting after them), and a counter that waits and frees itself at the end
// of its scope.
//
//   oxjob::ParallelFor(0, count, 4096, [&](U64 begin, U64 end) { ... });
//   oxjob::RunAndWait([&] { LoadA(); }, [&] { LoadB(); });
//   auto physics = oxjob::StartParallelFor(0, count, 4096, [&](U64 begin, U64 end) { ... });
//   oxjob::Start(physics, [&] { Render(); }).Wait(); // once the loop is done
//
// Every call names its caller's file and line in its reports and counters; a call given
// kLargeStack (JobOptions) runs its jobs on the large-stack fibers.
//
// Each call copies its callables (their captures) into the job declaration pool that
// Initialize carved from the host's memory block, so nothing is allocated from the heap;
// captures are limited to kMaxJobCaptureBytes, checked at compile time. The calls return
// when all their work has run. A loop's chunks run on the workers and on the calling
// thread; the caller then waits for the rest: asleep on a host thread
// (HostWaitForCounter), by fiber switch inside a job (WaitForCounter), so loops nest.
// RunAndWait's callables always run in jobs, so they may wait and use job-local storage.
// A job with kDisallowSleep may call both: it runs all the work itself. The work goes to
// the workers at the calling job's priority (3 from a host thread), a loop as at most one
// job per worker, so any number of chunks stays within the limit of 32 jobs per
// submission that may wait; RunAndWait submits its callables in batches below it.
#pragma once

#include "corelib/job/job-host-wait.h"
#include "corelib/job/job-system.h"
#include "corelib/job/job-types.h"
#include "corelib/util/types.h"

#include <new>
#include <type_traits>

namespace oxjob
{
// The largest callable (captures included) a typed job carries, in bytes.
constexpr U64 kMaxJobCaptureBytes = 256;

namespace typed
{
// A callable as the untyped part of the layer (job-typed.cpp) handles it: its size, how
// to copy it into job memory, call it and destroy the copy.
struct CallableDesc
{
    const void* m_pSource;
    U64 m_size;
    U64 m_alignment;
    void (*m_pCopy)(void* pDestination, const void* pSource);
    void (*m_pDestroy)(void* pCallable);
    void (*m_pCall)(const void* pCallable);                          // RunAndWait
    void (*m_pCallRange)(const void* pCallable, U64 begin, U64 end); // ParallelFor
};

template <typename Fn>
constexpr void CheckCapture()
{
    static_assert(sizeof(Fn) <= kMaxJobCaptureBytes,
                  "oxjob: this callable's captures exceed kMaxJobCaptureBytes (256 bytes): capture "
                  "the large data by reference or pointer instead of by value");
    static_assert(alignof(Fn) <= 64, "oxjob: a typed job's callable may be aligned to at most 64 bytes");
    static_assert(std::is_copy_constructible_v<Fn>, "oxjob: a typed job's callable must be copyable");
}

template <typename Fn>
CallableDesc DescribeCallable(const Fn& fn)
{
    CheckCapture<Fn>();
    CallableDesc desc{};
    desc.m_pSource = &fn;
    desc.m_size = sizeof(Fn);
    desc.m_alignment = alignof(Fn);
    desc.m_pCopy = [](void* pDestination, const void* pSource)
    { new (pDestination) Fn(*static_cast<const Fn*>(pSource)); };
    desc.m_pDestroy = [](void* pCallable) { static_cast<Fn*>(pCallable)->~Fn(); };
    // Called as const: a loop body runs on several threads at once.
    if constexpr (std::is_invocable_v<const Fn&>)
        desc.m_pCall = [](const void* pCallable) { (*static_cast<const Fn*>(pCallable))(); };
    if constexpr (std::is_invocable_v<const Fn&, U64, U64>)
        desc.m_pCallRange = [](const void* pCallable, U64 begin, U64 end)
        { (*static_cast<const Fn*>(pCallable))(begin, end); };
    return desc;
}

// A typed call's choices: its jobs' flags (kLargeStack alone: the jobs run on the
// large-stack fibers, InitParams::m_largeJobFiberStackSpace) and the caller's position,
// which the call's reports and its counter name. Converts from the flag, so that
// ParallelFor(0, n, 64, fn, oxjob::kLargeStack) names the caller's line too.
struct JobOptions
{
    // NOLINTNEXTLINE(google-explicit-constructor): a flag where options are expected
    JobOptions(JobFlags flags = JobFlags{}, CallSite where = CallSite()) : m_flags(flags), m_where(where) {}
    JobFlags m_flags;
    CallSite m_where;
};

// The first callable of a call, and the caller's position, taken where the call converts
// the callable (a call of callables cannot have a defaulted parameter behind them).
class FirstCallable
{
public:
    template <typename Fn, typename = std::enable_if_t<std::is_invocable_v<const std::decay_t<Fn>&>>>
    // NOLINTNEXTLINE(google-explicit-constructor): takes the place of the callable itself
    FirstCallable(const Fn& fn, CallSite where = CallSite()) : m_where(where)
    {
        using Callable = std::decay_t<Fn>;
        if constexpr (std::is_pointer_v<Callable>)
        {
            // A function named by the caller: its pointer lives here until the call returns.
            static_assert(sizeof(Callable) <= sizeof(m_pointer), "a function pointer fits");
            m_isPointer = true;
            m_desc = DescribeCallable<Callable>(*new (m_pointer) Callable(fn));
        }
        else
        {
            m_desc = DescribeCallable<Callable>(fn);
        }
    }
    CallableDesc Desc() const
    {
        CallableDesc desc = m_desc;
        if (m_isPointer)
            desc.m_pSource = m_pointer;
        return desc;
    }
    CallSite m_where;

private:
    CallableDesc m_desc;
    bool m_isPointer = false;
    alignas(void*) unsigned char m_pointer[sizeof(void (*)())];
};

struct StartedRecord;

SourceLocation ToSourceLocation(const CallSite& where);
// Loops and calls that return when done.
void RunLoop(U64 begin, U64 end, U64 grain, const CallableDesc& body, const JobOptions& options);
void RunCallables(const CallableDesc* pCallables, U64 count, const JobOptions& options);
// Loops and calls started now, after pAfter's work when it is not null.
StartedRecord* StartLoop(U64 begin, U64 end, U64 grain, const CallableDesc& body, const StartedRecord* pAfter,
                         const JobOptions& options);
StartedRecord* StartCallables(const CallableDesc* pCallables, U64 count, const StartedRecord* pAfter,
                              const JobOptions& options);
// Waits for a started record's work, then frees it.
void WaitAndFreeStarted(StartedRecord* pRecord, const CallSite& where);
// Reports the use of a handle that holds no work.
void CheckStarted(const StartedRecord* pRecord, const CallSite& where);

template <typename... Callables>
void RunDecayedCallables(const JobOptions& options, const FirstCallable& first, const Callables&... callables)
{
    const CallableDesc descs[] = {first.Desc(), DescribeCallable<Callables>(callables)...};
    RunCallables(descs, 1 + sizeof...(Callables), options);
}

template <typename... Callables>
StartedRecord* StartDecayedCallables(const StartedRecord* pAfter, const JobOptions& options,
                                     const FirstCallable& first, const Callables&... callables)
{
    const CallableDesc descs[] = {first.Desc(), DescribeCallable<Callables>(callables)...};
    return StartCallables(descs, 1 + sizeof...(Callables), pAfter, options);
}

template <typename Fn>
CallableDesc DescribeLoopBody(const Fn& body)
{
    static_assert(std::is_invocable_v<const Fn&, U64, U64>,
                  "oxjob: a loop calls fn(U64 begin, U64 end) as const, on several threads at once");
    return DescribeCallable<Fn>(body);
}

template <typename... Fns>
constexpr void CheckCallables()
{
    static_assert((std::is_invocable_v<const std::decay_t<Fns>&> && ...),
                  "oxjob: each callable is called as const with no arguments");
}
} // namespace typed

using typed::JobOptions;

// Work started by StartParallelFor or Start: it runs while the caller goes on. Wait
// returns once it has all run (by fiber switch in a job; on a host thread after running
// the chunks of started loops it is waiting for, asleep) and frees what it held (what
// work started after it still needs lives until that work has run); the destructor waits
// if Wait was not called. Other work may start after it (StartParallelFor and Start with
// it as their first argument) without anybody waiting in between. Move-only; it may not
// outlive the job system.
class StartedWork
{
public:
    StartedWork(typed::StartedRecord* pRecord, typed::CallSite where) : m_pRecord(pRecord), m_where(where) {}
    StartedWork(StartedWork&& other) noexcept : m_pRecord(other.m_pRecord), m_where(other.m_where)
    {
        other.m_pRecord = nullptr;
    }
    StartedWork& operator=(StartedWork&& other) noexcept
    {
        if (this != &other)
        {
            Wait(m_where);
            m_pRecord = other.m_pRecord;
            m_where = other.m_where;
            other.m_pRecord = nullptr;
        }
        return *this;
    }
    StartedWork(const StartedWork&) = delete;
    StartedWork& operator=(const StartedWork&) = delete;
    ~StartedWork() { Wait(m_where); }

    // Returns once the work has run; later calls return at once.
    void Wait(typed::CallSite where = typed::CallSite())
    {
        if (m_pRecord)
            typed::WaitAndFreeStarted(m_pRecord, where);
        m_pRecord = nullptr;
    }
    // True until Wait (or a move) has taken the work.
    bool IsPending() const { return m_pRecord != nullptr; }
    // The record later work depends on (reported when there is none).
    const typed::StartedRecord* After(const typed::CallSite& where) const
    {
        typed::CheckStarted(m_pRecord, where);
        return m_pRecord;
    }

private:
    typed::StartedRecord* m_pRecord;
    typed::CallSite m_where;
};

// Calls fn(chunkBegin, chunkEnd) for the chunks [begin + i * grain, ... + grain) of
// [begin, end) (the last one shorter), concurrently on the workers and the caller, and
// returns when all have run; grain must be at least 1, begin at most end. fn is called
// as const from several threads at once. options: kLargeStack for the helper jobs.
template <typename Fn>
void ParallelFor(U64 begin, U64 end, U64 grain, Fn&& fn, JobOptions options = JobOptions())
{
    const std::decay_t<Fn>& body = fn; // a function named by the caller becomes a pointer here
    typed::RunLoop(begin, end, grain, typed::DescribeLoopBody(body), options);
}

// Runs every callable (each called as const with no arguments) in a job of its own,
// concurrently, and returns when all have run; inside a job the first one runs on the
// calling job. Given options first, with their flags (kLargeStack).
template <typename... Fns>
void RunAndWait(typed::FirstCallable first, Fns&&... fns)
{
    typed::CheckCallables<Fns...>();
    const JobOptions options(JobFlags{}, first.m_where);
    typed::RunDecayedCallables<std::decay_t<Fns>...>(options, first, fns...);
}
template <typename... Fns>
void RunAndWait(JobOptions options, typed::FirstCallable first, Fns&&... fns)
{
    typed::CheckCallables<Fns...>();
    typed::RunDecayedCallables<std::decay_t<Fns>...>(options, first, fns...);
}

// Starts the loop of ParallelFor and returns at once: its chunks run in jobs and, once a
// host thread waits for it (or for work started after it), on that thread too. Given a
// StartedWork first, the loop starts once that work is done.
template <typename Fn>
[[nodiscard]] StartedWork StartParallelFor(U64 begin, U64 end, U64 grain, Fn&& fn,
                                           JobOptions options = JobOptions())
{
    const std::decay_t<Fn>& body = fn;
    return StartedWork(typed::StartLoop(begin, end, grain, typed::DescribeLoopBody(body), nullptr, options),
                       options.m_where);
}
template <typename Fn>
[[nodiscard]] StartedWork StartParallelFor(const StartedWork& after, U64 begin, U64 end, U64 grain, Fn&& fn,
                                           JobOptions options = JobOptions())
{
    const std::decay_t<Fn>& body = fn;
    return StartedWork(typed::StartLoop(begin, end, grain, typed::DescribeLoopBody(body),
                                        after.After(options.m_where), options),
                       options.m_where);
}

// Starts every callable in a job of its own and returns at once. Given a StartedWork
// first, they start once that work is done:
//
//   auto a = oxjob::Start([&] { A(); });
//   auto bc = oxjob::Start(a, [&] { B(); }, [&] { C(); }); // B and C once A is done
//   oxjob::Start(bc, [&] { D(); }).Wait();                  // D once B and C are done
template <typename... Fns>
[[nodiscard]] StartedWork Start(typed::FirstCallable first, Fns&&... fns)
{
    typed::CheckCallables<Fns...>();
    const JobOptions options(JobFlags{}, first.m_where);
    return StartedWork(typed::StartDecayedCallables<std::decay_t<Fns>...>(nullptr, options, first, fns...),
                       first.m_where);
}
template <typename... Fns>
[[nodiscard]] StartedWork Start(const StartedWork& after, typed::FirstCallable first, Fns&&... fns)
{
    typed::CheckCallables<Fns...>();
    const JobOptions options(JobFlags{}, first.m_where);
    return StartedWork(typed::StartDecayedCallables<std::decay_t<Fns>...>(after.After(first.m_where), options,
                                                                          first, fns...),
                       first.m_where);
}
template <typename... Fns>
[[nodiscard]] StartedWork Start(JobOptions options, typed::FirstCallable first, Fns&&... fns)
{
    typed::CheckCallables<Fns...>();
    return StartedWork(typed::StartDecayedCallables<std::decay_t<Fns>...>(nullptr, options, first, fns...),
                       options.m_where);
}
template <typename... Fns>
[[nodiscard]] StartedWork Start(const StartedWork& after, JobOptions options, typed::FirstCallable first,
                                Fns&&... fns)
{
    typed::CheckCallables<Fns...>();
    return StartedWork(typed::StartDecayedCallables<std::decay_t<Fns>...>(after.After(options.m_where),
                                                                          options, first, fns...),
                       options.m_where);
}

// A counter for the lifetime of a scope: allocated by the constructor; the destructor
// waits until it reads 0 (by fiber switch in a job, asleep elsewhere) and frees it, so
// the jobs that count it down cannot outlive it.
class ScopedCounter
{
public:
    // Allocates a counter starting at initialValue; the caller's line names it in reports.
    explicit ScopedCounter(I64 initialValue = 0, WaitRestriction waitRestriction = kWaitForZeroOnly,
                           typed::CallSite where = typed::CallSite());
    // Waits for 0, then frees the counter.
    ~ScopedCounter();
    ScopedCounter(const ScopedCounter&) = delete;
    ScopedCounter& operator=(const ScopedCounter&) = delete;

    // The handle, for JobDecl::m_associatedCounter (Get().m_pCounter), dependencies and RunJobs.
    CounterHandle Get() const { return m_counter; }
    // The current value.
    I64 GetValue() const;
    // Adds delta (negative to count down) and wakes what waits for the new value; returns it.
    I64 Add(I64 delta);
    // Returns when the counter meets (value, compare): by fiber switch in a job, asleep elsewhere.
    void Wait(I64 value = 0, U32 compare = kCompareEqual, typed::CallSite where = typed::CallSite()) const;

private:
    CounterHandle m_counter;
    typed::CallSite m_where;
};
} // namespace oxjob
