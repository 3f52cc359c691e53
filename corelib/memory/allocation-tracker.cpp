// The two allocation trackers: recording, removal, rewinds and clears. The reports are in
// allocation-report.cpp.
#include "corelib/memory/allocation-tracker.h"

#include "corelib/memory/allocator.h"
#include "corelib/memory/memory-map.h"
#include "corelib/util/bitmath.h"
#include "corelib/util/msg-assert.h"
#include "corelib/util/msg.h"

#include <cstring>
#include <new>

namespace
{
std::atomic<bool> s_trackingEnabled{true};
std::atomic<bool> s_reportListing{true};
std::atomic<U32> s_summarySortMode{kAllocationSummarySortByName};

inline U64 RoundUp16(U64 value)
{
    return (value + 15) & ~15ull;
}

// Entry lines keep 30 bits; the two high bits stay zero.
constexpr U32 kLineMask = 0x3FFFFFFFu;

void FillEntry(IAllocationTracker::AllocationEntry& entry, const char* file, U32 line, const char* function,
               U32 size, U32 value, U32 overhead, U64 address)
{
    entry.m_address = address;
    entry.m_sourceFile = file;
    entry.m_sourceFunction = function;
    entry.m_size = size;
    entry.m_value = value;
    entry.m_overhead = overhead;
    entry.m_sourceLine = line & kLineMask;
}
} // namespace

void SetAllocationTrackingEnabled(bool enable)
{
    s_trackingEnabled.store(enable, std::memory_order_relaxed);
}

bool IsAllocationTrackingEnabled()
{
    return s_trackingEnabled.load(std::memory_order_relaxed);
}

void SetAllocationReportListing(bool enable)
{
    s_reportListing.store(enable, std::memory_order_relaxed);
}

bool IsAllocationReportListing()
{
    return s_reportListing.load(std::memory_order_relaxed);
}

void SetAllocationSummarySortMode(U32 mode)
{
    s_summarySortMode.store(mode, std::memory_order_relaxed);
}

U32 GetAllocationSummarySortMode()
{
    return s_summarySortMode.load(std::memory_order_relaxed);
}

// ---------------------------------------------------------------------------------------
// AllocationTrackerBase

AllocationTrackerBase::AllocationTrackerBase(const char* name, U32 capacity, Memory::Context storageContext)
    : m_name(name), m_nameId(StringId64(kInvalidStringId64, name, false)),
      m_pStorageAllocator(Memory::GetAllocator(storageContext)), m_capacity(capacity)
{
    m_lock.Init();
}

AllocationTrackerBase::~AllocationTrackerBase()
{
    ReleaseLeakDetectionMarker();
    m_lock.Release();
}

IAllocationTracker::AllocationEntry* AllocationTrackerBase::FindAllocation(U64 address)
{
    OX_ATOMIC_LOCK_SCOPE(m_lock);
    return const_cast<AllocationEntry*>(FindNoLock(address));
}

const IAllocationTracker::AllocationEntry* AllocationTrackerBase::FindAllocation(U64 address) const
{
    OX_ATOMIC_LOCK_SCOPE(m_lock);
    return FindNoLock(address);
}

const char* AllocationTrackerBase::GetAllocationFile(U64 address) const
{
    OX_ATOMIC_LOCK_SCOPE(m_lock);
    const AllocationEntry* pEntry = FindNoLock(address);
    return pEntry ? pEntry->m_sourceFile : nullptr;
}

U32 AllocationTrackerBase::GetAllocationLine(U64 address) const
{
    OX_ATOMIC_LOCK_SCOPE(m_lock);
    const AllocationEntry* pEntry = FindNoLock(address);
    return pEntry ? pEntry->m_sourceLine : 0xFFFFFFFFu;
}

void* AllocationTrackerBase::AllocateStorage(U64 size, U64 alignment)
{
    if (!m_pStorageAllocator)
        return nullptr;
    return m_pStorageAllocator->Allocate(size, alignment, __FILE__, __LINE__, __func__);
}

void AllocationTrackerBase::FreeStorage(void* p)
{
    if (p && m_pStorageAllocator)
        m_pStorageAllocator->Free(p, __FILE__, __LINE__, __func__);
}

void AllocationTrackerBase::CountAllocation(U32 size)
{
    m_currentBytes += size;
    if (m_currentBytes > m_peakBytes)
        m_peakBytes = m_currentBytes;
    ++m_currentCount;
    if (m_currentCount > m_peakCount)
        m_peakCount = m_currentCount;
}

void AllocationTrackerBase::CountDeallocation(U32 size)
{
    m_currentBytes -= size;
    --m_currentCount;
}

void AllocationTrackerBase::ZeroCurrentCounters()
{
    m_currentBytes = 0;
    m_currentCount = 0;
}

