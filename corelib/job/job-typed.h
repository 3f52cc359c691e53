// The typed layer over the job API: a loop over an index range split into chunks, a few
// callables run at once and waited for, and a counter that waits and frees itself at the
// end of its scope.
//
//   oxjob::ParallelFor(0, count, 4096, [&](U64 begin, U64 end) { ... });
//   oxjob::RunAndWait([&] { LoadA(); }, [&] { LoadB(); });
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

// The caller's position, from the compilers' position builtins as default arguments
// (available where <source_location> is not, such as clang 14 with libstdc++ 12).
struct CallSite
{
    constexpr CallSite(const char* file = __builtin_FILE(), const char* function = __builtin_FUNCTION(),
                       U32 line = __builtin_LINE())
        : m_file(file), m_function(function), m_line(line)
    {
    }
    const char* m_file;
    const char* m_function;
    U32 m_line;
};

SourceLocation ToSourceLocation(const CallSite& where);
void RunLoop(U64 begin, U64 end, U64 grain, const CallableDesc& body, const SourceLocation& location);
void RunCallables(const CallableDesc* pCallables, U64 count);

template <typename... Callables>
void RunDecayedCallables(const Callables&... callables)
{
    const CallableDesc descs[] = {DescribeCallable<Callables>(callables)...};
    RunCallables(descs, sizeof...(Callables));
}
} // namespace typed

// Calls fn(chunkBegin, chunkEnd) for the chunks [begin + i * grain, ... + grain) of
// [begin, end) (the last one shorter), concurrently on the workers and the caller, and
// returns when all have run; grain must be at least 1, begin at most end. fn is called
// as const from several threads at once.
template <typename Fn>
void ParallelFor(U64 begin, U64 end, U64 grain, Fn&& fn,
                 typed::CallSite where = typed::CallSite())
{
    using Callable = std::decay_t<Fn>;
    static_assert(std::is_invocable_v<const Callable&, U64, U64>,
                  "oxjob::ParallelFor calls fn(U64 begin, U64 end) as const, on several threads at once");
    const Callable& body = fn; // a function named by the caller becomes a pointer here
    typed::RunLoop(begin, end, grain, typed::DescribeCallable<Callable>(body),
                   typed::ToSourceLocation(where));
}

// Runs every callable (each called as const with no arguments) in a job of its own,
// concurrently, and returns when all have run; inside a job the first one runs on the
// calling job.
template <typename... Fns>
void RunAndWait(Fns&&... fns)
{
    static_assert(sizeof...(Fns) > 0, "oxjob::RunAndWait needs at least one callable");
    static_assert((std::is_invocable_v<const std::decay_t<Fns>&> && ...),
                  "oxjob::RunAndWait calls each callable as const with no arguments");
    // Functions named by the caller become pointers that live until the call returns.
    typed::RunDecayedCallables<std::decay_t<Fns>...>(fns...);
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
    void Wait(I64 value = 0, U32 compare = kCompareEqual) const;

private:
    CounterHandle m_counter;
};
} // namespace oxjob
