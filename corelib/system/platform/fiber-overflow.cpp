#include "corelib/system/platform/fiber-overflow.h"

#include "corelib/system/running-job.h"
#include "corelib/util/msg-assert.h"

namespace oxsys
{
void ReportFiberStackOverflow(const void* pFaultAddress)
{
    char name[256];
    U64 stackSize = 0;
    if (DescribeRunningJob(name, sizeof(name), &stackSize))
    {
        OX_ASSERT_AS_MSG(false, "Job stack overflow", "Job %s overflowed its stack of %llu bytes (fault at %p)", name,
                         static_cast<unsigned long long>(stackSize), pFaultAddress);
    }
    else
    {
        OX_ASSERT_AS_MSG(false, "Job stack overflow", "A fiber overflowed its stack (fault at %p)", pFaultAddress);
    }
}
} // namespace oxsys
