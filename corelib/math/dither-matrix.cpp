#include "corelib/math/dither-matrix.h"

#include "corelib/util/msg-assert.h"
#include "corelib/util/types.h"

namespace
{
// Rank contribution of one coordinate. The recursive construction grows the table from the
// 2 x 2 seed (0 3 / 2 1) by multiplying the built corner by 4 and adding 0, 3, 2 or 1 by
// quadrant, so the quadrant bit of the largest scale (the top bit of the coordinate) ends up
// in the lowest base-4 digit and bit 0 in the highest. Within one digit the seed value is
// (2 * rowBit) XOR (3 * columnBit), and digits occupy separate bit pairs, so the whole rank
// is RankPart(row, 2) XOR RankPart(column, 3): no scratch table is needed.
inline U32 RankPart(U32 coord, U32 log2n, U32 digit)
{
    U32 part = 0;
    for (U32 bit = 0; bit < log2n; ++bit)
    {
        if ((coord >> bit) & 1u)
            part |= digit << (2u * (log2n - 1u - bit));
    }
    return part;
}
} // namespace

void GenerateBayerDitherMatrix(float* out, unsigned int n)
{
    OX_ASSERT(out != nullptr);
    OX_ASSERT(n >= 2 && (n & (n - 1)) == 0);
    OX_ASSERT(n <= kMaxBayerDitherSize);

    const U32 log2n = static_cast<U32>(__builtin_ctz(n));
    // Divided, not multiplied by a reciprocal: the thresholds must be the correctly rounded
    // single-precision quotients.
    const float denominator = static_cast<float>(n * n + 1u);
    for (U32 row = 0; row < n; ++row)
    {
        const U32 rowPart = RankPart(row, log2n, 2u);
        float* pRow = out + static_cast<U64>(row) * n;
        for (U32 column = 0; column < n; ++column)
        {
            const U32 rank = rowPart ^ RankPart(column, log2n, 3u);
            pRow[column] = (static_cast<float>(rank) + 1.0f) / denominator;
        }
    }
}
