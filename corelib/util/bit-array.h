// BitArrayT: a fixed-capacity bit set over 64-bit blocks, the record of which slots are
// in use throughout the library. Bit i lives in block i / 64 at position i % 64 (bit 0
// is the least significant bit of block 0). The storage policy decides where the blocks
// live: InternalBitArrayStorage<N> keeps N bits inside the object, ExternalBitArrayStorage
// works on blocks supplied by the owner. No operation allocates or locks; callers that
// share an array guard it themselves.
#pragma once

#include "corelib/util/bitmath.h"
#include "corelib/util/msg-assert.h"
#include "corelib/util/types.h"

// The result of a search that found nothing: -1 as I64, the largest U64.
inline constexpr I64 kBitNotFound = -1;

// N bits kept inside the object, zero-initialised; N is a multiple of 64.
template <U64 N>
class InternalBitArrayStorage
{
    static_assert(N > 0 && N % 64 == 0, "internal bit arrays hold whole 64-bit blocks");

public:
    U64 GetMaxBitCount() const { return N; }
    U64 GetAllocatedBitCount() const { return N; }
    U32 GetNumBlocks() const { return static_cast<U32>(N / 64); }
    U64* GetBlocks() { return m_blocks; }
    const U64* GetBlocks() const { return m_blocks; }
    // Bits of the last block that lie below the maximum (all of them here).
    U64 GetLastBlockMask() const { return ~0ull; }

private:
    U64 m_blocks[N / 64] = {};
};

// Bits kept in blocks that belong to the owner; Init must run before any other use.
class ExternalBitArrayStorage
{
public:
    // Uses the blocks at aBlock (at least ceil(maxBits / 64) of them) and clears them.
    void Init(U64 maxBits, U64* aBlock)
    {
        OX_ASSERT(maxBits);
        OX_ASSERT(aBlock);
        m_pBlocks = aBlock;
        m_maxBitCount = maxBits;
        m_allocatedBitCount = (maxBits + 63) & ~63ull;
        m_numBlocks = static_cast<U32>(m_allocatedBitCount / 64);
        for (U32 i = 0; i < m_numBlocks; ++i)
            m_pBlocks[i] = 0;
    }
    U64 GetMaxBitCount() const { return m_maxBitCount; }
    U64 GetAllocatedBitCount() const { return m_allocatedBitCount; }
    U32 GetNumBlocks() const { return m_numBlocks; }
    U64* GetBlocks() { return m_pBlocks; }
    const U64* GetBlocks() const { return m_pBlocks; }
    // Bits of the last block that lie below the maximum: the bits above it are unused and
    // never reported by a search.
    U64 GetLastBlockMask() const { return ~0ull >> ((0 - m_maxBitCount) & 63); }

private:
    U64* m_pBlocks = nullptr;
    U64 m_maxBitCount = 0;
    U64 m_allocatedBitCount = 0;
    U32 m_numBlocks = 0;
};

template <class Storage>
class BitArrayT
{
public:
    U64 GetMaxBitCount() const { return m_storage.GetMaxBitCount(); }
    U64 GetAllocatedBitCount() const { return m_storage.GetAllocatedBitCount(); }
    U32 GetNumBlocks() const { return m_storage.GetNumBlocks(); }
    U64* GetBlocks() { return m_storage.GetBlocks(); }
    const U64* GetBlocks() const { return m_storage.GetBlocks(); }

    // Sets one bit.
    void SetBit(U64 index)
    {
        OX_ASSERT(index < m_storage.GetMaxBitCount());
        GetBlocks()[index / 64] |= 1ull << (index % 64);
    }

    // Clears one bit.
    void ClearBit(U64 index)
    {
        OX_ASSERT(index < m_storage.GetMaxBitCount());
        GetBlocks()[index / 64] &= ~(1ull << (index % 64));
    }

    // True when the bit is set.
    bool IsBitSet(U64 index) const
    {
        OX_ASSERT(index < m_storage.GetMaxBitCount());
        return (GetBlocks()[index / 64] >> (index % 64)) & 1;
    }

    // The smallest set index above currentIndex, or kBitNotFound.
    I64 FindNextSetBit(U64 currentIndex) const
    {
        OX_ASSERT(currentIndex < m_storage.GetMaxBitCount());
        return FindNextBit(currentIndex, 0);
    }

    // The smallest clear index above currentIndex (below the maximum), or kBitNotFound.
    I64 FindNextClearBit(U64 currentIndex) const
    {
        OX_ASSERT(currentIndex < m_storage.GetMaxBitCount());
        return FindNextBit(currentIndex, ~0ull);
    }

    // The smallest set index, or kBitNotFound.
    I64 FindFirstSetBit() const { return FindFirstBit(0); }

