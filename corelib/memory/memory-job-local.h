// The memory system's state that belongs to the running job rather than to its thread: a
// job may resume on another worker, so its current allocator and its depth of
// allocation-failure report suppression live in two fixed job-local entries, which
// travel with the job. Read and written through the running-job seam
// (corelib/system/running-job.h): outside jobs there are no entries, and no code is
// render work.
#pragma once

#include "corelib/util/types.h"

namespace Memory
{
class Allocator;

// Job local storage slots used by the memory system (fixed index and identifier).
constexpr I32 kJlsIndexAllocator = 3;
constexpr U64 kJlsIdAllocator = 0xD610F2E781858623ull;
constexpr I32 kJlsIndexAllocFailSuppression = 4;
constexpr U64 kJlsIdAllocFailSuppression = 0x4697342214AC5FBEull;

// The job flag that marks render work (the memory map resolves some contexts differently for it).
constexpr U32 kJobFlagRender = 0x08;

// True when the calling job is render work (false outside jobs).
bool IsRenderJob();
// The calling job's current allocator (null when it has none); workers only.
Allocator* GetJobAllocator();
// Stores the calling job's current allocator (null stores an empty one); workers only.
void SetJobAllocator(Allocator* pAllocator);
// True when the calling job suppresses allocation-failure reports; workers only.
bool IsJobSuppressingAllocFail();
// Depth of the calling job's suppression (0 when absent); workers only.
U64 GetJobAllocFailSuppression();
// Sets the depth; 0 frees the entry; workers only.
void SetJobAllocFailSuppression(U64 depth);
} // namespace Memory
