// The job system's answers behind the running-job seam of the lower layers: whether the
// thread is a worker, the running job's flags and its fixed job-local entries.
#include "corelib/job/job-running-queries.h"

#include "corelib/job/job-assert.h"
#include "corelib/job/job-local-storage.h"
#include "corelib/job/job-system-priv.h"
#include "corelib/system/running-job.h"

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

constexpr oxsys::RunningJobQueries kJobSystemQueries = {QueryIsWorkerThread, QueryRunningJobFlags,
                                                        QueryTryGetJobLocalStorage, QuerySetJobLocalStorage,
                                                        QueryClearJobLocalStorage};
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
