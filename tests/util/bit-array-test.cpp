#include "corelib/util/bit-array.h"
#include "corelib/util/bitmath.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

// The death tests call the checked operations with indices past the end on purpose; the
// assertion ends the process before the access, but the optimiser sees the access that
// would follow a resumed breakpoint and warns about it.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Warray-bounds"
#endif

namespace
{
// The earliest run of n clear bits starting in block startBlock or later and ending by
// endBlock, found bit by bit; bits at or above maxBits count as taken.
I64 ReferenceFindClearRun(const U64* pBlocks, U64 maxBits, U64 n, U32 startBlock, U32 endBlock)
{
    U64 end = (static_cast<U64>(endBlock) + 1) * 64;
    U64 run = 0;
    for (U64 i = static_cast<U64>(startBlock) * 64; i < end; ++i)
    {
        bool set = i >= maxBits || ((pBlocks[i / 64] >> (i % 64)) & 1);
        run = set ? 0 : run + 1;
        if (run == n)
            return static_cast<I64>(i + 1 - n);
    }
    return kBitNotFound;
}

U32 ReferenceFirstNSetBits(U64 x, U32 n)
{
    for (U32 p = 0; p + n <= 64; ++p)
    {
        U64 mask = (n == 64) ? ~0ull : (((1ull << n) - 1) << p);
        if ((x & mask) == mask)
            return p;
    }
    return 64;
}
} // namespace

TEST(BitMath, CountsAndZeroInputs)
{
    EXPECT_EQ(CountLeadingZeros32(1), 31u);
    EXPECT_EQ(CountLeadingZeros32(0), 32u);
    EXPECT_EQ(CountLeadingZeros32(0x80000000u), 0u);
    EXPECT_EQ(CountLeadingZeros64(0x8000000000000000ull), 0u);
    EXPECT_EQ(CountLeadingZeros64(0), 64u);
    EXPECT_EQ(CountLeadingZeros64(1), 63u);
    EXPECT_EQ(CountTrailingZeros64(0), 64u);
    EXPECT_EQ(CountTrailingZeros64(0x8000000000000000ull), 63u);
    EXPECT_EQ(CountTrailingZeros64(12), 2u);
    EXPECT_EQ(PopCount64(~0ull), 64u);
    // The counting definition the searches rely on: popcount((x - 1) & ~x).
    std::mt19937_64 rng(1);
    for (int i = 0; i < 1000; ++i)
    {
        U64 x = rng() >> (rng() % 64);
        EXPECT_EQ(CountTrailingZeros64(x), PopCount64((x - 1) & ~x)) << x;
    }
}

TEST(BitMath, FindFirstNSetBitsMatchesAScan)
{
    const U64 fixed[] = {0, ~0ull, 1, 0x8000000000000000ull, 0xF0F0F0F0F0F0F0F0ull, 0x00FFFF0000000000ull};
    std::mt19937_64 rng(2);
    std::vector<U64> values(fixed, fixed + 6);
    for (int i = 0; i < 300; ++i)
        values.push_back(rng() | rng() | (rng() & rng()));
    for (U64 x : values)
    {
        for (U32 n = 1; n <= 64; ++n)
            ASSERT_EQ(FindFirstNSetBits_U64(x, n), ReferenceFirstNSetBits(x, n))
                << std::hex << x << " n " << n;
    }
}

TEST(BitMathDeathTest, FindFirstNSetBitsRejectsLongRuns)
{
    EXPECT_DEATH(FindFirstNSetBits_U64(~0ull, 65), "n <= 64");
}

TEST(BitArray, SingleBitsAndNextBitSearch)
{
    BitArray<128> bits;
    EXPECT_EQ(bits.GetMaxBitCount(), 128u);
    EXPECT_EQ(bits.GetNumBlocks(), 2u);
    EXPECT_EQ(bits.FindFirstSetBit(), kBitNotFound);
    for (U64 i : {0, 5, 63, 64, 127})
        bits.SetBit(i);
    EXPECT_TRUE(bits.IsBitSet(63));
    EXPECT_FALSE(bits.IsBitSet(62));
    EXPECT_EQ(bits.FindFirstSetBit(), 0);
    // The search starts above the given index, never at it.
    EXPECT_EQ(bits.FindNextSetBit(0), 5);
    EXPECT_EQ(bits.FindNextSetBit(5), 63);
    EXPECT_EQ(bits.FindNextSetBit(63), 64);
    EXPECT_EQ(bits.FindNextSetBit(64), 127);
    EXPECT_EQ(bits.FindNextSetBit(127), kBitNotFound);
    EXPECT_EQ(bits.FindNextClearBit(62), 65);
    EXPECT_EQ(bits.FindNextClearBit(0), 1);
    bits.ClearBit(64);
    EXPECT_EQ(bits.FindNextSetBit(63), 127);
    EXPECT_EQ(bits.FindNextClearBit(63), 64);
    bits.SetBitRange(0, 127);
    EXPECT_EQ(bits.FindNextClearBit(0), kBitNotFound);
    EXPECT_EQ(static_cast<U64>(kBitNotFound), ~0ull);
}

