// The one seam through which the lower layers ask about the job that runs on the calling
// thread: whether the thread is a job worker, the running job's flags, its job-local
// entries and, for fault reports, its name and stack size. The job system installs its
// answers in oxjob::Initialize, before its first worker starts, and removes them after
// oxjob::Shutdown. Until then (and in a host without
// a job system) no thread is a worker, no job runs and no job-local entry exists.
#pragma once

#include "corelib/util/types.h"

namespace oxsys
{
// The job system's answers. Every member must be set; the table must stay valid while
// installed.
struct RunningJobQueries
{
    // True on a job system worker thread.
    bool (*m_isWorkerThread)();
    // The flags of the job that runs on the calling worker (0 when none runs).
    U32 (*m_getRunningJobFlags)();
    // Reads a fixed job-local entry of the running job; false when the entry is free.
    bool (*m_tryGetJobLocalStorage)(I32 index, U64* pValue);
    // Writes a fixed job-local entry of the running job under its identifier.
    void (*m_setJobLocalStorage)(I32 index, U64 identifier, U64 value);
    // Frees a fixed job-local entry of the running job.
    void (*m_clearJobLocalStorage)(I32 index);
    // Names the job running on the calling worker for a fault report (its entry function,
    // and where it was submitted when known) into pName and gives its fiber's stack size;
    // false when no job runs. Called from a fault handler: it must neither lock nor allocate.
    bool (*m_describeRunningJob)(char* pName, U64 nameSize, U64* pStackSize);
};

// Installs the job system's answers; null restores the "no job system" answers.
void SetRunningJobQueries(const RunningJobQueries* pQueries);

// True on a job system worker thread.
bool IsJobWorkerThread();
// The flags of the job running on the calling worker; 0 outside jobs.
U32 GetRunningJobFlags();
// Reads fixed job-local entry `index` of the running job; false when it is free or no job runs.
bool TryGetRunningJobLocalStorage(I32 index, U64* pValue);
// Writes fixed job-local entry `index` of the running job; ignored outside jobs.
void SetRunningJobLocalStorage(I32 index, U64 identifier, U64 value);
// Frees fixed job-local entry `index` of the running job; ignored outside jobs.
void ClearRunningJobLocalStorage(I32 index);
// Names the running job and gives its stack size (see RunningJobQueries); false outside jobs.
bool DescribeRunningJob(char* pName, U64 nameSize, U64* pStackSize);
} // namespace oxsys
