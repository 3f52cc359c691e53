#include "corelib/math/prime-table.h"

#include <gtest/gtest.h>

#include <vector>

TEST(PrimeTable, HoldsTheFirst570Primes)
{
    // A sieve up to the last entry gives the reference list.
    std::vector<bool> composite(4140, false);
    std::vector<U32> primes;
    for (U32 i = 2; i < composite.size(); ++i)
    {
        if (composite[i])
            continue;
        primes.push_back(i);
        for (U32 j = i * i; j < composite.size(); j += i)
            composite[j] = true;
    }
    ASSERT_EQ(primes.size(), kPrimeTableSize);
    for (U32 i = 0; i < kPrimeTableSize; ++i)
        EXPECT_EQ(kPrimeTable[i], primes[i]) << i;
}

TEST(PrimeTable, NextPrimeFromTable)
{
    struct Case
    {
        U32 n;
        U32 prime;
    } cases[] = {{0, 2},
                 {1, 2},
                 {2, 2},
                 {3, 3},
                 {4, 5},
                 {24, 29},
                 {4138, 4139},
                 {4139, 4139},
                 {4140, 4140},
                 {5000, 5000},
                 {0xFFFFFFFFu, 0xFFFFFFFFu}};
    for (const Case& c : cases)
        EXPECT_EQ(NextPrimeFromTable(c.n), c.prime) << c.n;
    // Against a scan of the table for every number it covers.
    for (U32 n = 0; n <= 4140; ++n)
    {
        U32 expected = n;
        for (U32 prime : kPrimeTable)
        {
            if (prime >= n)
            {
                expected = prime;
                break;
            }
        }
        ASSERT_EQ(NextPrimeFromTable(n), expected) << n;
    }
}
