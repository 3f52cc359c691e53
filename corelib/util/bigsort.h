// QuickSort: an in-place, non-recursive quick sort of whole records with a caller-supplied
// three-way comparison. Pending sub-ranges live on an explicit stack of index pairs in a
// scratch buffer; the larger part is always pushed and the smaller one sorted first, so
// the stack never holds more than about 2 * log2(count) indices. Partitions use the
// median of three; ranges of at most seven records are finished by insertion sort. The
// sort is not stable. The form that takes its scratch buffer from a scoped temporary
// allocator is in corelib/util/bigsort-scratch.h.
#pragma once

#include "corelib/util/msg-assert.h"
#include "corelib/util/types.h"

#include <utility>

namespace bigsort_detail
{
// The stack holds range bounds as 32-bit indices.
using StackIndex = U32;
// Bytes of scratch the outer form takes per record.
constexpr U64 kScratchBytesPerRecord = 32;
// Ranges of at most this many records plus one are sorted by insertion.
constexpr I64 kInsertionLimit = 7;
} // namespace bigsort_detail

// Sorts elements 0 to count - 1 of array ascending by compare (positive when the first
// argument sorts after the second), keeping the pending ranges in the caller's scratch
// buffer of bufferBytes bytes (4-byte aligned). 2 * log2(count) + 2 indices of 4 bytes
// always suffice; a buffer too small for the ranges an input needs is the assertion
// "jstack <= static_cast<I32>(bufferSize)".
template <typename T>
void QuickSort(T* array, U32 count, int (*compare)(const T*, const T*), void* buffer, U32 bufferBytes)
{
    using bigsort_detail::StackIndex;
    if (count <= 1)
        return;
    OX_ASSERT(array && compare);
    OX_ASSERT(buffer && IsPointerAligned(buffer, alignof(StackIndex)));
    StackIndex* pStack = static_cast<StackIndex*>(buffer);
    // The limit counts the indices the buffer holds, not its bytes: a byte count would let
    // the stack run past the end of the buffer.
    const U32 bufferSize = bufferBytes / static_cast<U32>(sizeof(StackIndex));
    I32 jstack = 0;
    I64 l = 0;
    I64 ir = static_cast<I64>(count) - 1;
    for (;;)
    {
        if (ir - l < bigsort_detail::kInsertionLimit)
        {
            for (I64 j = l + 1; j <= ir; ++j)
            {
                T a = std::move(array[j]);
                I64 i = j - 1;
                for (; i >= l; --i)
                {
                    if (compare(&array[i], &a) <= 0)
                        break;
                    array[i + 1] = std::move(array[i]);
                }
                array[i + 1] = std::move(a);
            }
            if (jstack == 0)
                return;
            ir = pStack[jstack - 1];
            l = pStack[jstack - 2];
            jstack -= 2;
            continue;
        }

        const I64 k = (l + ir) >> 1;
        std::swap(array[k], array[l + 1]);
        if (compare(&array[l], &array[ir]) > 0)
            std::swap(array[l], array[ir]);
        if (compare(&array[l + 1], &array[ir]) > 0)
            std::swap(array[l + 1], array[ir]);
        if (compare(&array[l], &array[l + 1]) > 0)
            std::swap(array[l], array[l + 1]);
        // array[l] <= pivot <= array[ir] now: they stop both scans without bounds tests.
        I64 i = l + 1;
        I64 j = ir;
        T a = array[l + 1];
        for (;;)
        {
            do
                ++i;
            while (compare(&array[i], &a) < 0);
            do
                --j;
            while (compare(&array[j], &a) > 0);
            if (j < i)
                break;
            std::swap(array[i], array[j]);
        }
        array[l + 1] = std::move(array[j]);
        array[j] = std::move(a);

        jstack += 2;
        OX_ASSERT(jstack <= static_cast<I32>(bufferSize));
        if (jstack > static_cast<I32>(bufferSize))
            return; // resumed after the report: never write past the buffer
        if (ir - i + 1 >= j - l)
        {
            pStack[jstack - 1] = static_cast<StackIndex>(ir);
            pStack[jstack - 2] = static_cast<StackIndex>(i);
            ir = j - 1;
        }
        else
        {
            pStack[jstack - 1] = static_cast<StackIndex>(j - 1);
            pStack[jstack - 2] = static_cast<StackIndex>(l);
            l = i;
        }
    }
}
