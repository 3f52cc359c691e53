// The interface an allocation tracker offers to the allocator it observes. An allocator
// holds at most one tracker (Memory::Allocator::SetTracker) and tells it about every
// allocation, release, rewind and clear; the concrete trackers keep the records and
// print the reports.
#pragma once

#include "corelib/util/types.h"

namespace Memory
{
class Allocator;
using Marker = U64;
} // namespace Memory

class IAllocationTracker
{
public:
    // One live allocation as a tracker records it (40 bytes).
    struct AllocationEntry
    {
        U64 m_address;
        const char* m_sourceFile;
        const char* m_sourceFunction;
        U32 m_size;
        U32 m_value; // a number the allocator supplies with the allocation
        U32 m_overhead;
        U32 m_sourceLine; // low 30 bits; the two high bits stay zero
    };

    virtual ~IAllocationTracker() = default;
    // Forgets every entry and zeroes the current counters.
    virtual void Clear() = 0;
    // Records which allocator the tracker serves (null: none).
    virtual void SetAllocator(Memory::Allocator* pAllocator) = 0;
    // The entry of a live allocation, or null.
    virtual AllocationEntry* FindAllocation(U64 address) = 0;
    virtual const AllocationEntry* FindAllocation(U64 address) const = 0;
    // Source file of a live allocation, or null.
    virtual const char* GetAllocationFile(U64 address) const = 0;
    // Source line of a live allocation, or 0xFFFFFFFF.
    virtual U32 GetAllocationLine(U64 address) const = 0;
    virtual U32 GetNumAllocations() const = 0;
    // Prints (or schedules) the allocation report.
    virtual void PrintMemoryReport() = 0;
    // Records an allocation made by the tracked allocator.
    virtual void TrackAllocation(const char* file, U32 line, const char* function, U32 size, U32 value,
                                 U32 overhead, U64 address) = 0;
    // Removes the record of a released allocation.
    virtual void TrackDeallocation(const char* file, U32 line, const char* function, U64 address,
                                   U32 size) = 0;
    // Forgets the entries given back by rewinding the allocator to the marker.
    virtual void FreeToMarker(const Memory::Marker& marker) = 0;
    virtual const char* GetName() const = 0;
    virtual U64 GetNameId() const = 0;
    // Takes the snapshot the leak-detection report compares against.
    virtual void SetLeakDetectionMarker() = 0;
    // Prints what changed since the snapshot.
    virtual void PrintLeakDetectionReport() = 0;
};
static_assert(sizeof(IAllocationTracker::AllocationEntry) == 40, "tracker entries are 40 bytes");
