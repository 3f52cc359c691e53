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
    // Returns an element by its start address.
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
    U64 UsableBits(U32 block) const;
    // Keep the search shortcuts right after an element of the word was taken or freed.
    void NoteTaken(U32 block, U64 word, bool unrestricted);
    void NoteFreed(U32 block);
    // Every word has free elements again (after Init, FreeAll and Copy the bits are recounted).
    void ResetSearchState();

    U8* m_pData = nullptr;
    ExternalBitArray m_usage;
    I64 m_numElements = 0;
    I64 m_elementStride = 0;
    I64 m_numUsed = 0;
    U64 m_alignment = 0;
    I64 m_mostRecentIndex = 0;
    // Every usage word below this one is full: searches start here. Keeps "lowest free
    // element first" while skipping the full words at the front.
    U32 m_firstFreeWordHint = 0;
    // With at most 64 usage words: bit b set while word b has a free element, so the lowest
    // free element is found without a scan.
    U64 m_notFullWords = 0;
    // log2 of the stride when it is a power of two (index by shift), else -1 (by division).
    I32 m_strideShift = -1;
    bool m_ownsData = false;
};

// The hot operations are inline: a pool pop should cost about what a free-list pop does.

inline U64 FixedSizeHeap::UsableBits(U32 block) const
{
    return block == m_usage.GetNumBlocks() - 1 ? m_usage.m_storage.GetLastBlockMask() : ~0ull;
}

inline void FixedSizeHeap::NoteTaken(U32 block, U64 word, bool unrestricted)
{
    const bool full = word == UsableBits(block);
    if (m_usage.GetNumBlocks() <= 64)
    {
        if (full)
            m_notFullWords &= ~(1ull << block);
    }
    else if (unrestricted)
    {
        // Unrestricted searches found every word before this one full.
        m_firstFreeWordHint = block + (full ? 1 : 0);
    }
}

inline void FixedSizeHeap::NoteFreed(U32 block)
{
    m_notFullWords |= m_usage.GetNumBlocks() <= 64 ? 1ull << block : 0;
    if (block < m_firstFreeWordHint)
        m_firstFreeWordHint = block;
}

inline void* FixedSizeHeap::Alloc()
{
    if (!m_numElements)
        return nullptr;
    U64* pBlocks = m_usage.GetBlocks();
    const U32 numBlocks = m_usage.GetNumBlocks();
    U32 block;
    U64 bits;
    if (numBlocks <= 64)
    {
        // The lowest word with a free element, then its lowest free element.
        if (!m_notFullWords)
            return nullptr;
        block = static_cast<U32>(CountTrailingZeros64(m_notFullWords));
        bits = ~pBlocks[block] & UsableBits(block);
    }
    else
    {
        for (block = m_firstFreeWordHint;; ++block)
        {
            if (block == numBlocks)
                return nullptr;
            bits = ~pBlocks[block] & UsableBits(block);
            if (bits)
                break;
        }
    }
    const I64 index = static_cast<I64>(block) * 64 + static_cast<I64>(CountTrailingZeros64(bits));
    const U64 word = pBlocks[block] | (bits & (0 - bits));
    pBlocks[block] = word;
    NoteTaken(block, word, true);
    ++m_numUsed;
    m_mostRecentIndex = index;
    return m_pData + (m_strideShift >= 0 ? index << m_strideShift : index * m_elementStride);
}

inline void FixedSizeHeap::FreeIndex(I64 entryIndex)
{
    OX_ASSERT(m_usage.IsBitSet(entryIndex));
    --m_numUsed;
    // The index was range-checked by IsBitSet just above.
    m_usage.GetBlocks()[static_cast<U64>(entryIndex) / 64] &= ~(1ull << (static_cast<U64>(entryIndex) % 64));
    NoteFreed(static_cast<U32>(static_cast<U64>(entryIndex) / 64));
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
    // Addresses outside the array, or any address while nothing is in use, have no element
    // start and fail the check like an address inside an element.
    // One unsigned offset covers both ends of the array (an address below it wraps).
    const U64 offset = static_cast<U64>(reinterpret_cast<UPtr>(dataIn) - reinterpret_cast<UPtr>(m_pData));
    const U64 index =
        m_strideShift >= 0 ? offset >> m_strideShift : offset / static_cast<U64>(m_elementStride);
    const bool inArray = m_numUsed != 0 && m_pData && index < static_cast<U64>(m_numElements);
    const void* pHeapBlock = inArray ? m_pData + static_cast<I64>(index) * m_elementStride : nullptr;
    OX_ASSERT(dataIn == pHeapBlock);
    if (pHeapBlock)
        FreeIndex(static_cast<I64>(index));
}
