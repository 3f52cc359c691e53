// POSIX stand-ins for the Windows services behind CPU information: sysconf for the
// processor count, sysinfo for physical memory, CLOCK_REALTIME for the system time and
// CLOCK_PROCESS_CPUTIME_ID for the process's kernel plus user time.
#include "corelib/system/cpu-info-platform.h"

#include "corelib/util/msg-assert.h"

#include <cstdio>
#include <ctime>
#include <sys/sysinfo.h>
#include <unistd.h>

#if OX_ARCH_X64
#include <cpuid.h>
#endif

void CpuExecuteCpuid(U32 leaf, U32 subLeaf, CpuidRegisters& out)
{
#if OX_ARCH_X64
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    __cpuid_count(leaf, subLeaf, eax, ebx, ecx, edx);
    out = CpuidRegisters{eax, ebx, ecx, edx};
#else
    // No cpuid here: highest leaf 0 and an empty vendor, so no feature is detected.
    (void)leaf;
    (void)subLeaf;
    out = CpuidRegisters{0, 0, 0, 0};
#endif
}

U32 GetNumLogicalProcessors()
{
    // The processors online, the ones threads can actually run on.
    long count = sysconf(_SC_NPROCESSORS_ONLN);
    return count > 0 ? U32(count) : 1;
}

U64 GetTotalPhysicalMemory()
{
    struct sysinfo info;
    OX_VERIFY(sysinfo(&info) == 0);
    return U64(info.totalram) * info.mem_unit;
}

namespace
{
// MemAvailable of /proc/meminfo in bytes: the kernel's estimate of what can be handed
// out without swapping, free memory plus reclaimable cache, which is what Windows calls
// available. False when the line is not there (kernels before 3.14, other systems).
bool ReadAvailableMemory(U64& bytes)
{
    FILE* pFile = fopen("/proc/meminfo", "r");
    if (!pFile)
        return false;
    char line[256];
    bool found = false;
    while (!found && fgets(line, sizeof(line), pFile))
    {
        unsigned long long kibibytes = 0;
        if (sscanf(line, "MemAvailable: %llu kB", &kibibytes) == 1)
        {
            bytes = U64(kibibytes) * 1024u;
            found = true;
        }
    }
    fclose(pFile);
    return found;
}
} // namespace

U64 GetUsedPhysicalMemory()
{
    struct sysinfo info;
    OX_VERIFY(sysinfo(&info) == 0);
    const U64 total = U64(info.totalram) * info.mem_unit;
    U64 available = 0;
    if (!ReadAvailableMemory(available))
        available = (U64(info.freeram) + U64(info.bufferram)) * info.mem_unit;
    return available < total ? total - available : 0;
}

namespace
{
U64 ToHundredNanoseconds(const timespec& time)
{
    return U64(time.tv_sec) * 10000000u + U64(time.tv_nsec) / 100u;
}
} // namespace

CpuProcessTimes CpuReadProcessTimes()
{
    timespec now;
    timespec busy;
    OX_VERIFY(clock_gettime(CLOCK_REALTIME, &now) == 0);
    OX_VERIFY(clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &busy) == 0);
    return CpuProcessTimes{ToHundredNanoseconds(now), ToHundredNanoseconds(busy)};
}
