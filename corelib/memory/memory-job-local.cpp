// The memory system's job-local entries, kept through the running-job seam.
#include "corelib/memory/memory-job-local.h"

#include "corelib/system/running-job.h"

namespace Memory
{
bool IsRenderJob()
{
    return (oxsys::GetRunningJobFlags() & kJobFlagRender) != 0;
}

Allocator* GetJobAllocator()
{
    U64 value = 0;
    if (!oxsys::TryGetRunningJobLocalStorage(kJlsIndexAllocator, &value))
        return nullptr;
    return reinterpret_cast<Allocator*>(static_cast<UPtr>(value));
}

void SetJobAllocator(Allocator* pAllocator)
{
    oxsys::SetRunningJobLocalStorage(kJlsIndexAllocator, kJlsIdAllocator,
                                     static_cast<U64>(reinterpret_cast<UPtr>(pAllocator)));
}

bool IsJobSuppressingAllocFail()
{
    U64 value = 0;
    return oxsys::TryGetRunningJobLocalStorage(kJlsIndexAllocFailSuppression, &value);
}

U64 GetJobAllocFailSuppression()
{
    U64 value = 0;
    return oxsys::TryGetRunningJobLocalStorage(kJlsIndexAllocFailSuppression, &value) ? value : 0;
}

void SetJobAllocFailSuppression(U64 depth)
{
    if (depth == 0)
        oxsys::ClearRunningJobLocalStorage(kJlsIndexAllocFailSuppression);
    else
        oxsys::SetRunningJobLocalStorage(kJlsIndexAllocFailSuppression, kJlsIdAllocFailSuppression, depth);
}
} // namespace Memory
