// POSIX address-space calls behind the virtual ranges and memory areas: mmap with no
// access and no swap reservation stands in for a reservation, mprotect for a commit, and
// madvise(MADV_DONTNEED) plus no access for a decommit.
#include "corelib/memory/memory-area-platform.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#if !defined(MAP_FIXED_NOREPLACE) && defined(__linux__)
// Older C libraries lack the name; Linux 4.17 and later honour the flag, earlier kernels
// treat it as a hint, which the address check below catches.
#define MAP_FIXED_NOREPLACE 0x100000
#endif
#if !defined(MAP_FIXED_NOREPLACE)
#define MAP_FIXED_NOREPLACE 0
#endif
#if !defined(MAP_NORESERVE)
#define MAP_NORESERVE 0
#endif

namespace Memory
{
namespace
{
U64 PageSize()
{
    static const U64 s_pageSize = static_cast<U64>(sysconf(_SC_PAGESIZE));
    return s_pageSize;
}

// The pages covering addr .. addr + size, as mprotect and madvise want them.
struct PageSpan
{
    U64 start;
    U64 length;
};

PageSpan CoveringPages(U64 addr, U64 size)
{
    const U64 mask = PageSize() - 1;
    const U64 start = addr & ~mask;
    const U64 end = (addr + size + mask) & ~mask;
    return {start, end - start};
}

// The lowest address a process may map: the kernel's mmap_min_addr where it says so.
U64 MinimumMappableAddress()
{
    unsigned long long minAddr = PageSize();
    if (FILE* pFile = std::fopen("/proc/sys/vm/mmap_min_addr", "r"))
    {
        unsigned long long value = 0;
        if (std::fscanf(pFile, "%llu", &value) == 1 && value > minAddr)
            minAddr = value;
        std::fclose(pFile);
    }
    return minAddr;
}
} // namespace

VirtualMemorySystemInfo GetVirtualMemorySystemInfo()
{
    VirtualMemorySystemInfo info;
    info.lpMinimumApplicationAddress = reinterpret_cast<const void*>(MinimumMappableAddress());
    // mmap places mappings on any page boundary: the granularity is the page.
    info.dwAllocationGranularity = PageSize();
    info.dwPageSize = PageSize();
    return info;
}

bool ReserveAddressSpaceAt(U64 addr, U64 size)
{
    void* pWanted = reinterpret_cast<void*>(addr);
    void* pGot = mmap(pWanted, size, PROT_NONE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED_NOREPLACE, -1, 0);
    if (pGot == MAP_FAILED)
        return false;
    if (pGot != pWanted)
    {
        // Taken as a hint (an old kernel, or a sanitizer steering mappings away from its
        // own regions): not the window we asked for.
        munmap(pGot, size);
        errno = EEXIST;
        return false;
    }
    return true;
}

U64 CommitAddressSpace(U64 addr, U64 size)
{
    const PageSpan span = CoveringPages(addr, size);
    if (mprotect(reinterpret_cast<void*>(span.start), span.length, PROT_READ | PROT_WRITE) != 0)
        return 0;
    return span.start;
}

bool DecommitAddressSpace(U64 addr, U64 size)
{
    const PageSpan span = CoveringPages(addr, size);
    void* pStart = reinterpret_cast<void*>(span.start);
    // MADV_DONTNEED drops the pages of a private anonymous mapping (they read as zero if
    // committed again); removing access makes later use fault as it would on Windows.
    if (madvise(pStart, span.length, MADV_DONTNEED) != 0)
        return false;
    return mprotect(pStart, span.length, PROT_NONE) == 0;
}

bool ReleaseAddressSpace(U64 addr, U64 size)
{
    return munmap(reinterpret_cast<void*>(addr), size) == 0;
}

int GetLastAddressSpaceError()
{
    return errno;
}
} // namespace Memory
