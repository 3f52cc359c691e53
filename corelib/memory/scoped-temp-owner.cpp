#include "corelib/memory/scoped-temp-owner.h"

#include "corelib/memory/memory-job-hooks.h"
#include "corelib/system/platform/thread.h"

#include <atomic>

namespace
{
std::atomic<ScopedTempJobKeyFn> s_jobKeyFn{nullptr};
} // namespace

void SetScopedTempJobKeyFn(ScopedTempJobKeyFn jobKeyFn)
{
    s_jobKeyFn.store(jobKeyFn, std::memory_order_release);
}

I64 GetScopedTempOwnerKey()
{
    const ScopedTempJobKeyFn jobKeyFn = s_jobKeyFn.load(std::memory_order_acquire);
    if (jobKeyFn && oxjob::IsWorkerThread())
        return jobKeyFn();
    return static_cast<I64>(static_cast<U64>(oxsys::CurrentThreadId()) | kScopedTempThreadKeyBit);
}
