// The job system started and stopped with one object: the calling thread's allocator
// stack, the memory block sized for this machine, Initialize and power save at
// construction; Shutdown, the block and the allocator stack again at the end of its scope.
//
//   int main()
//   {
//       oxjob::ScopedJobSystem jobSystem; // the defaults for this machine
//       oxjob::ParallelFor(0, count, 4096, [&](U64 begin, U64 end) { ... });
//   }
//
// The defaults share the machine with other programs: a regular worker per logical
// processor but one (the host thread runs loop chunks, and the started loops it waits
// for, on that one), and power save on, so that workers with nothing to do sleep instead
// of competing with the host thread and with other processes.
#pragma once

#include "corelib/job/job-default-params.h"
#include "corelib/job/job-scheduling-policy.h"
#include "corelib/util/error.h"
#include "corelib/util/types.h"

namespace oxjob
{
// The few choices a host makes; every other field of InitParams comes from
// FillDefaultInitParams.
struct JobHostParams
{
    // Regular workers; 0: one per logical processor but one (at least 1, at most
    // kMaxWorkerThreads).
    U64 m_numWorkerThreads = 0;
    // Workers that serve only the time-critical priorities.
    U64 m_numEmergencyWorkerThreads = 0;
    // Idle regular workers sleep (SetPowerSaveEnabled) instead of spinning.
    bool m_powerSave = true;
    // Bytes of the job declaration pool, which the typed layer's calls also use.
    U64 m_jobDeclPoolBytes = kDefaultJobDeclPoolBytes;
    // Fiber stack sizes, multiples of 16384; 0 keeps InitParams' (16 KiB and 64 KiB).
    // Jobs declared kLargeStack, and typed calls given it, run on the large ones.
    U64 m_smallJobFiberStackSpace = 0;
    U64 m_largeJobFiberStackSpace = 0;
    // How the workers keep queued job arrays (SetSchedulingPolicy); set before Initialize.
    // The shared lists measured as fast or faster on the typed layer's work, whose loops
    // are submitted from the host thread.
    SchedulingPolicy m_schedulingPolicy = SchedulingPolicy::kSharedLists;
};

// Starts the job system for the calling thread's scope (see above) and stops it when the
// scope ends. A failed start is reported through the assertion report with Initialize's
// error; without a report handler, IsRunning() says false and GetStartResult() tells why.
// One at a time, on a thread that is not a worker.
class ScopedJobSystem
{
public:
    explicit ScopedJobSystem(const JobHostParams& hostParams = JobHostParams());
    ~ScopedJobSystem();
    ScopedJobSystem(const ScopedJobSystem&) = delete;
    ScopedJobSystem& operator=(const ScopedJobSystem&) = delete;

    bool IsRunning() const { return m_running; }
    Err GetStartResult() const { return m_startResult; }
    // The parameters Initialize was given (the block included).
    const InitParams& GetInitParams() const { return m_params; }

private:
    InitParams m_params;
    Err m_startResult;
    bool m_running = false;
    bool m_ownsAllocStack = false;
};
} // namespace oxjob
