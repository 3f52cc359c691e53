// A host of the job system: it starts the job system on a block of its own, runs eight
// named jobs, waits for them and stops it again.
#include "corelib/job/job-descriptor.h"
#include "corelib/job/job-host-wait.h"
#include "corelib/job/job-system.h"
#include "corelib/memory/alloc-stack.h"
#include "corelib/util/console-reports.h"

#include <atomic>
#include <cstdio>
#include <new>

namespace
{
std::atomic<U64> s_sum{0};

// Adds its argument to the sum.
void SumJob(U64 value)
{
    s_sum.fetch_add(value, std::memory_order_relaxed);
}
OX_JOB_DESCRIPTOR(SumJob); // names the job in reports and traces
} // namespace

int main()
{
    InstallConsoleReports();              // misuse prints what went wrong before the breakpoint
    Memory::InitializeThreadAllocStack(); // Initialize needs the calling thread's allocator stack

    oxjob::InitParams params; // 13 regular and 2 emergency workers by default
    params.m_numWorkerThreads = 2;
    params.m_numEmergencyWorkerThreads = 0;
    params.m_numCounters = 64;
    params.m_numJobArrays = 64;
    params.m_maxSmallJobFibers = 16; // small + large fibers: at least one per worker
    params.m_maxLargeJobFibers = 0;
    // The block: what the job system needs, plus room for the job declarations (a job array
    // holds 128 bytes per job until its jobs are taken), 128-byte aligned, a multiple of 128.
    constexpr U64 kJobDeclBytes = 64 * 1024;
    params.m_memoryBufferSize =
        (oxjob::GetRequiredMemoryBufferSize(params) + kJobDeclBytes + 127) & ~U64{127};
    params.m_pMemoryBuffer = ::operator new(params.m_memoryBufferSize, std::align_val_t(128));
    oxjob::Initialize(&params);       // returns once every worker runs; misuse is fatal
    oxjob::SetPowerSaveEnabled(true); // idle workers sleep instead of spinning

    constexpr U64 kNumJobs = 8;
    oxjob::JobDecl jobs[kNumJobs]; // 64-byte aligned by their type
    for (U64 i = 0; i < kNumJobs; ++i)
    {
        jobs[i].m_pStartFunc = SumJob;
        jobs[i].m_startArg = i + 1;
    }
    oxjob::CounterHandle done; // starts at kNumJobs; each finished job counts it down
    oxjob::RunJobs(jobs, kNumJobs, &done, oxjob::Priority{3}, ~0ull /* any worker */, oxjob::kWaitForZeroOnly,
                   OX_JOB_SOURCE_LOCATION);
    oxjob::HostWaitForCounter(done, 0); // asleep after a short spin (a job would wait by fiber switch)
    oxjob::FreeCounter(done);
    const char* pName = oxjob::GetJobName(SumJob); // "SumJob", from its descriptor

    oxjob::Shutdown();
    ::operator delete(params.m_pMemoryBuffer, std::align_val_t(128));
    Memory::FreeThreadAllocStack();

    printf("%llu %s jobs added up to %llu\n", static_cast<unsigned long long>(kNumJobs), pName,
           static_cast<unsigned long long>(s_sum.load()));
    return s_sum.load() == kNumJobs * (kNumJobs + 1) / 2 ? 0 : 1;
}
