// Start-up parameters for this machine.
#include "corelib/job/job-default-params.h"

#include "corelib/job/job-assert.h"
#include "corelib/system/cpu-info.h"

#include <algorithm>

namespace oxjob
{
namespace
{
constexpr U64 kSmallFibersPerWorker = 8;
constexpr U64 kExtraSmallFibers = 16;
constexpr U64 kExtraLargeFibers = 4;
constexpr U64 kDefaultCounters = 1024;
constexpr U64 kDefaultJobArrays = 512;
} // namespace

void FillDefaultInitParams(InitParams* pParams, U64 jobDeclPoolBytes)
{
    OX_JOB_ASSERT(pParams);
    U64 workers = GetNumLogicalProcessors();
    workers = workers == 0 ? 1 : std::min<U64>(workers, kMaxWorkerThreads);
    pParams->m_numWorkerThreads = workers;
    pParams->m_numEmergencyWorkerThreads = 0;
    SizePoolsForWorkers(pParams, jobDeclPoolBytes);
}

void SizePoolsForWorkers(InitParams* pParams, U64 jobDeclPoolBytes)
{
    OX_JOB_ASSERT(pParams);
    OX_JOB_ASSERT_MSG(pParams->m_numWorkerThreads > 0 &&
                          pParams->m_numWorkerThreads + pParams->m_numEmergencyWorkerThreads <=
                              kMaxWorkerThreads,
                      "Between 1 and %llu workers in all (%llu regular and %llu emergency asked)",
                      static_cast<unsigned long long>(kMaxWorkerThreads),
                      static_cast<unsigned long long>(pParams->m_numWorkerThreads),
                      static_cast<unsigned long long>(pParams->m_numEmergencyWorkerThreads));
    const U64 workers = pParams->m_numWorkerThreads + pParams->m_numEmergencyWorkerThreads;
    // A fiber per worker runs its loop; the rest hold jobs waiting in typed loops and
    // calls, nested a few levels deep, and the large ones jobs that declare kLargeStack.
    pParams->m_maxSmallJobFibers =
        std::min<U64>(workers * kSmallFibersPerWorker + kExtraSmallFibers, kMaxSmallJobFibers);
    pParams->m_maxLargeJobFibers = std::min<U64>(workers + kExtraLargeFibers, kMaxLargeJobFibers);
    // One counter and one job array per typed loop or call in flight.
    pParams->m_numCounters = kDefaultCounters;
    pParams->m_numJobArrays = kDefaultJobArrays;
    pParams->m_memoryBufferSize = GetMemoryBufferSizeWithJobDeclPool(*pParams, jobDeclPoolBytes);
}

U64 GetMemoryBufferSizeWithJobDeclPool(const InitParams& params, U64 jobDeclPoolBytes)
{
    // Initialize gives the declaration pool everything beyond the required size; the pool
    // must stay below 2 GiB.
    OX_JOB_ASSERT_MSG(jobDeclPoolBytes > 0 && jobDeclPoolBytes < 0x7FFF0000ull,
                      "The job declaration pool must be between 1 byte and 2 GiB (%llu asked)",
                      static_cast<unsigned long long>(jobDeclPoolBytes));
    return (GetRequiredMemoryBufferSize(params) + jobDeclPoolBytes + 127) & ~U64{127};
}
} // namespace oxjob
