// The C runtime heap as the replaced global operators use it: for requests no allocator
// takes, and for the release of blocks no allocator owns. Allocation and release are a
// matching pair on each platform, whatever the alignment.
#pragma once

#include "corelib/util/types.h"

namespace Memory
{
// Size bytes aligned to alignment (a power of two, at least 16 is used); null on failure.
void* CrtHeapAllocate(U64 size, U64 alignment);
// Releases a block from CrtHeapAllocate; null is ignored.
void CrtHeapFree(void* p);
} // namespace Memory
