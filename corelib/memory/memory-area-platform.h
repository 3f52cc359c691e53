// The operating-system seam of the virtual address ranges and memory areas: reserve,
// commit, decommit and release address space. One implementation per platform
// (memory-area-win.cpp, memory-area-posix.cpp). Addresses are plain integers so that no
// caller needs an OS header.
#pragma once

#include "corelib/util/types.h"

namespace Memory
{
// What the system says about its address space. The field names follow the Windows
// record so that the start-up checks read the same on every platform.
struct VirtualMemorySystemInfo
{
    const void* lpMinimumApplicationAddress;
    U64 dwAllocationGranularity;
    U64 dwPageSize;
};

// Reads the address-space figures of the running system.
VirtualMemorySystemInfo GetVirtualMemorySystemInfo();

// Reserves size bytes of address space exactly at addr, inaccessible and not committed;
// true on success. A grant at any other address is given back at once, so a failed call
// leaves nothing reserved.
bool ReserveAddressSpaceAt(U64 addr, U64 size);

// Commits the pages covering addr .. addr + size read-write inside a reservation. Returns
// the start of the committed pages (addr rounded down to a page) or 0 on failure.
U64 CommitAddressSpace(U64 addr, U64 size);

// Decommits the pages covering addr .. addr + size: their contents are dropped and they
// become inaccessible, but stay reserved. True on success.
bool DecommitAddressSpace(U64 addr, U64 size);

// Releases a whole reservation made by ReserveAddressSpaceAt. True on success.
bool ReleaseAddressSpace(U64 addr, U64 size);

// The system's error number for the last failed call of this thread.
int GetLastAddressSpaceError();
} // namespace Memory
