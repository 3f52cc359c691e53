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
    if (hostParams.m_numWorkerThreads || hostParams.m_numEmergencyWorkerThreads)
    {
        if (hostParams.m_numWorkerThreads)
            m_params.m_numWorkerThreads = hostParams.m_numWorkerThreads;
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
