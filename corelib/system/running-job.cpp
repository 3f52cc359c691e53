// The default answers (no job system) and the forwarding to the installed table.
#include "corelib/system/running-job.h"

#include <atomic>

namespace oxsys
{
namespace
{
bool NoWorker()
{
    return false;
}

U32 NoJobFlags()
{
    return 0;
}

bool NoJobLocalStorage(I32, U64*)
{
    return false;
}

void IgnoreSet(I32, U64, U64) {}

void IgnoreClear(I32) {}

bool NoRunningJob(char*, U64, U64*)
{
    return false;
}

constexpr RunningJobQueries kNoJobSystem = {NoWorker,  NoJobFlags,  NoJobLocalStorage,
                                            IgnoreSet, IgnoreClear, NoRunningJob};

// Read on every allocation. The release store in SetRunningJobQueries and the acquire
// loads here hand over a fully written table (on x86-64 both are plain moves); it is
// installed and removed only while no worker runs.
std::atomic<const RunningJobQueries*> s_pQueries{&kNoJobSystem};

const RunningJobQueries* Queries()
{
    return s_pQueries.load(std::memory_order_acquire);
}
} // namespace

void SetRunningJobQueries(const RunningJobQueries* pQueries)
{
    s_pQueries.store(pQueries ? pQueries : &kNoJobSystem, std::memory_order_release);
}

bool IsJobWorkerThread()
{
    return Queries()->m_isWorkerThread();
}

U32 GetRunningJobFlags()
{
    return Queries()->m_getRunningJobFlags();
}

bool TryGetRunningJobLocalStorage(I32 index, U64* pValue)
{
    return Queries()->m_tryGetJobLocalStorage(index, pValue);
}

void SetRunningJobLocalStorage(I32 index, U64 identifier, U64 value)
{
    Queries()->m_setJobLocalStorage(index, identifier, value);
}

void ClearRunningJobLocalStorage(I32 index)
{
    Queries()->m_clearJobLocalStorage(index);
}

bool DescribeRunningJob(char* pName, U64 nameSize, U64* pStackSize)
{
    return Queries()->m_describeRunningJob(pName, nameSize, pStackSize);
}
} // namespace oxsys
