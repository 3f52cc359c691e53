// Virtual address ranges: the process reserves one 512 GiB window of address space at a
// fixed, high address and hands out 1 GiB-aligned ranges of it, so that memory that
// belongs together keeps a stable, predictable address. Handing out a range reserves
// bookkeeping only; Memory::Area commits memory inside it.
#pragma once

#include "corelib/util/types.h"

namespace Memory
{
// One block of the window; every range is a whole number of blocks.
inline constexpr U64 kVirtualBlockSize = 0x40000000ull; // 1 GiB
// Blocks in the window (512 GiB in all).
inline constexpr U64 kVirtualBlocksCount = 512;
inline constexpr U64 kVirtualWindowSize = kVirtualBlockSize * kVirtualBlocksCount;
// The first candidate window start (64 GiB), and how the search steps on from it.
inline constexpr U64 kDefaultVirtualMemStart = 0x1000000000ull;
inline constexpr U32 kVirtualMemStartTries = 16;
inline constexpr U64 kVirtualMemStartStride = 1ull << 39; // 512 GiB
inline constexpr U64 ONE_MEGA_BYTE = 1ull << 20;

// Start of the window: the first candidate until FindAvailableVirtualMemoryStartAddress
// reserves it, then the start actually reserved. A host (or a test) may set another
// 1 GiB-aligned first candidate before the search. Written only at start-up.
extern U64 kVirtualMemStart;

// Reserves the window (address space only, nothing committed) at the first of 16
// candidates from kVirtualMemStart, 512 GiB apart, that the system grants exactly, and
// stores its start in kVirtualMemStart. Call once, before other threads use ranges; no
// candidate free is an assertion.
void FindAvailableVirtualMemoryStartAddress();

// Gives the whole window back to the system; false when none is reserved or the system
// refused. Ranges still handed out lose their address space with it.
bool ReleaseVirtualMemoryWindow();

// True while the window is reserved.
bool IsVirtualMemoryWindowReserved();

// Hands out the first free run of whole blocks covering size bytes and returns its start
// (block-aligned, so any addressAlignment up to one block holds). Commits nothing.
// Thread-safe; running out of blocks is an assertion.
U64 AllocateVirtualMemoryAddressRange(U64 size, U64 addressAlignment);

// Takes back a range handed out by AllocateVirtualMemoryAddressRange. Thread-safe;
// releasing blocks that are not handed out is an assertion.
void ReleaseVirtualMemoryAddressRange(U64 addr, U64 size);

// True when addr lies in a block that is handed out. Thread-safe.
bool IsValidVirtualAddres(U64 addr);
} // namespace Memory
