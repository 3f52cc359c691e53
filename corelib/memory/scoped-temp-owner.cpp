#include "corelib/memory/scoped-temp-owner.h"

#include "corelib/system/platform/thread.h"
#include "corelib/system/running-job.h"

I64 GetScopedTempOwnerKey()
{
    U64 jobKey = 0;
    if (oxsys::IsJobWorkerThread() && oxsys::TryGetRunningJobLocalStorage(kScopedTempJobKeyIndex, &jobKey))
        return static_cast<I64>(jobKey);
    return static_cast<I64>(static_cast<U64>(oxsys::CurrentThreadId()) | kScopedTempThreadKeyBit);
}
