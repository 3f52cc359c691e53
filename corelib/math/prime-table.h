// The smallest prime at or above a number, from a built-in table of the first 570
// primes (2 to 4139); numbers above the table are returned unchanged.
#pragma once

#include "corelib/util/types.h"

inline constexpr U32 kPrimeTableSize = 570;
extern const U32 kPrimeTable[kPrimeTableSize];

// The first table prime >= n, or n itself when n is above 4139 (the last entry).
U32 NextPrimeFromTable(U32 n);
