// A host of the typed job layer: it starts the job system for this machine, runs a loop
// over 1,000,000 floats, then has a job wait for a loop of its own, keeping a job-local
// value across the wait, and stops the job system again.
#include "corelib/job/job-default-params.h"
#include "corelib/job/job-local-storage.h"
#include "corelib/job/job-time-critical.h"
#include "corelib/job/job-typed.h"
#include "corelib/memory/alloc-stack.h"
#include "corelib/util/console-reports.h"

#include <atomic>
#include <cstdio>
#include <new>
#include <vector>

int main()
{
    InstallConsoleReports();              // a misuse prints what went wrong before the breakpoint
    Memory::InitializeThreadAllocStack(); // Initialize needs the calling thread's allocator stack
    oxjob::InitParams params;
    oxjob::FillDefaultInitParams(&params); // a worker per logical processor; sets m_memoryBufferSize
    params.m_pMemoryBuffer = ::operator new(params.m_memoryBufferSize, std::align_val_t(128));
    oxjob::Initialize(&params);
    oxjob::SetPowerSaveEnabled(true); // idle workers sleep instead of spinning

    std::vector<float> data(1000000, 1.0f);
    float* pData = data.data();
    oxjob::ParallelFor(0, data.size(), 16384, [pData](U64 begin, U64 end) { // chunks of 16,384
        for (U64 i = begin; i < end; ++i)
            pData[i] = pData[i] * 2.0f + 1.0f;
    });

    constexpr U64 kKeptId = 0x5EED5EED; // a job-local storage identifier of this host's choosing
    std::atomic<U64> threes{0};
    U64 kept = 0;
    oxjob::RunAndWait([&] {                     // runs as a job on a worker
        oxjob::SetJobLocalStorage(kKeptId, 42); // belongs to this job, wherever it runs
        oxjob::ParallelFor(0, data.size(), 16384,
                           [&](U64 begin, U64 end)
                           {
                               U64 count = 0;
                               for (U64 i = begin; i < end; ++i)
                                   count += pData[i] == 3.0f ? 1 : 0;
                               threes.fetch_add(count);
                           }); // the job waits for the loop by fiber switch and may resume on another worker
        oxjob::GetJobLocalStorage(kKeptId, &kept);
    });

    oxjob::Shutdown();
    ::operator delete(params.m_pMemoryBuffer, std::align_val_t(128));
    Memory::FreeThreadAllocStack();
    printf("%llu floats are 3 and the job kept %llu across its wait\n",
           static_cast<unsigned long long>(threes.load()), static_cast<unsigned long long>(kept));
    return threes.load() == data.size() && kept == 42 ? 0 : 1;
}
