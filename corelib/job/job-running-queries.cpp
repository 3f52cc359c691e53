// The job system's answers behind the running-job seam of the lower layers: whether the
// thread is a worker, the running job's flags and its fixed job-local entries.
#include "corelib/job/job-running-queries.h"

#include "corelib/job/job-assert.h"
#include "corelib/job/job-descriptor.h"
#include "corelib/job/job-local-storage-internal.h"
#include "corelib/job/job-source-names.h"
#include "corelib/job/job-system-priv.h"
#include "corelib/system/running-job.h"

#include <cstdio>

namespace oxjob
{
namespace
{
bool QueryIsWorkerThread()
{
    return IsWorkerThread();
}

U32 QueryRunningJobFlags()
{
    const I64 workerIndex = ReadWorkerIndex();
    if (static_cast<U64>(workerIndex) >= kMaxWorkerThreads)
        return 0;
    return static_cast<U32>(WorkerContext(static_cast<U64>(workerIndex)).m_activeJob.m_jobDecl.m_flags);
}

// The seam asks only while a job fiber runs; elsewhere there is no block to read. One
// lookup of the block: the memory system asks on every allocation of a job.
bool QueryTryGetJobLocalStorage(I32 index, U64* pValue)
{
    const JobLocalStorageInfo* pInfo = GetJlsInfo_Unsafe();
    if (!pInfo)
        return false;
    OX_JOB_ASSERT((U64)index < JobLocalStorageInfo::kMaxFixedEntries);
    const JobLocalStorageEntry& jlsEntry = pInfo->m_fixedEntries[index];
    if (jlsEntry.m_identifier == JobLocalStorageEntry::kInvalidId)
        return false;
    *pValue = jlsEntry.m_value;
    return true;
}

void QuerySetJobLocalStorage(I32 index, U64 identifier, U64 value)
{
    if (GetJlsInfo_Unsafe())
        SetJobLocalStorage(index, identifier, value);
}

void QueryClearJobLocalStorage(I32 index)
{
    if (GetJlsInfo_Unsafe() && DoesJobLocalStorageIdExist(index))
        ClearJobLocalStorage(index);
}

// The job by its descriptor's name, else by its entry function's address, and where it
// was submitted when its associated counter tells. Reads only the worker's own context
// and the descriptor table, which stay put while the worker runs the job.
bool QueryDescribeRunningJob(char* pName, U64 nameSize, U64* pStackSize)
{
    const I64 workerIndex = ReadWorkerIndex();
    if (!g_pJobSysData || static_cast<U64>(workerIndex) >= kMaxWorkerThreads)
        return false;
    const WorkerThreadContext& context = WorkerContext(static_cast<U64>(workerIndex));
    if (context.m_activeJob.m_jobId == 0)
        return false;
    const JobDecl& decl = context.m_activeJob.m_jobDecl;
    const JobDescriptor* pDescriptor = LookUpJobDescriptor(GetJobDescriptorKey(decl.m_pStartFunc));
    int used = pDescriptor ? snprintf(pName, nameSize, "'%s'", pDescriptor->m_name)
                           : snprintf(pName, nameSize, "with entry function %p",
                                      reinterpret_cast<void*>(decl.m_pStartFunc));
    const Counter* pCounter = decl.m_associatedCounter;
    if (pCounter && pCounter->m_sourceFile && used >= 0 && static_cast<U64>(used) < nameSize)
    {
        char file[kShortSourceNameSize];
        ShortJobSourceFile(pCounter->m_sourceFile, file, sizeof(file));
        const int more = snprintf(pName + used, nameSize - static_cast<U64>(used), " (submitted at %s:%llu)",
                                  file, static_cast<unsigned long long>(pCounter->m_sourceLine));
        used = more >= 0 ? used + more : more;
    }
    // Which setting gives the job more stack.
    if (used >= 0 && static_cast<U64>(used) < nameSize)
        snprintf(pName + used, nameSize - static_cast<U64>(used), "%s",
                 context.m_isLargeStackFiber
                     ? " [a larger InitParams::m_largeJobFiberStackSpace gives it more stack]"
                     : " [kLargeStack (a typed call's option too) runs it on "
                       "InitParams::m_largeJobFiberStackSpace]");
    const InitParams& params = g_pJobSysData->m_initParams;
    *pStackSize =
        context.m_isLargeStackFiber ? params.m_largeJobFiberStackSpace : params.m_smallJobFiberStackSpace;
    return true;
}

constexpr oxsys::RunningJobQueries kJobSystemQueries = {QueryIsWorkerThread,        QueryRunningJobFlags,
                                                        QueryTryGetJobLocalStorage, QuerySetJobLocalStorage,
                                                        QueryClearJobLocalStorage,  QueryDescribeRunningJob};
} // namespace

void InstallRunningJobQueries()
{
    oxsys::SetRunningJobQueries(&kJobSystemQueries);
}

void RemoveRunningJobQueries()
{
    oxsys::SetRunningJobQueries(nullptr);
}
} // namespace oxjob
