// Default answers (no job system) and the job-local accessors built on the hooks.
#include "corelib/memory/memory-job-hooks.h"

namespace Memory
{
namespace
{
bool NoWorker()
{
    return false;
}

bool NoJobLocalStorage(I32, U64*)
{
    return false;
}

void IgnoreSet(I32, U64, U64) {}

void IgnoreClear(I32) {}

constexpr JobHooks kNoJobSystem = {NoWorker, NoWorker, NoJobLocalStorage, IgnoreSet, IgnoreClear};
const JobHooks* s_pJobHooks = &kNoJobSystem;
} // namespace

void SetJobHooks(const JobHooks* pHooks)
{
    s_pJobHooks = pHooks ? pHooks : &kNoJobSystem;
}

bool IsRenderJob()
{
    return s_pJobHooks->m_isRenderJob();
}

Allocator* GetJobAllocator()
{
    U64 value = 0;
    if (!s_pJobHooks->m_tryGetJobLocalStorage(kJlsIndexAllocator, &value))
        return nullptr;
    return reinterpret_cast<Allocator*>(static_cast<UPtr>(value));
}

void SetJobAllocator(Allocator* pAllocator)
{
    s_pJobHooks->m_setJobLocalStorage(kJlsIndexAllocator, kJlsIdAllocator,
                                      static_cast<U64>(reinterpret_cast<UPtr>(pAllocator)));
}

bool IsJobSuppressingAllocFail()
{
    U64 value = 0;
    return s_pJobHooks->m_tryGetJobLocalStorage(kJlsIndexAllocFailSuppression, &value);
}

U64 GetJobAllocFailSuppression()
{
    U64 value = 0;
    return s_pJobHooks->m_tryGetJobLocalStorage(kJlsIndexAllocFailSuppression, &value) ? value : 0;
}

void SetJobAllocFailSuppression(U64 depth)
{
    if (depth == 0)
        s_pJobHooks->m_clearJobLocalStorage(kJlsIndexAllocFailSuppression);
    else
        s_pJobHooks->m_setJobLocalStorage(kJlsIndexAllocFailSuppression, kJlsIdAllocFailSuppression, depth);
}
} // namespace Memory

bool oxjob::IsWorkerThread()
{
    return Memory::s_pJobHooks->m_isWorkerThread();
}
