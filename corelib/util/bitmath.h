// Bit counting helpers on 32- and 64-bit words. Zero inputs have defined results
// (the full width), unlike the raw compiler builtins.
#pragma once

#include "corelib/util/msg-assert.h"
#include "corelib/util/types.h"

// Number of zero bits below the lowest set bit; 64 for 0.
inline U32 CountTrailingZeros64(U64 x)
{
    return x ? static_cast<U32>(__builtin_ctzll(x)) : 64u;
}

// Number of zero bits above the highest set bit; 32 for 0.
inline U32 CountLeadingZeros32(U32 x)
{
    return x ? static_cast<U32>(__builtin_clz(x)) : 32u;
}

// Number of zero bits above the highest set bit; 64 for 0.
inline U32 CountLeadingZeros64(U64 x)
{
    return x ? static_cast<U32>(__builtin_clzll(x)) : 64u;
}

// Number of set bits.
inline U32 PopCount64(U64 x)
{
    return static_cast<U32>(__builtin_popcountll(x));
}

// Lowest position p such that bits p..p+n-1 of x are all set, or 64 when there is none.
// Shrink-and-combine: each step ANDs x with itself shifted by half the remaining run
// length, so after six steps bit p survives exactly when n set bits start at p.
inline U32 FindFirstNSetBits_U64(U64 x, U32 n)
{
    OX_ASSERT(n <= 64);
    U32 remaining = n;
    for (int step = 0; step < 6; ++step)
    {
        U32 shift = remaining / 2;
        x &= x >> shift;
        remaining -= shift;
    }
    return CountTrailingZeros64(x);
}
