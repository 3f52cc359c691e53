// QuickSort: results against std::sort over input shapes and record sizes, the insertion
// cut-off, the explicit stack's limit in the caller's scratch buffer, and the outer form's
// scratch from a scoped temporary allocator.
#include "corelib/util/bigsort.h"
#include "corelib/util/bigsort-scratch.h"

#include "tests/memory/scoped-temp-test-support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

namespace
{
struct Record16
{
    U64 m_key;
    U64 m_payload;
};
static_assert(sizeof(Record16) == 16);

struct Record32
{
    U64 m_key;
    U64 m_payload[3];
};
static_assert(sizeof(Record32) == 32);

int g_compareCount = 0;

template <typename T>
int CompareKeys(const T* pA, const T* pB)
{
    ++g_compareCount;
    return pA->m_key < pB->m_key ? -1 : (pA->m_key > pB->m_key ? 1 : 0);
}

enum class Shape
{
    kSorted,
    kReversed,
    kRandom,
    kAllEqual,
    kOrganPipe,
    kFewDistinct,
};

const Shape kShapes[] = {Shape::kSorted,   Shape::kReversed,  Shape::kRandom,
                         Shape::kAllEqual, Shape::kOrganPipe, Shape::kFewDistinct};

template <typename T>
std::vector<T> MakeRecords(Shape shape, U32 count, U32 seed = 7)
{
    std::mt19937_64 random(seed);
    std::vector<T> records(count);
    for (U32 i = 0; i < count; ++i)
    {
        T& r = records[i];
        std::memset(&r, 0, sizeof(r));
        switch (shape)
        {
        case Shape::kSorted:
            r.m_key = i;
            break;
        case Shape::kReversed:
            r.m_key = count - i;
            break;
        case Shape::kRandom:
            r.m_key = random();
            break;
        case Shape::kAllEqual:
            r.m_key = 42;
            break;
        case Shape::kOrganPipe:
            r.m_key = i < count / 2 ? i : count - i;
            break;
        case Shape::kFewDistinct:
            r.m_key = random() % 4;
            break;
        }
        // The payload tells records apart, so that a lost or duplicated record shows.
        std::memcpy(reinterpret_cast<U8*>(&r) + sizeof(U64), &i, sizeof(i));
    }
    return records;
}

// Sorted by key, and the same records as the input (the sort is not stable, so records of
// equal keys are compared as sets).
template <typename T>
void ExpectSortedPermutation(std::vector<T> input, const std::vector<T>& output)
{
    ASSERT_EQ(input.size(), output.size());
    if (input.empty())
        return;
    for (size_t i = 1; i < output.size(); ++i)
        ASSERT_LE(output[i - 1].m_key, output[i].m_key) << "at " << i;
    auto byKeyThenBytes = [](const T& a, const T& b)
    {
        if (a.m_key != b.m_key)
            return a.m_key < b.m_key;
        return std::memcmp(&a, &b, sizeof(T)) < 0;
    };
    std::vector<T> expected = input;
    std::sort(expected.begin(), expected.end(), byKeyThenBytes);
    std::vector<T> actual = output;
    std::sort(actual.begin(), actual.end(), byKeyThenBytes);
    ASSERT_EQ(std::memcmp(expected.data(), actual.data(), expected.size() * sizeof(T)), 0);
}

// Indices the stack can need for count records: two per halving of the range.
U32 StackBoundBytes(U32 count)
{
    U32 levels = 0;
    while ((1ull << levels) < count)
        ++levels;
    return 2 * levels * sizeof(U32);
}

class QuickSortTest : public ScopedTempSystemTest
{
protected:
    template <typename T>
    void CheckAllShapes()
    {
        const U32 counts[] = {0, 1, 2, 3, 7, 8, 9, 16, 100, 1000, 10000};
        for (Shape shape : kShapes)
        {
            for (U32 count : counts)
            {
                SCOPED_TRACE(testing::Message() << "shape " << static_cast<int>(shape) << " count " << count
                                                << " record " << sizeof(T));
                const std::vector<T> input = MakeRecords<T>(shape, count);
                std::vector<T> records = input;
                // Exactly the bound: no index is stored beyond it.
                std::vector<U32> scratch(StackBoundBytes(count) / sizeof(U32) + 1, 0xA5A5A5A5u);
                QuickSort(records.data(), count, CompareKeys<T>, scratch.data(), StackBoundBytes(count));
                EXPECT_EQ(scratch.back(), 0xA5A5A5A5u);
                ExpectSortedPermutation(input, records);
            }
        }
    }
};

TEST_F(QuickSortTest, SortsEveryShapeOf16ByteRecords)
{
    CheckAllShapes<Record16>();
}

TEST_F(QuickSortTest, SortsEveryShapeOf32ByteRecords)
{
    CheckAllShapes<Record32>();
}

TEST_F(QuickSortTest, SevenRecordsNeedNoStackAndEightTakeOnePartition)
{
    U32 noScratch = 0;
    std::vector<Record16> seven = MakeRecords<Record16>(Shape::kReversed, 7);
    QuickSort(seven.data(), 7, CompareKeys<Record16>, &noScratch, 0);
    ExpectSortedPermutation(MakeRecords<Record16>(Shape::kReversed, 7), seven);

    // One partition pushes one pair of indices.
    std::vector<Record16> eight = MakeRecords<Record16>(Shape::kReversed, 8);
    U32 onePair[2] = {};
    QuickSort(eight.data(), 8, CompareKeys<Record16>, onePair, sizeof(onePair));
    ExpectSortedPermutation(MakeRecords<Record16>(Shape::kReversed, 8), eight);
    EXPECT_DEATH(QuickSort(eight.data(), 8, CompareKeys<Record16>, &noScratch, 0),
                 "jstack <= static_cast<I32>\\(bufferSize\\)");
}

TEST_F(QuickSortTest, TheStackLimitCountsIndicesNotBytes)
{
    // 64 sorted records are halved until the ranges are short, so two ranges are pending
    // at once. A limit in bytes would let an 8-byte buffer take eight indices; it holds two.
    std::vector<Record16> records = MakeRecords<Record16>(Shape::kSorted, 64);
    U32 scratch[2];
    EXPECT_DEATH(QuickSort(records.data(), 64, CompareKeys<Record16>, scratch, sizeof(scratch)),
                 "jstack <= static_cast<I32>\\(bufferSize\\)");
}

TEST_F(QuickSortTest, TenThousandSortedAndReversedRecordsStayFarBelowTheStackLimit)
{
    StartSystem(1 << 20, 2);
    for (Shape shape : {Shape::kSorted, Shape::kReversed})
    {
        const std::vector<Record32> input = MakeRecords<Record32>(shape, 10000);
        std::vector<Record32> records = input;
        QuickSort(records.data(), 10000, CompareKeys<Record32>);
        ExpectSortedPermutation(input, records);
        // And with the stack bounded at 2 * log2(count) indices.
        records = input;
        U32 scratch[28];
        QuickSort(records.data(), 10000, CompareKeys<Record32>, scratch, sizeof(scratch));
        ExpectSortedPermutation(input, records);
    }
}

TEST_F(QuickSortTest, OuterFormTakesItsScratchFromAScopedTemporaryAllocator)
{
    StartSystem(1 << 20, 2);
    std::vector<Record16> one = MakeRecords<Record16>(Shape::kRandom, 1);
    const Record16 before = one[0];
    g_compareCount = 0;
    QuickSort(one.data(), 1, CompareKeys<Record16>);
    QuickSort(one.data(), 0, CompareKeys<Record16>);
    EXPECT_EQ(std::memcmp(&before, &one[0], sizeof(before)), 0);
    EXPECT_EQ(g_compareCount, 0);
    EXPECT_EQ(TakeScopedTempPeak(), 0u) << "count <= 1 takes no block";

    const std::vector<Record16> input = MakeRecords<Record16>(Shape::kRandom, 5000);
    std::vector<Record16> records = input;
    {
        // Inside an open scope the sort nests in it and gives its scratch back.
        OX_SCOPED_TEMP_ALLOCATOR(outer, false);
        const U64 freeBefore = outer.GetFreeSize();
        QuickSort(records.data(), 5000, CompareKeys<Record16>);
        EXPECT_EQ(outer.GetFreeSize(), freeBefore);
    }
    ExpectSortedPermutation(input, records);
    EXPECT_EQ(TakeScopedTempPeak(), 1u);
}
} // namespace
