// QuickSort without a caller's buffer: the scratch for its pending ranges comes from the
// calling owner's scoped temporary allocator (the sort itself is in bigsort.h).
#pragma once

#include "corelib/memory/scoped-temp-allocator.h"
#include "corelib/util/bigsort.h"
#include "corelib/util/msg-assert.h"
#include "corelib/util/types.h"

// Sorts elements 0 to count - 1 of array ascending by compare, with its scratch buffer
// (32 bytes per record) taken from the calling owner's scoped temporary allocator.
// Returns at once, allocating nothing, for count <= 1.
template <typename T>
void QuickSort(T* array, U32 count, int (*compare)(const T*, const T*))
{
    if (count <= 1)
        return;
    ScopedTempAllocator scratchScope(false, __FILE__, __LINE__, __func__);
    const U64 wanted = bigsort_detail::kScratchBytesPerRecord * count;
    const U32 bufferSize = wanted > 0xFFFFFFF0ull ? 0xFFFFFFF0u : static_cast<U32>(wanted);
    void* pBuffer =
        scratchScope.Allocate(bufferSize, alignof(bigsort_detail::StackIndex), __FILE__, __LINE__, __func__);
    OX_ASSERT(pBuffer);
    QuickSort(array, count, compare, pBuffer, bufferSize);
}
