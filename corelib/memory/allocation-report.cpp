// The reports of the allocation trackers, printed on message channel 17: the allocation
// report (every entry, a summary grouped by file, line and function, and the totals) and
// the leak-detection report (the summary compared with a snapshot). Summaries are built
// in scoped temporary memory, so a report allocates nothing from the tracked allocator.
#include "corelib/memory/allocation-tracker.h"

#include "corelib/memory/allocator.h"
#include "corelib/memory/memory-map.h"
#include "corelib/memory/scoped-temp-allocator.h"
#include "corelib/util/bigsort-scratch.h"
#include "corelib/util/msg.h"
#include "corelib/util/source-path.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

// The snapshot of a summary that the leak-detection report compares against. Its three
// parts come from the allocator of kAllocDevCpu.
struct LeakDetectionMarker
{
    static constexpr U32 kTextPoolSize = 10 * 1024;
    static constexpr U32 kMaxSummaries = 128;

    char* m_pTextPool;
    AllocationSummary* m_pSummaries;
    U32 m_count;
    Memory::Allocator* m_pAllocator;
};

namespace
{
constexpr U32 kMaxReportSummaries = 256;
constexpr U32 kKeySize = 300;


// A byte count in 12 characters plus its unit: bytes below 4 KiB, MiB from 1 MiB on, else KiB.
const char* FormatSize(char (&out)[32], U64 bytes)
{
    if (bytes < 4096)
        std::snprintf(out, sizeof(out), "%12llu B  ", static_cast<unsigned long long>(bytes));
    else if (bytes > 0xFFFFF)
        std::snprintf(out, sizeof(out), "%12.2f MiB",
                      static_cast<double>(static_cast<F32>(bytes) * (1.0f / 1048576.0f)));
    else
        std::snprintf(out, sizeof(out), "%12d KiB", static_cast<int>(bytes / 1024));
    return out;
}

// Where new summary names go: scoped temporary memory, or a fixed text pool.
struct NameStore
{
    ScopedTempAllocator* m_pTemp;
    char* m_pPool;
    U32 m_poolSize;
    U32 m_poolUsed;

    const char* Copy(const char* text)
    {
        const U64 size = std::strlen(text) + 1;
        char* pCopy = nullptr;
        if (m_pTemp)
        {
            pCopy = static_cast<char*>(m_pTemp->Allocate(size, 1, __FILE__, __LINE__, __func__));
        }
        else if (m_pPool && m_poolUsed + size <= m_poolSize)
        {
            pCopy = m_pPool + m_poolUsed;
            m_poolUsed += static_cast<U32>(size);
        }
        if (pCopy)
            std::memcpy(pCopy, text, size);
        return pCopy;
    }
};

// A summary being built: at most m_limit lines; entries beyond it are not summarised.
struct SummaryBuilder
{
    AllocationSummary* m_pSummaries;
    U32 m_count;
    U32 m_limit;
    NameStore m_names;

    AllocationSummary* Find(StringId64 id) const
    {
        for (U32 i = 0; i < m_count; ++i)
        {
            if (m_pSummaries[i].m_nameId == id)
                return &m_pSummaries[i];
        }
        return nullptr;
    }