TEST(BitArray, RangesTouchOnlyTheirBits)
{
    BitArray<256> bits;
    bits.SetBitRange(5, 5);
    EXPECT_EQ(bits.GetBlocks()[0], 1ull << 5);
    bits.ClearBitRange(5, 5);
    bits.SetBitRange(60, 70);
    EXPECT_EQ(bits.GetBlocks()[0], 0xFull << 60);
    EXPECT_EQ(bits.GetBlocks()[1], 0x7Full);
    EXPECT_EQ(bits.GetBlocks()[2], 0u);
    EXPECT_TRUE(bits.IsBitRangeAllSet(60, 70));
    EXPECT_FALSE(bits.IsBitRangeAllSet(59, 70));
    EXPECT_FALSE(bits.IsBitRangeAllSet(60, 71));
    bits.SetBitRange(10, 250); // whole blocks in between
    EXPECT_EQ(bits.GetBlocks()[1], ~0ull);
    EXPECT_EQ(bits.GetBlocks()[2], ~0ull);
    EXPECT_EQ(bits.GetBlocks()[3], ~0ull >> 5);
    EXPECT_TRUE(bits.IsBitRangeAllSet(10, 250));
    bits.ClearBit(150);
    EXPECT_FALSE(bits.IsBitRangeAllSet(10, 250));
    EXPECT_TRUE(bits.IsBitRangeAllSet(151, 250));
    bits.ClearBitRange(64, 191);
    EXPECT_EQ(bits.GetBlocks()[1], 0u);
    EXPECT_EQ(bits.GetBlocks()[2], 0u);
    EXPECT_EQ(bits.GetBlocks()[0], ~0ull << 10);
    EXPECT_EQ(bits.GetBlocks()[3], ~0ull >> 5);
}

TEST(BitArray, ExternalStorageHidesBitsAboveTheMaximum)
{
    U64 blocks[2] = {~0ull, ~0ull};
    ExternalBitArray bits;
    bits.m_storage.Init(100, blocks);
    EXPECT_EQ(blocks[0], 0u); // Init clears the blocks
    EXPECT_EQ(blocks[1], 0u);
    EXPECT_EQ(bits.GetMaxBitCount(), 100u);
    EXPECT_EQ(bits.GetAllocatedBitCount(), 128u);
    EXPECT_EQ(bits.GetNumBlocks(), 2u);
    // The unused bits 100..127 are set directly (as the unsafe range may do).
    bits.SetBitRangeUnsafe(100, 127);
    EXPECT_EQ(bits.FindFirstSetBit(), kBitNotFound);
    EXPECT_EQ(bits.FindNextSetBit(50), kBitNotFound);
    EXPECT_TRUE(bits.AreAllBitsClear());
    EXPECT_EQ(bits.CountSetBits(), 0u);
    EXPECT_EQ(bits.FindFirstClearBit(), 0);
    bits.SetBitRange(0, 98);
    EXPECT_EQ(bits.FindFirstClearBit(), 99);
    EXPECT_EQ(bits.CountSetBits(), 99u);
    bits.ClearBitRange(0, 98);
    bits.SetBit(99);
    EXPECT_FALSE(bits.AreAllBitsClear());
    EXPECT_EQ(bits.FindFirstClearBit(), 0);
    EXPECT_EQ(bits.FindNextSetBit(50), 99);
    EXPECT_EQ(bits.FindNextSetBit(99 - 1), 99);
    // Clear-bit searches do not report the unused bits either.
    bits.SetBitRange(0, 98);
    EXPECT_EQ(bits.FindNextClearBit(0), kBitNotFound);
    bits.ClearBit(99);
    EXPECT_EQ(bits.FindNextClearBit(0), 99);
    EXPECT_EQ(bits.FindNextClearBit(99), kBitNotFound);
    // Neither does the run search: 28 unused bits after a clear bit 99 are not a run.
    bits.ClearBitRange(0, 99);
    EXPECT_EQ(bits.FindFirstNClearBitsByBlock(2, 1, 1), 64);
    EXPECT_EQ(bits.FindFirstNClearBitsByBlock(37, 1, 1), kBitNotFound);
    EXPECT_EQ(bits.FindFirstNClearBitsByBlock(100, 0, 1), 0);
    EXPECT_EQ(bits.FindFirstNClearBitsByBlock(101, 0, 1), kBitNotFound);
}

TEST(BitArray, CopyTakesBlocksAndClearsTheRest)
{
    BitArray<128> source;
    source.SetBit(3);
    source.SetBit(100);
    U64 blocks[4] = {1, 2, 3, 4};
    ExternalBitArray target;
    target.m_storage.Init(256, blocks);
    target.SetBitRange(0, 255);
    target.Copy(source);
    EXPECT_EQ(blocks[0], 1ull << 3);
    EXPECT_EQ(blocks[1], 1ull << 36);
    EXPECT_EQ(blocks[2], 0u);
    EXPECT_EQ(blocks[3], 0u);
}

