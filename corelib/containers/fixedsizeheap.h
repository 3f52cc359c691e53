// FixedSizeHeap: a pool of equally sized, equally aligned elements in one contiguous
// array, with one usage bit per element. Alloc hands out the lowest free element
// (optionally only among those a caller mask allows); Free returns an element by address
// or index. The owner serialises access.
#pragma once

#include "corelib/memory/memory-context.h"
#include "corelib/util/bit-array.h"
#include "corelib/util/bitmath.h"
#include "corelib/util/msg-assert.h"
#include "corelib/util/types.h"

class FixedSizeHeap
{
public:
    FixedSizeHeap() = default;
    FixedSizeHeap(const FixedSizeHeap&) = delete;
    FixedSizeHeap& operator=(const FixedSizeHeap&) = delete;

    // Uses numElements elements of elementSize bytes at data (the caller's memory, which
    // stays the caller's); the usage bits come from the context's allocator. An element
    // size that is not a multiple of the alignment is warned about and raised to it.
    void Init(I64 numElements, I64 elementSize, U8* data, Memory::Context context, Alignment alignment,
              const char* file, U32 line, const char* function);
    // As above, with the element array allocated from the context's allocator (or from
    // the current allocator when the context is kAllocInvalid).
    void Init(I64 numElements, I64 elementSize, const Memory::Context& context, Alignment alignment,
              const char* file, U32 line, const char* function);

    // The lowest free element, or null when all are in use.
    void* Alloc();
    // The lowest free element whose bit is set in allowMask (one bit per element), or null.
    void* AllocAllowed(const U64* allowMask);
    // Returns an element by its start address. Addresses outside the array, and any
    // address while nothing is in use, are left alone, so a caller may try one pointer
    // against several heaps; an address inside the array must be an element start.
    void Free(void* element);
    // Returns an element by its index.
    void FreeIndex(I64 index);
    // Returns every element.
    void FreeAll();

    // Index of the element at the address.
    I64 GetIndex(const void* element) const;
    // Start of the element containing p, or null outside the array.
    void* GetElementStart(const void* p) const;
    // As GetElementStart, and null also while nothing is allocated.
    void* GetAllocatedElementStart(const void* p) const;
    // True when p lies in the element array.
    bool IsPtrInRange(const void* p) const;
    // Copies the usage, the elements and the most recent index of a heap of the same size.
    void Copy(const FixedSizeHeap& srcHeap);
    // Adds delta to the element array and bit storage pointers that lie in [low, high).
    void Relocate(I64 delta, U64 low, U64 high);
    // Releases the usage bits and an element array the heap allocated itself (when
    // initialised) and forgets them.
    void Shutdown();

    bool IsInitialized() const { return m_numElements != 0; }
    I64 GetNumElements() const { return m_numElements; }
    I64 GetElementStride() const { return m_elementStride; }
    I64 GetNumUsed() const { return m_numUsed; }
    U64 GetAlignment() const { return m_alignment; }
    I64 GetMostRecentIndex() const { return m_mostRecentIndex; }
    U8* GetData() const { return m_pData; }
    bool IsIndexUsed(I64 index) const { return m_usage.IsBitSet(static_cast<U64>(index)); }

private:
    // Lowest index whose bit is clear in usage and set in allowMask (all ones without a mask).
    I64 FindFree(const U64* allowMask) const;
    void* TakeIndex(I64 index, bool allowMaskUsed);
    // The bits of a usage word that stand for elements (the last word may be partial).
    U64 UsableBits(U32 block) const { return block == m_lastBlock ? m_lastBlockMask : ~0ull; }
    // Byte offset of an element in the array.
    U64 ElementOffset(U64 index) const { return index * static_cast<U64>(m_elementStride); }
    // Index of the element holding the byte at an offset into the array. Exact for
    // offsets in the array; an offset outside it gives an index at or past the element
    // count, which is all Free needs to take it off its fast path.
    U64 IndexOfOffset(U64 offset) const;
    // Takes an element of the array (index below the element count) back; byAddress
    // when Free asked for it.
    void ReleaseIndex(U64 index, bool byAddress);
    // The element to release is not in use.
    OX_COLD void ReportNotInUse() const;
    // Free of an address at the given offset from the array start that is no element
    // start: misuse inside the array while something is in use, else nothing to do.
    OX_COLD void CheckNoElementStart(U64 offset) const;
    // Keep the search shortcuts right after an element of the word was taken by a search
    // that may have skipped earlier words (a masked one) or not.
    void NoteTaken(U32 block, U64 word, bool unrestricted);
    // Every word has free elements again (after Init, FreeAll and Copy the bits are recounted).
    void ResetSearchState();

    U8* m_pData = nullptr;
    ExternalBitArray m_usage;
    I64 m_numElements = 0;
    I64 m_elementStride = 0;
    I64 m_numUsed = 0;
    U64 m_alignment = 0;
    I64 m_mostRecentIndex = 0;
    // Search shortcuts, kept beside the bits so that Alloc finds the lowest free element
    // without walking the full words at the front.
    // With at most 64 usage words: bit b set while word b has a free element.
    U64 m_notFullWords = 0;
    // With more words: every usage word below this one is full; searches start here.
    U32 m_firstFreeWordHint = 0;
    // The last usage word and its bits that stand for elements.
    U32 m_lastBlock = 0;
    U64 m_lastBlockMask = 0;
    // m_notFullWords is in use (initialised, at most 64 words). Derivable from the word
    // count, but a flag of its own measured a few percent faster on sequential Alloc.
    bool m_summarised = false;
    // Offset to index: by shift when the stride is a power of two (log2 here, else -1),
    // else by multiplying with the reciprocal (floor(2^64 / stride) + 1, exact while
    // offset x stride stays below 2^64), else (arrays too large for that) by division.
    // Before the first Init the shift is 0: there is no stride to divide by, and every
    // offset maps to an index past the empty array.
    I32 m_strideShift = 0;
    U64 m_strideReciprocal = 0;
    bool m_ownsData = false;
};

