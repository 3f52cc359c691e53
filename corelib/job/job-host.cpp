// The one-object start of the job system.
#include "corelib/job/job-host.h"

#include "corelib/job/job-assert.h"
#include "corelib/job/job-system.h"
#include "corelib/job/job-time-critical.h"
#include "corelib/memory/alloc-stack.h"

#include <new>

namespace oxjob
{
namespace
{
constexpr std::align_val_t kBlockAlignment{128};

// A worker per logical processor but one, which the host thread keeps: it runs loop
// chunks and the started loops it waits for, and a worker on its processor as well made
// three threads share two cores on a small machine (the frame of the typed benchmark took
// 1.9-2.7x oneTBB's time so, 1.15-1.4x with one worker less).
U64 DefaultHostWorkers(U64 logicalProcessorWorkers)
{
    return logicalProcessorWorkers > 1 ? logicalProcessorWorkers - 1 : 1;
}
} // namespace

ScopedJobSystem::ScopedJobSystem(const JobHostParams& hostParams)
{
    OX_JOB_ASSERT_MSG(!IsInitialized(), "The job system is already running: one ScopedJobSystem at a time");
    if (!Memory::GetThreadAllocStack())
    {
        Memory::InitializeThreadAllocStack();
        m_ownsAllocStack = true;
    }
    if (hostParams.m_smallJobFiberStackSpace)
        m_params.m_smallJobFiberStackSpace = hostParams.m_smallJobFiberStackSpace;
    if (hostParams.m_largeJobFiberStackSpace)
        m_params.m_largeJobFiberStackSpace = hostParams.m_largeJobFiberStackSpace;
    FillDefaultInitParams(&m_params, hostParams.m_jobDeclPoolBytes);
    const U64 workers = hostParams.m_numWorkerThreads ? hostParams.m_numWorkerThreads
                                                      : DefaultHostWorkers(m_params.m_numWorkerThreads);
    if (workers != m_params.m_numWorkerThreads || hostParams.m_numEmergencyWorkerThreads)
    {
        m_params.m_numWorkerThreads = workers;
        m_params.m_numEmergencyWorkerThreads = hostParams.m_numEmergencyWorkerThreads;
        SizePoolsForWorkers(&m_params, hostParams.m_jobDeclPoolBytes);
    }
    m_params.m_pMemoryBuffer = ::operator new(m_params.m_memoryBufferSize, kBlockAlignment);
    SetSchedulingPolicy(hostParams.m_schedulingPolicy);
    m_startResult = Initialize(&m_params);
    OX_JOB_ASSERT_MSG(m_startResult.IsSuccess(), "The job system did not start: %s",
                      m_startResult.GetErrorString());
    m_running = m_startResult.IsSuccess();
    if (!m_running)
        return;
    SetPowerSaveEnabled(hostParams.m_powerSave);
}

ScopedJobSystem::~ScopedJobSystem()
{
    if (m_running)
        Shutdown();
    ::operator delete(m_params.m_pMemoryBuffer, kBlockAlignment);
    if (m_ownsAllocStack)
        Memory::FreeThreadAllocStack();
}
} // namespace oxjob
