#include "corelib/math/dither-matrix.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace
{
// The textbook construction, kept literal: seed the 2 x 2 corner, then for each doubling
// write the three new quadrants from the old corner before scaling the corner itself.
std::vector<uint32_t> ReferenceBayerRanks(unsigned int n)
{
    std::vector<uint32_t> m(static_cast<size_t>(n) * n);
    m[0] = 0;
    m[1] = 3;
    m[n] = 2;
    m[n + 1] = 1;
    for (unsigned int s = 2; s < n; s *= 2)
    {
        for (unsigned int y = 0; y < s; ++y)
        {
            for (unsigned int x = 0; x < s; ++x)
            {
                const uint32_t t = m[y * n + x];
                m[y * n + x + s] = 4 * t + 3;
                m[(y + s) * n + x] = 4 * t + 2;
                m[(y + s) * n + x + s] = 4 * t + 1;
                m[y * n + x] = 4 * t;
            }
        }
    }
    return m;
}

std::vector<float> Generate(unsigned int n)
{
    std::vector<float> out(static_cast<size_t>(n) * n, -1.0f);
    GenerateBayerDitherMatrix(out.data(), n);
    return out;
}
} // namespace

TEST(BayerDitherMatrix, TwoByTwo)
{
    const std::vector<float> out = Generate(2);
    const float expected[] = {0.2f, 0.8f, 0.6f, 0.4f};
    for (int i = 0; i < 4; ++i)
        EXPECT_FLOAT_EQ(out[i], expected[i]) << "element " << i;
}

TEST(BayerDitherMatrix, FourByFourRanks)
{
    const uint32_t ranks[16] = {0, 12, 3, 15, 8, 4, 11, 7, 2, 14, 1, 13, 10, 6, 9, 5};
    const std::vector<float> out = Generate(4);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(out[i], (static_cast<float>(ranks[i]) + 1.0f) / 17.0f) << "element " << i;
}

// Every accepted size: the exact single-precision values of the recursive construction, so
// the thresholds are a permutation of (1 .. n*n) / (n*n + 1), all inside (0, 1).
TEST(BayerDitherMatrix, EveryPowerOfTwoMatchesTheRecursiveConstruction)
{
    for (unsigned int n = 2; n <= kMaxBayerDitherSize; n *= 2)
    {
        SCOPED_TRACE(n);
        const std::vector<uint32_t> ranks = ReferenceBayerRanks(n);
        const std::vector<float> out = Generate(n);
        const float denominator = static_cast<float>(n * n + 1);
        std::vector<uint8_t> seen(ranks.size(), 0);
        std::vector<float> byRank(ranks.size(), 0.0f);
        size_t mismatches = 0;
        for (size_t i = 0; i < ranks.size(); ++i)
        {
            if (ranks[i] >= ranks.size())
            {
                ++mismatches;
                continue;
            }
            seen[ranks[i]] = 1;
            byRank[ranks[i]] = out[i];
            if (out[i] != (static_cast<float>(ranks[i]) + 1.0f) / denominator)
                ++mismatches;
        }
        EXPECT_EQ(mismatches, 0u);

        // Every rank once, and distinct thresholds strictly inside (0, 1) in rank order.
        size_t missing = 0, unordered = 0;
        for (size_t r = 0; r < seen.size(); ++r)
        {
            missing += seen[r] == 0;
            unordered += r > 0 && !(byRank[r - 1] < byRank[r]);
        }
        EXPECT_EQ(missing, 0u);
        EXPECT_EQ(unordered, 0u);
        EXPECT_GT(byRank.front(), 0.0f);
        EXPECT_LT(byRank.back(), 1.0f);
    }
}

TEST(BayerDitherMatrixDeathTest, SizeMustBeAPowerOfTwoOfAtLeastTwo)
{
    float out[64];
    for (unsigned int n : {0u, 1u, 3u, 6u})
    {
        SCOPED_TRACE(n);
        EXPECT_DEATH(GenerateBayerDitherMatrix(out, n), "n >= 2 && \\(n & \\(n - 1\\)\\) == 0");
    }
}

TEST(BayerDitherMatrixDeathTest, SizeAboveTheExactLimitIsRefused)
{
    float out[4];
    EXPECT_DEATH(GenerateBayerDitherMatrix(out, kMaxBayerDitherSize * 2), "n <= kMaxBayerDitherSize");
    EXPECT_DEATH(GenerateBayerDitherMatrix(nullptr, 2), "out != nullptr");
}