    // The smallest clear index below the maximum, or kBitNotFound.
    I64 FindFirstClearBit() const { return FindFirstBit(~0ull); }

    // True when no bit below the maximum is set.
    bool AreAllBitsClear() const { return FindFirstSetBit() == kBitNotFound; }

    // Number of set bits below the maximum.
    U32 CountSetBits() const
    {
        const U64* pBlocks = GetBlocks();
        const U32 numBlocks = GetNumBlocks();
        U32 count = 0;
        for (U32 block = 0; block < numBlocks; ++block)
        {
            const U64 mask = block == numBlocks - 1 ? m_storage.GetLastBlockMask() : ~0ull;
            count += PopCount64(pBlocks[block] & mask);
        }
        return count;
    }

    // Sets bits i0..i1 (inclusive).
    void SetBitRange(U64 i0, U64 i1)
    {
        OX_ASSERT(i0 < m_storage.GetMaxBitCount());
        OX_ASSERT(i1 < m_storage.GetMaxBitCount());
        SetBitRangeUnsafe(i0, i1);
    }

    // Clears bits i0..i1 (inclusive).
    void ClearBitRange(U64 i0, U64 i1)
    {
        OX_ASSERT(i0 < m_storage.GetMaxBitCount());
        OX_ASSERT(i1 < m_storage.GetMaxBitCount());
        ClearBitRangeUnsafe(i0, i1);
    }

    // True when every bit of i0..i1 (inclusive) is set.
    bool IsBitRangeAllSet(U64 i0, U64 i1) const
    {
        OX_ASSERT(i0 < m_storage.GetMaxBitCount());
        OX_ASSERT(i1 < m_storage.GetMaxBitCount());
        return IsBitRangeAllSetUnsafe(i0, i1);
    }

    // Sets bits i0..i1 (inclusive); the range may reach into the unused bits of the last
    // block (below the allocated count).
    void SetBitRangeUnsafe(U64 i0, U64 i1)
    {
        RangeMasks r = GetRangeMasks(i0, i1);
        U64* pBlocks = GetBlocks();
        if (r.iBlock0 == r.iBlock1)
        {
            pBlocks[r.iBlock0] |= r.lowMask & r.highMask;
            return;
        }
        pBlocks[r.iBlock0] |= r.lowMask;
        for (U64 block = r.iBlock0 + 1; block < r.iBlock1; ++block)
            pBlocks[block] = ~0ull;
        pBlocks[r.iBlock1] |= r.highMask;
    }

    // Clears bits i0..i1 (inclusive), as SetBitRangeUnsafe.
    void ClearBitRangeUnsafe(U64 i0, U64 i1)
    {
        RangeMasks r = GetRangeMasks(i0, i1);
        U64* pBlocks = GetBlocks();
        if (r.iBlock0 == r.iBlock1)
        {
            pBlocks[r.iBlock0] &= ~(r.lowMask & r.highMask);
            return;
        }
        pBlocks[r.iBlock0] &= ~r.lowMask;
        for (U64 block = r.iBlock0 + 1; block < r.iBlock1; ++block)
            pBlocks[block] = 0;
        pBlocks[r.iBlock1] &= ~r.highMask;
    }

    // True when every bit of i0..i1 (inclusive) is set, as SetBitRangeUnsafe.
    bool IsBitRangeAllSetUnsafe(U64 i0, U64 i1) const
    {
        RangeMasks r = GetRangeMasks(i0, i1);
        const U64* pBlocks = GetBlocks();
        if (r.iBlock0 == r.iBlock1)
        {
            U64 mask = r.lowMask & r.highMask;
            return (pBlocks[r.iBlock0] & mask) == mask;
        }
        if ((pBlocks[r.iBlock0] & r.lowMask) != r.lowMask)
            return false;
        for (U64 block = r.iBlock0 + 1; block < r.iBlock1; ++block)
        {
            if (pBlocks[block] != ~0ull)
                return false;
        }
        return (pBlocks[r.iBlock1] & r.highMask) == r.highMask;
    }