bool AllocationTrackerBase::BeginReport()
{
    return m_reportInProgress.exchange(1, std::memory_order_acquire) == 0;
}

void AllocationTrackerBase::EndReport()
{
    m_reportInProgress.store(0, std::memory_order_release);
}

// ---------------------------------------------------------------------------------------
// GenericAllocationTracker

GenericAllocationTracker::GenericAllocationTracker(const char* name, U32 capacity,
                                                   Memory::Context storageContext)
    : AllocationTrackerBase(name, capacity, storageContext)
{
    // Zero capacity still gets one node and one bit so that the tables are valid; the
    // capacity test keeps them unused.
    const U32 numNodes = capacity ? capacity : 1;
    const U32 numBuckets = (numNodes + 15) & ~15u;
    using Table = HashTable<U64, AllocationEntry*>;
    const U64 bucketBytes = RoundUp16(Table::GetBucketMemorySize(numBuckets));
    const U64 nodeBytes = static_cast<U64>(numNodes) * sizeof(Table::Node);
    m_pEntries = static_cast<AllocationEntry*>(
        AllocateStorage(static_cast<U64>(numNodes) * sizeof(AllocationEntry), 16));
    m_pUsedBlocks = static_cast<U64*>(AllocateStorage((numNodes + 63) / 64 * sizeof(U64), 128));
    m_pTableMemory = AllocateStorage(bucketBytes + nodeBytes, 16);
    if (!m_pEntries || !m_pUsedBlocks || !m_pTableMemory)
    {
        // Without its storage the tracker records nothing: every allocation overflows it.
        FreeStorage(m_pEntries);
        FreeStorage(m_pUsedBlocks);
        FreeStorage(m_pTableMemory);
        m_pEntries = nullptr;
        m_pUsedBlocks = nullptr;
        m_pTableMemory = nullptr;
        m_capacity = 0;
        return;
    }
    m_used.m_storage.Init(numNodes, m_pUsedBlocks);
    m_table.Init(numBuckets, numNodes, m_pTableMemory, static_cast<U8*>(m_pTableMemory) + bucketBytes,
                 storageContext, __FILE__, __LINE__, __func__);
}

GenericAllocationTracker::~GenericAllocationTracker()
{
    m_table.Shutdown();
    FreeStorage(m_pTableMemory);
    FreeStorage(m_pUsedBlocks);
    FreeStorage(m_pEntries);
}

void GenericAllocationTracker::Clear()
{
    OX_ATOMIC_LOCK_SCOPE(m_lock);
    if (m_table.IsInitialized())
    {
        m_table.Clear();
        U64* pBlocks = m_used.GetBlocks();
        for (U32 i = 0; i < m_used.GetNumBlocks(); ++i)
            pBlocks[i] = 0;
    }
    m_firstFreeHint = 0;
    ZeroCurrentCounters();
    m_overflowed = 0;
}

const IAllocationTracker::AllocationEntry* GenericAllocationTracker::FindNoLock(U64 address) const
{
    if (!m_table.IsInitialized())
        return nullptr;
    const auto it = m_table.Find(address);
    return it == m_table.end() ? nullptr : it->m_value;
}

void GenericAllocationTracker::PrintMemoryReport()
{
    PrintAllocationReport(m_pAllocator);
}

I64 GenericAllocationTracker::FindFreeEntry() const
{
    // The lowest clear bit; the hint skips the words that are known to be full.
    const U64* pBlocks = m_used.GetBlocks();
    const U32 numBlocks = m_used.GetNumBlocks();
    for (U32 block = m_firstFreeHint / 64; block < numBlocks; ++block)
    {
        const U64 clear = ~pBlocks[block];
        if (clear)
            return static_cast<I64>(block) * 64 + CountTrailingZeros64(clear);
    }
    return -1;
}

void GenericAllocationTracker::ForgetEntry(U32 index)
{
    AllocationEntry& entry = m_pEntries[index];
    m_table.Erase(entry.m_address);
    m_used.ClearBit(index);
    if (index < m_firstFreeHint)
        m_firstFreeHint = index;
    CountDeallocation(entry.m_size);
}

void GenericAllocationTracker::TrackAllocation(const char* file, U32 line, const char* function, U32 size,
                                               U32 value, U32 overhead, U64 address)
{
    if (!IsAllocationTrackingEnabled())
        return;
    OX_ATOMIC_LOCK_SCOPE(m_lock);
    if (m_overflowed)
        return;
    if (m_table.IsInitialized())
    {
        // An address still on record was released while tracking was off: its old entry
        // is stale, and keeping it would leave an entry no one can remove.
        if (const AllocationEntry* pStale = FindNoLock(address))
            ForgetEntry(static_cast<U32>(pStale - m_pEntries));
    }
    const I64 index = m_table.IsInitialized() ? FindFreeEntry() : -1;
    if (index < 0 || static_cast<U64>(index) >= m_capacity || m_table.GetCount() >= m_table.GetMaxNodes())
    {
        m_overflowed = 1;
        return;
    }
    m_used.SetBit(static_cast<U64>(index));
    m_firstFreeHint = static_cast<U32>(index) + 1;
    AllocationEntry& entry = m_pEntries[index];
    FillEntry(entry, file, line, function, size, value, overhead, address);
    m_table.Insert(address, &entry);
    CountAllocation(size);
}