    // Adds the entry under its key (written to key, kKeySize bytes).
    void Add(const IAllocationTracker::AllocationEntry& entry, char* key)
    {
        std::snprintf(key, kKeySize, "%.50s:%d - %s", SourceFileName(entry.m_sourceFile),
                      static_cast<int>(entry.m_sourceLine),
                      entry.m_sourceFunction ? entry.m_sourceFunction : "UNKNOWN");
        const StringId64 id(key);
        AllocationSummary* pSummary = Find(id);
        if (!pSummary)
        {
            if (m_count >= m_limit)
                return;
            const char* name = m_names.Copy(key);
            if (!name)
                return;
            pSummary = &m_pSummaries[m_count++];
            *pSummary = AllocationSummary{name, 0, 0, id};
        }
        pSummary->m_totalBytes += entry.m_size;
        ++pSummary->m_count;
    }
};

int CompareSummaryNames(const AllocationSummary* a, const AllocationSummary* b)
{
    if (!a->m_name || !b->m_name)
        return 0;
    return std::strcmp(a->m_name, b->m_name);
}

int CompareSummaryBytes(const AllocationSummary* a, const AllocationSummary* b)
{
    if (a->m_totalBytes == b->m_totalBytes)
        return 0;
    return a->m_totalBytes < b->m_totalBytes ? 1 : -1;
}

U64 ToKiB(U64 bytes)
{
    return bytes / 1024;
}

template <typename Fn>
void ForEachUsedEntry(const IAllocationTracker::AllocationEntry* pEntries, U32 count,
                      const ExternalBitArray* pUsed, Fn&& fn)
{
    for (U32 i = 0; i < count; ++i)
    {
        if (!pUsed || pUsed->IsBitSet(i))
            fn(pEntries[i]);
    }
}
} // namespace

void AllocationTrackerBase::PrintAllocationReport(Memory::Allocator* pAllocator)
{
    if (!BeginReport())
        return;
    ScopedTempAllocator temp(false, __FILE__, __LINE__, __func__);
    SetActiveMsgOutput(kMsgChannelAllocTracker);
    PrintToActiveMsgOutput("==================== Allocation Report For '%s' [BEGIN] ======================\n",
                           m_name);

    SummaryBuilder summaries{
        static_cast<AllocationSummary*>(
            temp.Allocate(kMaxReportSummaries * sizeof(AllocationSummary), 16, __FILE__, __LINE__, __func__)),
        0, kMaxReportSummaries, NameStore{&temp, nullptr, 0, 0}};
    if (!summaries.m_pSummaries)
        summaries.m_limit = 0;
    char key[kKeySize];
    char size[32];
    U64 sizes = 0;
    U64 sizesWithOverhead = 0;
    U32 numAllocations;
    bool overflowed;
    {
        OX_ATOMIC_LOCK_SCOPE(m_lock);
        const bool listing = IsAllocationReportListing();
        int number = 0;
        const EntryView view = GetEntryView();
        ForEachUsedEntry(view.m_pEntries, view.m_count, view.m_pUsed,
                         [&](const AllocationEntry& entry)
                         {
                             summaries.Add(entry, key);
                             if (listing)
                             {
                                 PrintToActiveMsgOutput("%7d: 0x%012" PRIX64 " %s (%7u/%7u) - %-70s\n",
                                                        number++, entry.m_address,
                                                        FormatSize(size, entry.m_size), entry.m_value,
                                                        entry.m_overhead, key);
                             }
                             sizes += entry.m_size;
                             sizesWithOverhead += static_cast<U64>(entry.m_size) + entry.m_overhead;
                         });
        numAllocations = m_currentCount;
        overflowed = m_overflowed != 0;
    }

    if (GetAllocationSummarySortMode() == kAllocationSummarySortByBytes)
        QuickSort(summaries.m_pSummaries, summaries.m_count, CompareSummaryBytes);
    else if (GetAllocationSummarySortMode() == kAllocationSummarySortByName)
        QuickSort(summaries.m_pSummaries, summaries.m_count, CompareSummaryNames);

    PrintToActiveMsgOutput("\nSummary by File/Line/Func:\n\n");
    for (U32 i = 0; i < summaries.m_count; ++i)
    {
        const AllocationSummary& summary = summaries.m_pSummaries[i];
        PrintToActiveMsgOutput("%s (%6u allocs) %s\n", FormatSize(size, summary.m_totalBytes),
                               summary.m_count, summary.m_name);
    }
    PrintToActiveMsgOutput("\nNumFiles: %d\n", static_cast<int>(summaries.m_count));
    PrintToActiveMsgOutput("\n");

    if (overflowed)
    {
        PrintToActiveMsgOutput("************** WARNING WARNING **************\n");
        PrintToActiveMsgOutput("The following numbers are from a tracker that has overflowed!\n");
        PrintToActiveMsgOutput("The tracker needs to be larger to track all the allocations!\n");
        PrintToActiveMsgOutput("************** WARNING WARNING **************\n");
    }
    PrintToActiveMsgOutput("      Num Allocations:  %7llu\n",
                           static_cast<unsigned long long>(numAllocations));
    PrintToActiveMsgOutput("          Allocations:  %7llu KB\n",
                           static_cast<unsigned long long>(ToKiB(sizes)));
    if (pAllocator)
    {
        const U64 total = pAllocator->GetTotalSize();
        const U64 free = pAllocator->GetFreeSize();
        // What the allocator uses beyond the recorded sizes; never below 0 (records may
        // be missing after an overflow, or cover memory the allocator no longer counts).
        const U64 used = total >= free ? total - free : 0;
        const U64 overhead = used > sizes ? used - sizes : 0;
        PrintToActiveMsgOutput("          Overhead:     %7llu KB (%7d KB)\n",
                               static_cast<unsigned long long>(ToKiB(overhead)),
                               static_cast<int>(ToKiB(sizesWithOverhead - sizes)));
        PrintToActiveMsgOutput("          Free:         %7llu KB\n",
                               static_cast<unsigned long long>(ToKiB(free)));
        PrintToActiveMsgOutput("          Total Size:   %7llu KB\n",
                               static_cast<unsigned long long>(ToKiB(total)));
    }
    PrintToActiveMsgOutput("==================== Allocation Report For '%s' [END] ========================\n",
                           m_name);
    EndReport();
}

