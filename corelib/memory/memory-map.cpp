// The memory map (installed copy, lookups, adjustments, report) and the allocator registry.
#include "corelib/memory/memory-map.h"

#include "corelib/memory/allocator.h"
#include "corelib/memory/memory-job-local.h"
#include "corelib/util/msg-assert.h"
#include "corelib/util/msg.h"
#include "corelib/util/static-init-order.h"

#include <atomic>
#include <cinttypes>

namespace Memory
{
MemoryMapEntry* g_pMemoryMap = nullptr;

namespace
{
// Fixed storage the host's map is copied into. Every line starts with an alignment of
// 1, the same default the lookups give for an absent ID.
struct MemoryMapStorage
{
    MemoryMapStorage()
    {
        for (MemoryMapEntry& entry : m_entries)
            entry = MemoryMapEntry{0, kAllocInvalid, 0, static_cast<Alignment>(1), nullptr};
    }
    MemoryMapEntry m_entries[kMemoryMapMaxSize];
};
MemoryMapStorage s_memoryMapStorage OX_INIT_PRIORITY(kInitRankMemoryContextTable);

// The allocator of each real context; constant-initialised, so usable before any constructor runs.
Allocator* s_allocators[kMaxAllocators] = {};

// Lookups that found a pointer inside an allocator's range but not valid there.
std::atomic<U64> s_inRangeInvalidPtrCount{0};

// The virtual contexts, in value order from 112: the real context outside and inside render work.
struct VirtualContext
{
    Context m_outside;
    Context m_inRender;
};
constexpr VirtualContext kVirtualContexts[] = {
    {kAllocSingleGameFrame, kAllocSingleRenderFrame},
    {kAllocGameToGpuRing, kAllocRenderToGpuRing},
    {kAllocGameToGpuResourceRing, kAllocRenderToGpuResourceRing},
    {kAllocDoubleGameToGpuRing, kAllocDoubleRenderToGpuRing},
    {kAllocDevGameToGpuRing, kAllocDevRenderToGpuRing},
    {kAllocDevGameToGpuResourceRing, kAllocDevRenderToGpuResourceRing},
};
constexpr U32 kFirstVirtualContext = kAllocSingleFrame.GetValue();
static_assert(kFirstVirtualContext + sizeof(kVirtualContexts) / sizeof(kVirtualContexts[0]) ==
                  kNumContextNames,
              "one resolution per virtual context");

MemoryMapEntry* FindEntry(U32 id)
{
    if (!g_pMemoryMap)
        return nullptr;
    for (MemoryMapEntry* pEntry = g_pMemoryMap; pEntry->m_id != 0; ++pEntry)
    {
        if (pEntry->m_id == id)
            return pEntry;
    }
    return nullptr;
}

U32 CountEntries(U32 id)
{
    U32 count = 0;
    for (const MemoryMapEntry* pEntry = g_pMemoryMap; pEntry && pEntry->m_id != 0; ++pEntry)
        count += pEntry->m_id == id ? 1 : 0;
    return count;
}

void NotifyMapChanged(MemoryMapCallback callback)
{
    if (callback)
        callback(g_pMemoryMap);
}

void PrintMapLine(MemoryMapPrintFn print, const char* format, I64 context, const char* name, U64 size)
{
    // Single precision throughout, as the report has always printed it.
    const F32 kib = static_cast<F32>(size) * (1.0f / 1024.0f);
    const F32 mib = kib * (1.0f / 1024.0f);
    print(format, static_cast<int>(context), name, static_cast<double>(mib), static_cast<double>(kib),
          static_cast<U32>(size));
}
} // namespace

void SetMemoryMap(const MemoryMapEntry* pEntries, MemoryMapCallback callback)
{
    OX_ASSERT(g_pMemoryMap == nullptr);
    OX_ASSERT(pEntries);
    // Look no further than the storage can hold: a map without a terminator in reach is too big.
    U32 numEntries = kMemoryMapMaxSize + 1;
    for (U32 i = 0; i < kMemoryMapMaxSize; ++i)
    {
        if (pEntries[i].m_id == 0)
        {
            numEntries = i + 1;
            break;
        }
    }
    OX_ASSERT(numEntries <= kMemoryMapMaxSize);
    for (U32 i = 0; i < numEntries; ++i)
        s_memoryMapStorage.m_entries[i] = pEntries[i];
    g_pMemoryMap = s_memoryMapStorage.m_entries;
    NotifyMapChanged(callback);
}

void OverlayMemoryMap(const MemoryMapEntry* pOverlay, MemoryMapCallback callback)
{
    OX_ASSERT_MSG(g_pMemoryMap != nullptr,
                  "You must call Memory::SetMemoryMap() at least once prior to calling OverlayMemoryMap()");
    for (const MemoryMapEntry* pEntry = pOverlay; pEntry && pEntry->m_id != 0; ++pEntry)
    {
        if (MemoryMapEntry* pMainEntry = FindEntry(pEntry->m_id))
            *pMainEntry = *pEntry;
    }
    NotifyMapChanged(callback);
}

void ApplyAdditiveMemoryMap(const MemoryMapEntry* pAdditive, MemoryMapCallback callback)
{
    OX_ASSERT_MSG(
        g_pMemoryMap != nullptr,
        "You must call Memory::SetMemoryMap() at least once prior to calling ApplyAdditiveMemoryMap()");
    for (const MemoryMapEntry* pAdditiveEntry = pAdditive; pAdditiveEntry && pAdditiveEntry->m_id != 0;
         ++pAdditiveEntry)
    {
        MemoryMapEntry* pMainEntry = FindEntry(pAdditiveEntry->m_id);
        if (!pMainEntry)
            continue;
        OX_ASSERT_MSG(pMainEntry->m_size + pAdditiveEntry->m_size >= 0LL,
                      "Allocation %s, currently set to %" PRId64
                      " bytes will become negative with this additive memory map %" PRId64 ".",
                      pMainEntry->m_name, pMainEntry->m_size, pAdditiveEntry->m_size);
        pMainEntry->m_size += pAdditiveEntry->m_size;
        pMainEntry->m_context = pAdditiveEntry->m_context;
        pMainEntry->m_alignment = pAdditiveEntry->m_alignment;
    }
    NotifyMapChanged(callback);
}

void ModifyMemoryMap(U32 id, U64 newSizeForId)
{
    OX_ASSERT_MSG(newSizeForId < 8ULL * (1024 * 1024 * 1024),
                  "Attempting to set size for allocation ID %d to either huge or negative! 0x%016" PRIX64
                  " (%" PRId64 ")",
                  static_cast<int>(id), newSizeForId, static_cast<I64>(newSizeForId));
    U32 modifiedCount = 0;
    for (MemoryMapEntry* pEntry = g_pMemoryMap; pEntry && pEntry->m_id != 0; ++pEntry)
    {
        if (pEntry->m_id == id)
        {
            pEntry->m_size = static_cast<I64>(newSizeForId);
            ++modifiedCount;
        }
    }
    OX_ASSERT(modifiedCount != 0);
}

void ReallocMemoryMap(U32 toId, U32 fromId, U64 bytes, MemoryMapCallback callback)
{
    const U32 fromCount = CountEntries(fromId);
    const U32 toCount = CountEntries(toId);
    if (fromCount == 0 || toCount == 0)
        return;
    // Amounts and totals stay 64-bit: a transfer of 4 GiB or more must not shrink silently.
    const U64 fromAmount = bytes / fromCount;
    const U64 toAmount = bytes / toCount;
    OX_ASSERT_MSG(fromAmount * fromCount == toAmount * toCount,
                  "Attempting to move an uneven amount of memory!");
    for (MemoryMapEntry* pEntry = g_pMemoryMap; pEntry->m_id != 0; ++pEntry)
    {
        if (pEntry->m_id == fromId)
        {
            OX_ASSERT(pEntry->m_size >= static_cast<I64>(fromAmount));
            pEntry->m_size -= static_cast<I64>(fromAmount);
        }
        if (pEntry->m_id == toId)
            pEntry->m_size += static_cast<I64>(toAmount);
    }
    NotifyMapChanged(callback);
}

const MemoryMapEntry* GetMemoryMapEntry(U32 id)
{
    return FindEntry(id);
}

I64 GetMemoryMapSize(U32 id)
{
    const MemoryMapEntry* pEntry = FindEntry(id);
    return pEntry ? pEntry->m_size : 0;
}

Context GetMemoryMapContext(U32 id)
{
    const MemoryMapEntry* pEntry = FindEntry(id);
    return pEntry ? pEntry->m_context : kAllocInvalid;
}

Alignment GetMemoryMapAlignment(U32 id)
{
    const MemoryMapEntry* pEntry = FindEntry(id);
    return pEntry ? pEntry->m_alignment : static_cast<Alignment>(1);
}

void PrintMemoryMapWith(MemoryMapPrintFn print, const Context* pFilter, U64 perEntryOverhead)
{
    print("MEMORY MAP:\n");
    U64 total = 0;
    for (const MemoryMapEntry* pEntry = g_pMemoryMap; pEntry && pEntry->m_id != 0; ++pEntry)
    {
        if (pFilter && pEntry->m_context != *pFilter)
            continue;
        PrintMapLine(print, "Context %3u: %-40s: %8.3f MiB / %11.3f KiB / %10u B\n",
                     pEntry->m_context.GetValue(), pEntry->m_name, static_cast<U64>(pEntry->m_size));
        total += static_cast<U64>(pEntry->m_size) + perEntryOverhead;
    }
    PrintMapLine(print, "Context %3d: %-40s: %8.3f MiB / %11.3f KiB / %10u B\n",
                 pFilter ? static_cast<I64>(pFilter->GetValue()) : -1, "TOTAL", total);
}

void PrintMemoryMap(const Context* pFilter, U64 perEntryOverhead)
{
    PrintMemoryMapWith(DebugPrintf, pFilter, perEntryOverhead);
}

namespace
{
// The registry as the owner lookup walks it: the occupied slots from the highest down,
// each with its address range when the allocator states one. Two tables: a rebuild fills
// the one not in use and then switches, so a lookup never sees a half-built table.
struct OwnerEntry
{
    const U8* m_pBegin;
    const U8* m_pEnd;
    Allocator* m_pAllocator;
    bool m_hasRange;
};
struct OwnerTable
{
    OwnerEntry m_entries[kMaxAllocators];
    U32 m_count;
};
constinit OwnerTable s_ownerTables[2] = {};
std::atomic<U32> s_currentOwnerTable{0};
std::atomic<bool> s_ownerTableBusy{false};

// Allocators that declared their range (DeclareAllocatorRange), registered or not.
struct DeclaredRange
{
    Allocator* m_pAllocator;
    const U8* m_pBegin;
    const U8* m_pEnd;
};
constinit DeclaredRange s_declaredRanges[kMaxAllocators] = {};

void RebuildOwnerTable()
{
    while (s_ownerTableBusy.exchange(true, std::memory_order_acquire))
        ;
    OwnerTable& table = s_ownerTables[s_currentOwnerTable.load(std::memory_order_relaxed) ^ 1];
    table.m_count = 0;
    for (U32 slot = kMaxAllocators; slot > 0; --slot)
    {
        Allocator* pAllocator = s_allocators[slot - 1];
        if (!pAllocator)
            continue;
        OwnerEntry& entry = table.m_entries[table.m_count++];
        entry = {nullptr, nullptr, pAllocator, false};
        for (const DeclaredRange& range : s_declaredRanges)
            if (range.m_pAllocator == pAllocator)
            {
                entry = {range.m_pBegin, range.m_pEnd, pAllocator, true};
                break;
            }
    }
    s_currentOwnerTable.fetch_xor(1, std::memory_order_release);
    s_ownerTableBusy.store(false, std::memory_order_release);
}
} // namespace

void RegisterAllocator(Context context, Allocator* pAllocator)
{
    OX_ASSERT(context.GetValue() < kMaxAllocators);
    OX_ASSERT(context != kAllocCustom);
    s_allocators[context.GetValue()] = pAllocator;
    RebuildOwnerTable();
}

bool DeclareAllocatorRange(Allocator* pAllocator, const void* pBegin, const void* pEnd)
{
    DeclaredRange* pFree = nullptr;
    DeclaredRange* pFound = nullptr;
    for (DeclaredRange& range : s_declaredRanges)
    {
        if (range.m_pAllocator == pAllocator)
            pFound = &range;
        else if (!range.m_pAllocator && !pFree)
            pFree = &range;
    }
    if (!pFound)
        pFound = pFree;
    bool declared = true;
    if (pBegin == pEnd)
    {
        if (pFound && pFound->m_pAllocator == pAllocator)
            *pFound = {};
    }
    else if (pFound)
        *pFound = {pAllocator, static_cast<const U8*>(pBegin), static_cast<const U8*>(pEnd)};
    else
        declared = false;
    RebuildOwnerTable();
    return declared;
}

Allocator* FindRegisteredAllocatorForPtr(const void* p, bool* pInSomeRange)
{
    const OwnerTable& table = s_ownerTables[s_currentOwnerTable.load(std::memory_order_acquire)];
    const U8* pByte = static_cast<const U8*>(p);
    for (U32 i = 0; i < table.m_count; ++i)
    {
        const OwnerEntry& entry = table.m_entries[i];
        const bool inRange = entry.m_hasRange ? pByte >= entry.m_pBegin && pByte < entry.m_pEnd
                                              : entry.m_pAllocator->IsPtrInRange(p);
        if (!inRange)
            continue;
        *pInSomeRange = true;
        if (entry.m_pAllocator->IsValidPtr(p))
            return entry.m_pAllocator;
        s_inRangeInvalidPtrCount.fetch_add(1, std::memory_order_relaxed);
    }
    return nullptr;
}

U64 GetInRangeInvalidPtrCount()
{
    return s_inRangeInvalidPtrCount.load(std::memory_order_relaxed);
}

Context ResolveContext(Context context)
{
    const U32 value = context.GetValue();
    if (value < kFirstVirtualContext || value >= kNumContextNames)
        return context;
    const VirtualContext& resolution = kVirtualContexts[value - kFirstVirtualContext];
    return IsRenderJob() ? resolution.m_inRender : resolution.m_outside;
}

Allocator* GetAllocator(Context context)
{
    // Values without a registry slot (kMaxNumContexts, unknown numbers) have no allocator.
    const U32 value = ResolveContext(context).GetValue();
    return value < kMaxAllocators ? s_allocators[value] : nullptr;
}
} // namespace Memory