void GenericAllocationTracker::TrackDeallocation(const char* file, U32 line, const char*, U64 address, U32)
{
    if (!IsAllocationTrackingEnabled())
        return;
    OX_ATOMIC_LOCK_SCOPE(m_lock);
    if (m_overflowed)
        return;
    const AllocationEntry* pEntry = FindNoLock(address);
    if (!pEntry)
    {
        SetActiveMsgOutput(kMsgChannelError);
        PrintError("Bad address passed to GenericAllocationTracker::TrackDeallocation() %s line %d\n",
                   file ? file : "UNKNOWN", static_cast<int>(line));
        return;
    }
    ForgetEntry(static_cast<U32>(pEntry - m_pEntries));
}

void GenericAllocationTracker::FreeToMarker(const Memory::Marker& marker)
{
    if (!IsAllocationTrackingEnabled())
        return;
    // The rewind gives back what lies between the marker and the allocator's current
    // position (asked before the allocator moves it).
    U64 end = ~0ull;
    if (m_pAllocator)
    {
        const Memory::Marker current = m_pAllocator->GetMarker();
        if (current > marker)
            end = current;
    }
    OX_ATOMIC_LOCK_SCOPE(m_lock);
    if (!m_table.IsInitialized())
        return;
    U64* pBlocks = m_used.GetBlocks();
    for (U32 block = 0; block < m_used.GetNumBlocks(); ++block)
    {
        for (U64 bits = pBlocks[block]; bits; bits &= bits - 1)
        {
            const U32 index = block * 64 + CountTrailingZeros64(bits);
            const U64 address = m_pEntries[index].m_address;
            if (address >= marker && address < end)
                ForgetEntry(index);
        }
    }
}

// ---------------------------------------------------------------------------------------
// LinearAllocationTracker

LinearAllocationTracker::LinearAllocationTracker(const char* name, U32 capacity,
                                                 Memory::Context storageContext)
    : AllocationTrackerBase(name, capacity, storageContext)
{
    if (capacity)
        m_pEntries = static_cast<AllocationEntry*>(AllocateStorage(capacity * sizeof(AllocationEntry), 16));
    if (!m_pEntries)
        m_capacity = 0;
}

LinearAllocationTracker::~LinearAllocationTracker()
{
    FreeStorage(m_pEntries);
}

void LinearAllocationTracker::Clear()
{
    if (m_reportRequested)
    {
        m_reportRequested = 0;
        PrintAllocationReport(nullptr);
    }
    OX_ATOMIC_LOCK_SCOPE(m_lock);
    m_numUsed = 0;
    ZeroCurrentCounters();
    m_overflowed = 0;
}

const IAllocationTracker::AllocationEntry* LinearAllocationTracker::FindNoLock(U64 address) const
{
    for (U32 i = 0; i < m_numUsed; ++i)
    {
        if (m_pEntries[i].m_address == address)
            return &m_pEntries[i];
    }
    return nullptr;
}

void LinearAllocationTracker::PrintMemoryReport()
{
    m_reportRequested = 1;
}

void LinearAllocationTracker::TrackAllocation(const char* file, U32 line, const char* function, U32 size,
                                              U32 value, U32 overhead, U64 address)
{
    if (!IsAllocationTrackingEnabled())
        return;
    OX_ATOMIC_LOCK_SCOPE(m_lock);
    if (m_overflowed)
        return;
    if (m_numUsed >= m_capacity)
    {
        m_overflowed = 1;
        return;
    }
    FillEntry(m_pEntries[m_numUsed++], file, line, function, size, value, overhead, address);
    CountAllocation(size);
}

void LinearAllocationTracker::TrackDeallocation(const char*, U32, const char*, U64, U32)
{
    OX_ASSERT_MSG(false, "LinearAllocationTracker cannot track individual frees");
}

void LinearAllocationTracker::FreeToMarker(const Memory::Marker& marker)
{
    if (!IsAllocationTrackingEnabled())
        return;
    // Entries are in allocation order, so the rewind gives back a tail of them.
    OX_ATOMIC_LOCK_SCOPE(m_lock);
    while (m_numUsed > 0 && m_pEntries[m_numUsed - 1].m_address >= marker)
    {
        --m_numUsed;
        CountDeallocation(m_pEntries[m_numUsed].m_size);
    }
}