void AllocationTrackerBase::SetLeakDetectionMarker()
{
    if (!BeginReport())
        return;
    if (!m_pLeakMarker)
    {
        Memory::Allocator* pAllocator = Memory::GetAllocator(Memory::kAllocDevCpu);
        void* pRecord = nullptr;
        void* pPool = nullptr;
        void* pSummaries = nullptr;
        if (pAllocator)
        {
            pRecord = pAllocator->Allocate(sizeof(LeakDetectionMarker), 16, __FILE__, __LINE__, __func__);
            pPool =
                pAllocator->Allocate(LeakDetectionMarker::kTextPoolSize, 16, __FILE__, __LINE__, __func__);
            pSummaries = pAllocator->Allocate(LeakDetectionMarker::kMaxSummaries * sizeof(AllocationSummary),
                                              16, __FILE__, __LINE__, __func__);
        }
        if (!pRecord || !pPool || !pSummaries)
        {
            for (void* p : {pRecord, pPool, pSummaries})
            {
                if (p)
                    pAllocator->Free(p, __FILE__, __LINE__, __func__);
            }
            EndReport();
            return;
        }
        m_pLeakMarker = new (pRecord) LeakDetectionMarker{
            static_cast<char*>(pPool), static_cast<AllocationSummary*>(pSummaries), 0, pAllocator};
    }

    SummaryBuilder summaries{
        m_pLeakMarker->m_pSummaries, 0, LeakDetectionMarker::kMaxSummaries,
        NameStore{nullptr, m_pLeakMarker->m_pTextPool, LeakDetectionMarker::kTextPoolSize, 0}};
    char key[kKeySize];
    {
        OX_ATOMIC_LOCK_SCOPE(m_lock);
        const EntryView view = GetEntryView();
        ForEachUsedEntry(view.m_pEntries, view.m_count, view.m_pUsed,
                         [&](const AllocationEntry& entry) { summaries.Add(entry, key); });
    }
    QuickSort(summaries.m_pSummaries, summaries.m_count, CompareSummaryNames);
    m_pLeakMarker->m_count = summaries.m_count;
    EndReport();
}

