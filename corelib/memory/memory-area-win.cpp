// Win32 address-space calls behind the virtual ranges and memory areas.
#include "corelib/memory/memory-area-platform.h"

#include <windows.h>

namespace Memory
{
VirtualMemorySystemInfo GetVirtualMemorySystemInfo()
{
    SYSTEM_INFO systemInfo;
    GetSystemInfo(&systemInfo);
    VirtualMemorySystemInfo info;
    info.lpMinimumApplicationAddress = systemInfo.lpMinimumApplicationAddress;
    info.dwAllocationGranularity = systemInfo.dwAllocationGranularity;
    info.dwPageSize = systemInfo.dwPageSize;
    return info;
}

bool ReserveAddressSpaceAt(U64 addr, U64 size)
{
    void* pWanted = reinterpret_cast<void*>(addr);
    void* pGot = VirtualAlloc(pWanted, size, MEM_RESERVE, PAGE_READWRITE);
    if (pGot == nullptr)
        return false;
    if (pGot != pWanted)
    {
        // Rounded down to the allocation granularity: not the window we asked for.
        VirtualFree(pGot, 0, MEM_RELEASE);
        SetLastError(ERROR_INVALID_ADDRESS);
        return false;
    }
    return true;
}

U64 CommitAddressSpace(U64 addr, U64 size)
{
    return reinterpret_cast<U64>(
        VirtualAlloc(reinterpret_cast<void*>(addr), size, MEM_COMMIT, PAGE_READWRITE));
}

bool DecommitAddressSpace(U64 addr, U64 size)
{
    // Size 0 would make VirtualFree decommit the whole reservation around addr.
    if (size == 0)
        return true;
    return VirtualFree(reinterpret_cast<void*>(addr), size, MEM_DECOMMIT) != 0;
}

bool ReleaseAddressSpace(U64 addr, U64 size)
{
    // A reservation is released whole: Windows wants size 0 with MEM_RELEASE.
    (void)size;
    return VirtualFree(reinterpret_cast<void*>(addr), 0, MEM_RELEASE) != 0;
}

int GetLastAddressSpaceError()
{
    return static_cast<int>(GetLastError());
}
} // namespace Memory