TEST(BitArray, FindFirstNClearBitsByBlockCases)
{
    BitArray<512> bits;
    // All clear: 200 bits from block 0 start at 0; with endBlock 2 (192 bits) none fit.
    EXPECT_EQ(bits.FindFirstNClearBitsByBlock(200, 0, 7), 0);
    EXPECT_EQ(bits.FindFirstNClearBitsByBlock(200, 0, 2), kBitNotFound);
    EXPECT_EQ(bits.FindFirstNClearBitsByBlock(192, 0, 2), 0);
    EXPECT_EQ(bits.FindFirstNClearBitsByBlock(1, 3, 3), 192);
    // Blocks 0 and 1 all set except the top 10 bits of block 0 and the low 20 of block
    // 1: a 30-bit run crosses the block boundary at 54.
    bits.SetBitRange(0, 127);
    bits.ClearBitRange(54, 83);
    EXPECT_EQ(bits.FindFirstNClearBitsByBlock(30, 0, 7), 54);
    EXPECT_EQ(bits.FindFirstNClearBitsByBlock(31, 0, 7), 128);
    // A run ending after endBlock is not found; one in the middle of a block is.
    EXPECT_EQ(bits.FindFirstNClearBitsByBlock(30, 0, 0), kBitNotFound);
    bits.ClearBitRange(200, 220);
    bits.SetBitRange(128, 199);
    bits.SetBitRange(221, 511);
    EXPECT_EQ(bits.FindFirstNClearBitsByBlock(21, 2, 7), 200);
    EXPECT_EQ(bits.FindFirstNClearBitsByBlock(22, 2, 7), kBitNotFound);
    EXPECT_EQ(bits.FindFirstNClearBitsByBlock(64, 0, 7), kBitNotFound);
}

TEST(BitArray, SearchesMatchABitByBitScan)
{
    std::mt19937_64 rng(3);
    for (U64 maxBits : {512ull, 300ull})
    {
        std::vector<U64> storage(8);
        ExternalBitArray bits;
        bits.m_storage.Init(maxBits, storage.data());
        U32 numBlocks = bits.GetNumBlocks();
        for (int round = 0; round < 200; ++round)
        {
            // Sparse, dense and clustered patterns give runs of every length.
            for (U32 b = 0; b < numBlocks; ++b)
            {
                U64 a = rng(), c = rng(), d = rng();
                switch (round % 4)
                {
                case 0:
                    storage[b] = a & c & d;
                    break;
                case 1:
                    storage[b] = a | c;
                    break;
                case 2:
                    storage[b] = (rng() % 3 == 0) ? 0 : (a & c & d & rng());
                    break;
                default:
                    storage[b] = (rng() % 2) ? ~0ull << (a % 64) : ~0ull >> (c % 64);
                    break;
                }
            }
            for (int query = 0; query < 20; ++query)
            {
                U64 n = 1 + rng() % (query < 15 ? 64 : 200);
                U32 start = static_cast<U32>(rng() % numBlocks);
                U32 end = start + static_cast<U32>(rng() % (numBlocks - start));
                ASSERT_EQ(bits.FindFirstNClearBitsByBlock(n, start, end),
                          ReferenceFindClearRun(storage.data(), maxBits, n, start, end))
                    << "n " << n << " blocks " << start << ".." << end << " round " << round;
            }
            // The next-bit searches against the same scan, from every index.
            I64 nextSet = kBitNotFound, nextClear = kBitNotFound; // above index i
            for (U64 i = maxBits; i-- > 0;)
            {
                ASSERT_EQ(bits.FindNextSetBit(i), nextSet) << i << " round " << round;
                ASSERT_EQ(bits.FindNextClearBit(i), nextClear) << i << " round " << round;
                (bits.IsBitSet(i) ? nextSet : nextClear) = static_cast<I64>(i);
            }
        }
    }
}

TEST(BitArrayDeathTest, PreconditionsReportTheirConditions)
{
    BitArray<128> bits;
    EXPECT_DEATH(bits.SetBit(128), "index < m_storage.GetMaxBitCount\\(\\)");
    EXPECT_DEATH(bits.FindNextSetBit(128), "currentIndex < m_storage.GetMaxBitCount\\(\\)");
    EXPECT_DEATH(bits.SetBitRange(0, 128), "i1 < m_storage.GetMaxBitCount\\(\\)");
    EXPECT_DEATH(bits.SetBitRangeUnsafe(9, 8), "i0 <= i1");
    EXPECT_DEATH(bits.FindFirstNClearBitsByBlock(0, 0, 1), "numBits");
    EXPECT_DEATH(bits.FindFirstNClearBitsByBlock(1, 1, 0), "startBlock <= endBlock");
    EXPECT_DEATH(bits.FindFirstNClearBitsByBlock(1, 0, 2), "endBlock < GetNumBlocks\\(\\)");
    ExternalBitArray external;
    EXPECT_DEATH(external.m_storage.Init(0, nullptr), "maxBits");
    EXPECT_DEATH(external.m_storage.Init(64, nullptr), "aBlock");
    BitArray<256> larger;
    EXPECT_DEATH(bits.Copy(larger), "numBlocks >= other.GetNumBlocks\\(\\)");
}
