// Win32 services behind CPU information: GetSystemInfo, GlobalMemoryStatusEx,
// GetSystemTimeAsFileTime and GetProcessTimes, and the compiler's cpuid intrinsic.
#include "corelib/system/cpu-info-platform.h"

#include "corelib/util/msg-assert.h"

#include <intrin.h>
#include <windows.h>

void CpuExecuteCpuid(U32 leaf, U32 subLeaf, CpuidRegisters& out)
{
    int regs[4] = {};
    __cpuidex(regs, int(leaf), int(subLeaf));
    out = CpuidRegisters{U32(regs[0]), U32(regs[1]), U32(regs[2]), U32(regs[3])};
}

U32 GetNumLogicalProcessors()
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors;
}

namespace
{
MEMORYSTATUSEX QueryMemoryStatus()
{
    MEMORYSTATUSEX status = {};
    status.dwLength = sizeof(status);
    OX_VERIFY(GlobalMemoryStatusEx(&status));
    return status;
}

U64 FileTimeToU64(const FILETIME& time)
{
    return (U64(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}
} // namespace

U64 GetTotalPhysicalMemory()
{
    return QueryMemoryStatus().ullTotalPhys;
}

U64 GetUsedPhysicalMemory()
{
    MEMORYSTATUSEX status = QueryMemoryStatus();
    return status.ullTotalPhys - status.ullAvailPhys;
}

CpuProcessTimes CpuReadProcessTimes()
{
    FILETIME now;
    FILETIME creation;
    FILETIME exit;
    FILETIME kernel;
    FILETIME user;
    GetSystemTimeAsFileTime(&now);
    OX_VERIFY(GetProcessTimes(GetCurrentProcess(), &creation, &exit, &kernel, &user));
    return CpuProcessTimes{FileTimeToU64(now), FileTimeToU64(kernel) + FileTimeToU64(user)};
}