// The hot operations are inline: a pool pop should cost about what a free-list pop does.
// The lowest free element of a word is set with word | (word + 1), and Free tests
// "element start" as one condition.

inline void FixedSizeHeap::NoteTaken(U32 block, U64 word, bool unrestricted)
{
    const bool full = word == UsableBits(block);
    if (full && m_summarised)
        m_notFullWords &= ~(1ull << block);
    if (unrestricted)
    {
        // Unrestricted searches found every word before this one full.
        m_firstFreeWordHint = block + (full ? 1 : 0);
    }
}

inline void* FixedSizeHeap::Alloc()
{
    U64* pBlocks = m_usage.GetBlocks();
    U32 block;
    U64 word;
    if (OX_LIKELY(m_summarised))
    {
        // The lowest word with a free element, then its lowest free element.
        const U64 notFull = m_notFullWords;
        if (!notFull)
            return nullptr;
        block = static_cast<U32>(__builtin_ctzll(notFull));
        word = pBlocks[block];
        const U64 taken = word | (word + 1);
        pBlocks[block] = taken;
        // This word is the summary's lowest set bit.
        if (taken == UsableBits(block))
            m_notFullWords = notFull & (notFull - 1);
    }
    else
    {
        // Also the way out of an uninitialised heap (no words).
        const U32 numBlocks = m_usage.GetNumBlocks();
        for (block = m_firstFreeWordHint;; ++block)
        {
            if (block >= numBlocks)
                return nullptr;
            word = pBlocks[block];
            if (~word & UsableBits(block))
                break;
        }
        const U64 taken = word | (word + 1);
        pBlocks[block] = taken;
        m_firstFreeWordHint = block + (taken == UsableBits(block) ? 1 : 0);
    }
    // A word with a free element has its lowest clear bit among the element bits.
    const U64 index = static_cast<U64>(block) * 64 + static_cast<U64>(__builtin_ctzll(~word));
    ++m_numUsed;
    m_mostRecentIndex = static_cast<I64>(index);
    return m_pData + ElementOffset(index);
}

inline void FixedSizeHeap::ReleaseIndex(U64 index, bool byAddress)
{
    const U32 block = static_cast<U32>(index / 64);
    U64* pWord = m_usage.GetBlocks() + block;
    const U64 bit = 1ull << (index % 64);
    if (OX_UNLIKELY(!(*pWord & bit)))
    {
        // Free leaves every address alone while nothing is in use (no bit is set then).
        if (byAddress && m_numUsed == 0)
            return;
        ReportNotInUse();
    }
    *pWord ^= bit;
    --m_numUsed;
    // The shortcut in use learns that the word has a free element.
    if (OX_LIKELY(m_summarised))
        m_notFullWords |= 1ull << block;
    else if (block < m_firstFreeWordHint)
        m_firstFreeWordHint = block;
}

inline void FixedSizeHeap::FreeIndex(I64 entryIndex)
{
    // Indices outside the array have no bit set, as IsBitSet would answer.
    OX_ASSERT_AS(static_cast<U64>(entryIndex) < static_cast<U64>(m_numElements), "m_usage.IsBitSet(entryIndex)");
    ReleaseIndex(static_cast<U64>(entryIndex), false);
}

inline U64 FixedSizeHeap::IndexOfOffset(U64 offset) const
{
    if (m_strideShift >= 0)
        return offset >> m_strideShift;
    if (OX_LIKELY(m_strideReciprocal))
        return static_cast<U64>((static_cast<unsigned __int128>(offset) * m_strideReciprocal) >> 64);
    return offset / static_cast<U64>(m_elementStride);
}

inline I64 FixedSizeHeap::GetIndex(const void* element) const
{
    const I64 offset = static_cast<const U8*>(element) - m_pData;
    return m_strideShift >= 0 ? offset >> m_strideShift : offset / m_elementStride;
}

inline bool FixedSizeHeap::IsPtrInRange(const void* p) const
{
    const UPtr address = reinterpret_cast<UPtr>(p);
    const UPtr start = reinterpret_cast<UPtr>(m_pData);
    return m_pData && address >= start &&
           address - start < static_cast<UPtr>(m_elementStride) * static_cast<UPtr>(m_numElements);
}

inline void FixedSizeHeap::Free(void* dataIn)
{
    // Frees when something is in use and the address lies in the array, where it must be
    // an element start (dataIn == pHeapBlock, the start of its element); every other
    // address, null among them, is left alone. The common case is tested as one
    // condition, in the array and a whole number of strides from its start; the rest is
    // sorted out off that path: an element start while nothing is in use finds its bit
    // clear, any other address goes to CheckNoElementStart.
    // One unsigned offset covers both ends of the array (an address below it wraps).
    const U64 offset = static_cast<U64>(reinterpret_cast<UPtr>(dataIn) - reinterpret_cast<UPtr>(m_pData));
    const U64 index = IndexOfOffset(offset);
    const bool isElementStart = (index < static_cast<U64>(m_numElements)) & (offset == ElementOffset(index));
    if (OX_LIKELY(isElementStart))
    {
        ReleaseIndex(index, true);
        return;
    }
    CheckNoElementStart(offset);
}
