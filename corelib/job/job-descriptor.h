// Job descriptors give jobs their display names. A descriptor is a static object per
// named job that links itself into a global list during static construction; Initialize
// puts every listed descriptor into the job descriptor table, keyed by the low 32 bits of
// the entry function's address.
#pragma once

#include "corelib/job/job-types.h"
#include "corelib/util/types.h"

namespace oxjob
{
class JobDescriptor
{
public:
    // Registers the name of pStartFunc; construct it statically (OX_JOB_DESCRIPTOR).
    JobDescriptor(const char* name, JobEntryFunc pStartFunc);
    JobDescriptor(const JobDescriptor&) = delete;
    JobDescriptor& operator=(const JobDescriptor&) = delete;

    const char* m_name;
    U32 m_key;
    JobDescriptor* m_pNext;
};

// The low 32 bits of an entry function's address: the descriptor key.
U32 GetJobDescriptorKey(JobEntryFunc pStartFunc);
// The descriptor registered for the key, or null (also before Initialize).
const JobDescriptor* LookUpJobDescriptor(U32 key);
// The name of the declaration's entry function, or "<<<BARRIER>>>" when none is registered.
const char* GetJobName(const JobDecl* pJobDecl);
// The same for an entry function.
const char* GetJobName(JobEntryFunc pStartFunc);
// The head of the list of descriptors registered so far (newest first).
JobDescriptor* GetRegisteredJobDescriptors();
} // namespace oxjob

// Names a job entry function: OX_JOB_DESCRIPTOR(MyJob) at namespace scope after MyJob.
#define OX_JOB_DESCRIPTOR(function)                                                                          \
    static ::oxjob::JobDescriptor s_jobDescriptor_##function(#function, &(function))