    // The first index of a run of numBits clear bits lying in blocks startBlock..endBlock,
    // or kBitNotFound. The earliest start wins; runs may cross block boundaries. Bits
    // above the maximum (in the last block) count as taken.
    I64 FindFirstNClearBitsByBlock(U64 numBits, U32 startBlock, U32 endBlock) const
    {
        OX_ASSERT(numBits);
        OX_ASSERT(startBlock < GetNumBlocks());
        OX_ASSERT(startBlock <= endBlock);
        OX_ASSERT(endBlock < GetNumBlocks());
        const U64* pBlocks = GetBlocks();
        U32 lastBlock = GetNumBlocks() - 1;
        U64 carry = 0; // clear bits at the top of the blocks before, continuing into this one
        for (U64 block = startBlock; block <= endBlock; ++block)
        {
            U64 bits = pBlocks[block];
            if (block == lastBlock)
                bits |= ~m_storage.GetLastBlockMask();
            I64 blockStart = static_cast<I64>(block * 64);
            if (bits == 0)
            {
                if (carry + 64 >= numBits)
                    return blockStart - static_cast<I64>(carry);
                carry += 64;
                continue;
            }
            U64 low = CountTrailingZeros64(bits);
            U64 high = CountLeadingZeros64(bits);
            if (carry + low >= numBits)
                return blockStart - static_cast<I64>(carry);
            // The stretch between the lowest and the highest set bit may hold the run.
            if (static_cast<I64>(62 - high - low) >= static_cast<I64>(numBits))
            {
                U32 inside = FindFirstNSetBits_U64(~bits, static_cast<U32>(numBits));
                if (inside < 64)
                    return blockStart + inside;
            }
            if (high >= numBits)
                return blockStart + 64 - static_cast<I64>(high);
            carry = high;
        }
        return kBitNotFound;
    }

    // Copies other's blocks and clears the blocks of this array beyond them.
    template <class OtherStorage>
    void Copy(const BitArrayT<OtherStorage>& other)
    {
        U32 numBlocks = GetNumBlocks();
        OX_ASSERT(numBlocks >= other.GetNumBlocks());
        U64* pBlocks = GetBlocks();
        const U64* pOther = other.GetBlocks();
        U32 copied = other.GetNumBlocks();
        for (U32 i = 0; i < copied; ++i)
            pBlocks[i] = pOther[i];
        for (U32 i = copied; i < numBlocks; ++i)
            pBlocks[i] = 0;
    }

    Storage m_storage;

private:
    struct RangeMasks
    {
        U64 iBlock0;
        U64 iBlock1;
        U64 lowMask;
        U64 highMask;
    };

    RangeMasks GetRangeMasks(U64 i0, U64 i1) const
    {
        OX_ASSERT(i0 <= i1);
        OX_ASSERT(i0 < m_storage.GetAllocatedBitCount());
        OX_ASSERT(i1 < m_storage.GetAllocatedBitCount());
        U64 iBlock0 = i0 / 64;
        U64 iBlock1 = i1 / 64;
        OX_ASSERT(iBlock0 < m_storage.GetNumBlocks());
        OX_ASSERT(iBlock1 < m_storage.GetNumBlocks());
        return {iBlock0, iBlock1, ~0ull << (i0 % 64), ~0ull >> (63 - i1 % 64)};
    }

    // First-bit search from index 0 over the blocks XORed with invert (0: set bits,
    // all-ones: clear bits); bits above the maximum never count.
    I64 FindFirstBit(U64 invert) const
    {
        const U64* pBlocks = GetBlocks();
        const U32 numBlocks = GetNumBlocks();
        for (U32 block = 0; block < numBlocks; ++block)
        {
            U64 bits = pBlocks[block] ^ invert;
            if (block == numBlocks - 1)
                bits &= m_storage.GetLastBlockMask();
            if (bits)
                return static_cast<I64>(block) * 64 + CountTrailingZeros64(bits);
        }
        return kBitNotFound;
    }

    // Next-bit search over the blocks XORed with invert (0: set bits, all-ones: clear
    // bits); the last block is masked so that bits above the maximum never count.
    I64 FindNextBit(U64 currentIndex, U64 invert) const
    {
        const U64* pBlocks = GetBlocks();
        U32 lastBlock = GetNumBlocks() - 1;
        U32 block = static_cast<U32>(currentIndex / 64);
        U64 bits = (pBlocks[block] ^ invert) & (~1ull << (currentIndex % 64));
        // The answer is most often in the same block: keep that path short.
        if (block == lastBlock)
            bits &= m_storage.GetLastBlockMask();
        if (OX_LIKELY(bits))
            return static_cast<I64>((currentIndex & ~63ull) + CountTrailingZeros64(bits));
        while (block < lastBlock)
        {
            ++block;
            bits = pBlocks[block] ^ invert;
            if (block == lastBlock)
                bits &= m_storage.GetLastBlockMask();
            if (bits)
                return static_cast<I64>(block) * 64 + CountTrailingZeros64(bits);
        }
        return kBitNotFound;
    }
};

// The usual spellings: N bits inside the object, or bits in the owner's blocks.
template <U64 N>
using BitArray = BitArrayT<InternalBitArrayStorage<N>>;
using ExternalBitArray = BitArrayT<ExternalBitArrayStorage>;