void AllocationTrackerBase::PrintLeakDetectionReport()
{
    if (!BeginReport())
        return;
    SetActiveMsgOutput(kMsgChannelAllocTracker);
    if (!m_pLeakMarker)
    {
        PrintToActiveMsgOutput("**** UNABLE TO PRINT LEAK DETECTION REPORT (no marker) ****\n");
        EndReport();
        return;
    }

    ScopedTempAllocator temp(false, __FILE__, __LINE__, __func__);
    SummaryBuilder current{static_cast<AllocationSummary*>(
                               temp.Allocate(LeakDetectionMarker::kMaxSummaries * sizeof(AllocationSummary),
                                             16, __FILE__, __LINE__, __func__)),
                           0, LeakDetectionMarker::kMaxSummaries,
                           NameStore{nullptr,
                                     static_cast<char*>(temp.Allocate(LeakDetectionMarker::kTextPoolSize, 16,
                                                                      __FILE__, __LINE__, __func__)),
                                     LeakDetectionMarker::kTextPoolSize, 0}};
    if (!current.m_pSummaries)
        current.m_limit = 0;

    const LeakDetectionMarker& marker = *m_pLeakMarker;
    SummaryBuilder previous{marker.m_pSummaries, marker.m_count, marker.m_count, NameStore{}};
    bool anyDifference = false;
    const auto printDifference =
        [&](I64 byteDelta, U64 currentBytes, I64 countDelta, U64 currentCount, const char* name)
    {
        if (!anyDifference)
        {
            PrintToActiveMsgOutput("==================== DIFFERENCES DETECTED [%s] ====================\n",
                                   m_name);
            anyDifference = true;
        }
        PrintToActiveMsgOutput("%c%9lld B (cur %9llu B) %c%4d allocs (cur %4u) - %s\n",
                               byteDelta > 0 ? '+' : '-',
                               static_cast<long long>(byteDelta < 0 ? -byteDelta : byteDelta),
                               static_cast<unsigned long long>(currentBytes), countDelta > 0 ? '+' : '-',
                               static_cast<int>(countDelta < 0 ? -countDelta : countDelta),
                               static_cast<U32>(currentCount), name);
    };

    OX_ATOMIC_LOCK_SCOPE(m_lock);
    char key[kKeySize];
    const EntryView view = GetEntryView();
    ForEachUsedEntry(view.m_pEntries, view.m_count, view.m_pUsed,
                     [&](const AllocationEntry& entry) { current.Add(entry, key); });

    for (U32 i = 0; i < current.m_count; ++i)
    {
        const AllocationSummary& now = current.m_pSummaries[i];
        const AllocationSummary* pBefore = previous.Find(now.m_nameId);
        if (pBefore && pBefore->m_totalBytes == now.m_totalBytes)
            continue;
        const I64 beforeBytes = pBefore ? static_cast<I64>(pBefore->m_totalBytes) : 0;
        const I64 beforeCount = pBefore ? pBefore->m_count : 0;
        printDifference(static_cast<I64>(now.m_totalBytes) - beforeBytes, now.m_totalBytes,
                        static_cast<I64>(now.m_count) - beforeCount, now.m_count, now.m_name);
    }
    for (U32 i = 0; i < previous.m_count; ++i)
    {
        const AllocationSummary& before = previous.m_pSummaries[i];
        if (current.Find(before.m_nameId))
            continue;
        printDifference(-static_cast<I64>(before.m_totalBytes), 0, -static_cast<I64>(before.m_count), 0,
                        before.m_name);
    }
    if (anyDifference)
        PrintToActiveMsgOutput("=================================================================\n");
    else
        PrintToActiveMsgOutput("==================== NO DIFFERENCES DETECTED ====================\n");
    EndReport();
}

void AllocationTrackerBase::ReleaseLeakDetectionMarker()
{
    if (!m_pLeakMarker)
        return;
    Memory::Allocator* pAllocator = m_pLeakMarker->m_pAllocator;
    pAllocator->Free(m_pLeakMarker->m_pSummaries, __FILE__, __LINE__, __func__);
    pAllocator->Free(m_pLeakMarker->m_pTextPool, __FILE__, __LINE__, __func__);
    pAllocator->Free(m_pLeakMarker, __FILE__, __LINE__, __func__);
    m_pLeakMarker = nullptr;
}
