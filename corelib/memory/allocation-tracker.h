// Allocation trackers: observers that an allocator carries (Memory::Allocator::SetTracker)
// to record every live allocation with its size and source location. They print two
// reports on message channel 17: the allocation report (every entry, then a summary
// grouped by file, line and function) and the leak-detection report (what changed in that
// summary since a snapshot taken with SetLeakDetectionMarker).
//
// GenericAllocationTracker serves allocators that free individual blocks: entries are
// found by address through a hash table. LinearAllocationTracker serves allocators that
// only grow and are rewound as a whole: entries are appended in allocation order. Both
// have a fixed capacity; once it is exhausted the tracker stops recording ("overflowed")
// and its reports carry a warning. Every operation holds the tracker's own lock. The
// reports take their scratch memory from the scoped temporary allocators, which must be
// running when a report is printed.
#pragma once

#include "corelib/containers/hashtable.h"
#include "corelib/memory/allocation-tracker-interface.h"
#include "corelib/memory/memory-context.h"
#include "corelib/system/atomic-lock.h"
#include "corelib/util/bit-array.h"
#include "corelib/util/stringid.h"
#include "corelib/util/types.h"

#include <atomic>

// One line of a report's summary: every entry with the same file, line and function.
struct AllocationSummary
{
    const char* m_name; // the key "file:line - function"
    U64 m_totalBytes;
    U32 m_count;
    StringId64 m_nameId;
};
static_assert(sizeof(AllocationSummary) == 32, "allocation summaries are 32 bytes");

// Orders of the report's summary.
enum AllocationSummarySortMode : U32
{
    kAllocationSummarySortByName = 1,
    kAllocationSummarySortByBytes = 3, // largest total first
};

// Process-wide switches, on by default. With tracking off nothing is recorded or removed.
void SetAllocationTrackingEnabled(bool enable);
bool IsAllocationTrackingEnabled();
// Whether the allocation report lists every entry before the summary.
void SetAllocationReportListing(bool enable);
bool IsAllocationReportListing();
void SetAllocationSummarySortMode(U32 mode);
U32 GetAllocationSummarySortMode();

struct LeakDetectionMarker;

// Counters, name and the leak-detection snapshot that both trackers share.
class AllocationTrackerBase : public IAllocationTracker
{
public:
    const char* GetName() const override { return m_name; }
    U64 GetNameId() const override { return m_nameId.GetValue(); }
    U32 GetNumAllocations() const override { return m_currentCount; }
    AllocationEntry* FindAllocation(U64 address) override;
    const AllocationEntry* FindAllocation(U64 address) const override;
    const char* GetAllocationFile(U64 address) const override;
    U32 GetAllocationLine(U64 address) const override;
    // Takes the snapshot of the current summary (unless a report is running).
    void SetLeakDetectionMarker() override;
    // Prints what changed against the snapshot, or that there is none.
    void PrintLeakDetectionReport() override;

    U32 GetCurrentBytes() const { return m_currentBytes; }
    U32 GetPeakBytes() const { return m_peakBytes; }
    U32 GetPeakAllocations() const { return m_peakCount; }
    U32 GetCapacity() const { return m_capacity; }
    bool HasOverflowed() const { return m_overflowed != 0; }

protected:
    // Storage for entries and tables comes from the allocator of storageContext.
    AllocationTrackerBase(const char* name, U32 capacity, Memory::Context storageContext);
    ~AllocationTrackerBase() override;

    // The entries a report walks: used entries in index order.
    struct EntryView
    {
        const AllocationEntry* m_pEntries;
        U32 m_count;                     // entries to look at
        const ExternalBitArray* m_pUsed; // null: all m_count entries are used
    };
    virtual EntryView GetEntryView() const = 0;
    // The entry of a live allocation, or null; lock held.
    virtual const AllocationEntry* FindNoLock(U64 address) const = 0;

