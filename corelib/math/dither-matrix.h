// Ordered-dither threshold tables built by the recursive Bayer construction.
#pragma once

// Largest side GenerateBayerDitherMatrix accepts. Above it the thresholds stop being exact
// in single precision: at 4096 the denominator n * n + 1 rounds to n * n, so the top
// threshold becomes 1.0, and larger sides give equal thresholds for different ranks.
constexpr unsigned int kMaxBayerDitherSize = 2048;

// Fills out (n * n floats, row-major) with the Bayer thresholds (rank + 1) / (n * n + 1),
// all distinct and inside (0, 1); n must be a power of two from 2 to kMaxBayerDitherSize.
// Needs no memory besides out and may be called from any thread.
void GenerateBayerDitherMatrix(float* out, unsigned int n);
