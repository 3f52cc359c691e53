// Memory::Area: a stretch of address space taken from the virtual window (virtual-range.h)
// in which memory is committed and decommitted in whole MiB, so that memory that belongs
// together stays at a stable address. An area is used by one owner at a time.
#pragma once

#include "corelib/memory/virtual-range.h"
#include "corelib/util/types.h"

namespace Memory
{
class Area
{
public:
    // One physical page identifier per MiB: an area spans at most this many MiB.
    static constexpr U64 kMaxSizeMB = 4096;

    // An area without a range; the page identifier table is cleared.
    Area();

    // Sets the size (whole MiB, at most kMaxSizeMB) and keeps value for the owner. Unless
    // the area is external (it neither owns address space nor commits memory) or empty, it
    // takes a range of the virtual window. Not on an area that still has a range.
    void Initialize(U64 addrSize, bool external, U64 value);

    // Commits sizeMB MiB read-write at addr inside the area (when zero is set, filled with
    // 0). Nothing happens for an external area or sizeMB 0; a failed commit is an assertion.
    void AllocateMemory(U64 addr, U64 sizeMB, bool zero);

    // Decommits sizeMB MiB at addr inside the area: the contents are lost and the range
    // becomes inaccessible until committed again. Nothing happens for an external area or
    // sizeMB 0.
    void FreeMemory(U64 addr, U64 sizeMB);

    // The physical page identifier of the MiB at the given index inside the area.
    U64 GetPhysicalPageId(U64 megaByteAddrIndex) const;

    // Decommits the whole area and gives its range back, leaving the area as constructed.
    void Shutdown();

    U64 GetStartAddr() const { return m_startAddr; }
    U64 GetSizeMB() const { return m_addrSizeMB; }
    U64 GetValue() const { return m_value; }
    bool IsExternal() const { return m_external != 0; }

    U64 m_addrSizeMB;                  // size of the area in MiB
    U64 m_startAddr;                   // start of the range, 0 while there is none
    U64 m_value;                       // the value handed to Initialize, for the owner
    U64 m_physicalPageIds[kMaxSizeMB]; // one identifier per MiB, filled by the owner
    U8 m_external;                     // no own address space, no commits

private:
    // The two range preconditions of AllocateMemory and FreeMemory; false when the span
    // of sizeMB MiB at addr does not lie inside the area.
    bool CheckSpan(U64 addr, U64 sizeMB) const;
};

// The process-wide areas, constructed at start-up in the memory areas' rank.
inline constexpr U32 kNumMemoryAreas = 9;
extern Area g_memoryAreas[kNumMemoryAreas];
} // namespace Memory