    // Allocates from the storage context's allocator; null when it is missing or full.
    void* AllocateStorage(U64 size, U64 alignment);
    void FreeStorage(void* p);
    void CountAllocation(U32 size);
    void CountDeallocation(U32 size);
    void ZeroCurrentCounters();
    // Prints the allocation report; pAllocator (may be null) adds its sizes at the end.
    void PrintAllocationReport(Memory::Allocator* pAllocator);
    // Claims the report-in-progress flag; false while another report runs.
    bool BeginReport();
    void EndReport();
    // Gives the leak-detection snapshot back to its allocator.
    void ReleaseLeakDetectionMarker();

    U32 m_currentBytes = 0;
    U32 m_peakBytes = 0;
    U32 m_currentCount = 0;
    U32 m_peakCount = 0;
    const char* m_name;
    StringId64 m_nameId;
    Memory::Allocator* m_pStorageAllocator = nullptr;
    LeakDetectionMarker* m_pLeakMarker = nullptr;
    U32 m_capacity = 0;
    U8 m_overflowed = 0;
    std::atomic<U8> m_reportInProgress{0};
    mutable OxAtomicLock m_lock;
};

// Tracks an allocator that frees individual blocks.
class GenericAllocationTracker final : public AllocationTrackerBase
{
public:
    // Room for capacity live allocations. The arrays and tables come from the allocator
    // of storageContext; construct on a thread with an allocator stack (the table's node
    // pool takes its usage bits through it). Without memory the capacity is 0.
    GenericAllocationTracker(const char* name, U32 capacity,
                             Memory::Context storageContext = Memory::kAllocDevCpu);
    ~GenericAllocationTracker() override;

    void Clear() override;
    void SetAllocator(Memory::Allocator* pAllocator) override { m_pAllocator = pAllocator; }
    void PrintMemoryReport() override;
    void TrackAllocation(const char* file, U32 line, const char* function, U32 size, U32 value, U32 overhead,
                         U64 address) override;
    void TrackDeallocation(const char* file, U32 line, const char* function, U64 address, U32 size) override;
    // Forgets the entries from the marker up to the allocator's current position (or
    // every entry at or above the marker when the allocator has no position).
    void FreeToMarker(const Memory::Marker& marker) override;

    Memory::Allocator* GetAllocator() const { return m_pAllocator; }

private:
    EntryView GetEntryView() const override { return {m_pEntries, m_capacity, &m_used}; }
    const AllocationEntry* FindNoLock(U64 address) const override;
    void ForgetEntry(U32 index);
    I64 FindFreeEntry() const;

    Memory::Allocator* m_pAllocator = nullptr;
    AllocationEntry* m_pEntries = nullptr;
    HashTable<U64, AllocationEntry*> m_table;
    void* m_pTableMemory = nullptr;
    ExternalBitArray m_used;
    U64* m_pUsedBlocks = nullptr;
    U32 m_firstFreeHint = 0; // no entry below this index is free
};

// Tracks an allocator that only grows and is rewound as a whole.
class LinearAllocationTracker final : public AllocationTrackerBase
{
public:
    // Room for capacity allocations between clears; storage as for GenericAllocationTracker.
    LinearAllocationTracker(const char* name, U32 capacity,
                            Memory::Context storageContext = Memory::kAllocDevCpu);
    ~LinearAllocationTracker() override;

    // Prints a requested report first, then forgets every entry.
    void Clear() override;
    // A linear tracker does not keep its allocator.
    void SetAllocator(Memory::Allocator*) override {}
    // Only requests the report: the next Clear prints it, while the entries still exist.
    void PrintMemoryReport() override;
    void TrackAllocation(const char* file, U32 line, const char* function, U32 size, U32 value, U32 overhead,
                         U64 address) override;
    // Not supported: a linear allocator frees nothing individually.
    void TrackDeallocation(const char* file, U32 line, const char* function, U64 address, U32 size) override;
    // Forgets the entries at and above the marker (the ones the rewind gave back).
    void FreeToMarker(const Memory::Marker& marker) override;

    bool IsReportRequested() const { return m_reportRequested != 0; }

private:
    EntryView GetEntryView() const override { return {m_pEntries, m_numUsed, nullptr}; }
    const AllocationEntry* FindNoLock(U64 address) const override;

    AllocationEntry* m_pEntries = nullptr;
    U32 m_numUsed = 0;
    U8 m_reportRequested = 0;
};
