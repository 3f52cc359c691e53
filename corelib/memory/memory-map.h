// The memory map and the allocator registry. The map is a table of budget lines that a
// host installs once (copied into fixed storage) and may later overlay, extend
// additively, resize or rebalance; each line names the context whose allocator serves
// it. The registry holds one allocator per real context.
//
// Neither is locked: install and adjust the map during start-up or from one
// controlling thread, and register allocators before other threads use them.
#pragma once

#include "corelib/memory/memory-context.h"
#include "corelib/util/types.h"

namespace Memory
{
class Allocator;

// One budget line of the memory map; an entry whose m_id is 0 ends a map.
struct MemoryMapEntry
{
    U32 m_id;
    Context m_context;
    I64 m_size;
    Alignment m_alignment;
    const char* m_name;
};
static_assert(sizeof(MemoryMapEntry) == 32, "memory map entries are 32 bytes");

// Largest map accepted, terminating entry included.
constexpr U32 kMemoryMapMaxSize = 256;

// Called after a map operation with the installed map.
using MemoryMapCallback = void (*)(const MemoryMapEntry* pMap);

// The installed map (null until SetMemoryMap).
extern MemoryMapEntry* g_pMemoryMap;

// Installs the map by copying it (names are kept by pointer); once per process.
void SetMemoryMap(const MemoryMapEntry* pEntries, MemoryMapCallback callback);
// Replaces whole installed entries by the overlay's entries of the same ID.
void OverlayMemoryMap(const MemoryMapEntry* pOverlay, MemoryMapCallback callback);
// Adds the additive entries' sizes to the installed entries of the same ID and takes their context and
// alignment.
void ApplyAdditiveMemoryMap(const MemoryMapEntry* pAdditive, MemoryMapCallback callback);
// Sets the size of every entry with the ID.
void ModifyMemoryMap(U32 id, U64 newSizeForId);
// Moves bytes from the entries of fromId to those of toId, split evenly on both sides.
void ReallocMemoryMap(U32 toId, U32 fromId, U64 bytes, MemoryMapCallback callback);
// First entry with the ID, or null.
const MemoryMapEntry* GetMemoryMapEntry(U32 id);
// Size of the first entry with the ID, or 0.
I64 GetMemoryMapSize(U32 id);
// Context of the first entry with the ID, or kAllocInvalid.
Context GetMemoryMapContext(U32 id);
// Alignment of the first entry with the ID, or 1.
Alignment GetMemoryMapAlignment(U32 id);
// Prints the map (optionally only the lines of one context) and its total through DebugPrintf.
void PrintMemoryMap(const Context* pFilter, U64 perEntryOverhead);
// A printf-style sink for the memory map report.
using MemoryMapPrintFn = void (*)(const char* fmt, ...);
// The same report through another sink (a message channel, a test's capture).
void PrintMemoryMapWith(MemoryMapPrintFn print, const Context* pFilter, U64 perEntryOverhead);

// Stores the allocator of a real context (null clears the slot).
void RegisterAllocator(Context context, Allocator* pAllocator);
// The allocator registered for the context, virtual contexts resolved first (null when none).
Allocator* GetAllocator(Context context);
// The registered allocator that owns p, asked from the highest slot down; sets
// *pInSomeRange when any allocator had p in its range and counts those that had it in
// range without owning it.
Allocator* FindRegisteredAllocatorForPtr(const void* p, bool* pInSomeRange);
// Declares that the allocator's IsPtrInRange is exactly [pBegin, pEnd), so that the owner
// lookup compares addresses instead of asking it (an empty range withdraws the
// declaration; an allocator that declares one withdraws it before it is destroyed).
// Returns false when the table of declared ranges is full; the lookup then asks.
bool DeclareAllocatorRange(Allocator* pAllocator, const void* pBegin, const void* pEnd);
// Lookups that found a pointer inside an allocator's range but not valid there.
U64 GetInRangeInvalidPtrCount();
// The real context a virtual one stands for in the calling code; other values unchanged.
Context ResolveContext(Context context);
} // namespace Memory
