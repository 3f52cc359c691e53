#include "corelib/containers/fixedsizeheap.h"

#include "corelib/util/msg.h"
#include "tests/memory/test-pool-allocator.h"
#include "tests/support/test-support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <vector>

namespace
{
class FixedSizeHeapTest : public ::testing::Test
{
protected:
    void SetUp() override { m_scope.Register(Memory::kAllocAppCpu, &m_pool); }
    void TearDown() override { m_heap.Shutdown(); }

    void InitOwned(I64 numElements, I64 elementSize, Alignment alignment = kAlign16)
    {
        m_heap.Init(numElements, elementSize, Memory::kAllocAppCpu, alignment, __FILE__, __LINE__, __func__);
    }

    TestMemoryScope m_scope;
    TestPoolAllocator m_pool{256 * 1024, "Elements"};
    FixedSizeHeap m_heap;
};

TEST_F(FixedSizeHeapTest, AllocHandsOutTheLowestFreeElement)
{
    InitOwned(5, 32);
    EXPECT_EQ(m_heap.GetMostRecentIndex(), 4);
    U8* data = m_heap.GetData();
    EXPECT_TRUE(m_pool.IsValidPtr(data));
    EXPECT_TRUE(IsPointerAligned(data, 16));
    for (I64 i = 0; i < 5; ++i)
    {
        void* p = m_heap.Alloc();
        EXPECT_EQ(p, data + 32 * i);
        EXPECT_EQ(m_heap.GetIndex(p), i);
        EXPECT_EQ(m_heap.GetMostRecentIndex(), i);
    }
    EXPECT_EQ(m_heap.Alloc(), nullptr);
    EXPECT_EQ(m_heap.GetNumUsed(), 5);

    m_heap.Free(data + 64);
    m_heap.FreeIndex(0);
    EXPECT_EQ(m_heap.Alloc(), data) << "lowest first";
    EXPECT_EQ(m_heap.Alloc(), data + 64);

    EXPECT_EQ(m_heap.GetElementStart(data + 70), data + 64);
    EXPECT_EQ(m_heap.GetElementStart(data + 160), nullptr);
    EXPECT_TRUE(m_heap.IsPtrInRange(data + 159));
    EXPECT_FALSE(m_heap.IsPtrInRange(data + 160));
    EXPECT_FALSE(m_heap.IsPtrInRange(data - 1));

    m_heap.FreeAll();
    EXPECT_EQ(m_heap.GetNumUsed(), 0);
    EXPECT_EQ(m_heap.GetMostRecentIndex(), 4);
    EXPECT_EQ(m_heap.GetAllocatedElementStart(data + 70), nullptr) << "nothing allocated";
    EXPECT_EQ(m_heap.Alloc(), data);
    EXPECT_EQ(m_heap.GetAllocatedElementStart(data + 70), data + 64);
}

TEST_F(FixedSizeHeapTest, BitsBeyondTheElementCountAreNeverHandedOut)
{
    InitOwned(65, 16);
    for (int i = 0; i < 65; ++i)
        ASSERT_NE(m_heap.Alloc(), nullptr);
    EXPECT_EQ(m_heap.Alloc(), nullptr);
    std::vector<U64> mask = {~0ull, ~0ull};
    EXPECT_EQ(m_heap.AllocAllowed(mask.data()), nullptr);
}

TEST_F(FixedSizeHeapTest, AllocAllowedRespectsTheMask)
{
    InitOwned(130, 16);
    U64 mask[3] = {0, 0x6, 1};
    U8* data = m_heap.GetData();
    EXPECT_EQ(m_heap.AllocAllowed(mask), data + 16 * 65);
    EXPECT_EQ(m_heap.AllocAllowed(mask), data + 16 * 66);
    EXPECT_EQ(m_heap.AllocAllowed(mask), data + 16 * 128);
    EXPECT_EQ(m_heap.AllocAllowed(mask), nullptr);
    EXPECT_EQ(m_heap.Alloc(), data) << "unrestricted allocation is unaffected";
}

TEST_F(FixedSizeHeapTest, UnalignedElementSizeIsWarnedAboutAndRaised)
{
    DoutCapture info;
    SetMsgOutput(kMsgChannelInfo, &info);
    m_heap.Init(10, 12, Memory::kAllocAppCpu, kAlign8, "game/pool.cpp", 42, "MakePool");
    SetMsgOutput(kMsgChannelInfo, nullptr);
    EXPECT_NE(info.m_text.find("WARNING: "), std::string::npos);
    EXPECT_NE(info.m_text.find("FixedSizeHeap(10 elems, size 12, align 8): unaligned element size in file "
                               "\"game/pool.cpp\", line 42, function MakePool!\n"),
              std::string::npos)
        << info.m_text;
    EXPECT_EQ(m_heap.GetElementStride(), 16);
    U8* first = static_cast<U8*>(m_heap.Alloc());
    U8* second = static_cast<U8*>(m_heap.Alloc());
    EXPECT_EQ(first + 16, second);
}

TEST_F(FixedSizeHeapTest, CallerMemoryStaysTheCallers)
{
    alignas(16) U8 elements[8 * 32];
    m_heap.Init(8, 32, elements, Memory::kAllocAppCpu, kAlign16, __FILE__, __LINE__, __func__);
    EXPECT_EQ(m_heap.Alloc(), elements);
    const U32 freesBefore = m_pool.m_numFrees;
    m_heap.Shutdown();
    EXPECT_EQ(m_pool.m_numFrees, freesBefore + 1) << "only the usage bits are released";
    EXPECT_FALSE(m_heap.IsInitialized());
    // An owned array is released as well.
    InitOwned(8, 32);
    m_heap.Shutdown();
    EXPECT_EQ(m_pool.m_numFrees, freesBefore + 3);
    EXPECT_EQ(m_pool.GetPool().GetAllocSize(), 0u);
}

TEST_F(FixedSizeHeapTest, CopyAndRelocate)
{
    InitOwned(70, 16);
    for (int i = 0; i < 67; ++i)
        std::memset(m_heap.Alloc(), i, 16);
    m_heap.FreeIndex(3);

    FixedSizeHeap copy;
    copy.Init(70, 16, Memory::kAllocAppCpu, kAlign16, __FILE__, __LINE__, __func__);
    copy.Copy(m_heap);
    EXPECT_EQ(copy.GetNumUsed(), 66);
    EXPECT_EQ(copy.GetMostRecentIndex(), 66);
    EXPECT_FALSE(copy.IsIndexUsed(3));
    EXPECT_TRUE(copy.IsIndexUsed(66));
    EXPECT_EQ(copy.GetData()[16 * 40], 40);
    EXPECT_EQ(copy.Alloc(), copy.GetData() + 48);

    // Move the element array to another block and relocate the heap onto it.
    alignas(16) static U8 moved[70 * 16];
    std::memcpy(moved, m_heap.GetData(), sizeof(moved));
    U8* oldData = m_heap.GetData();
    const I64 delta = moved - oldData;
    m_heap.Relocate(delta, reinterpret_cast<UPtr>(oldData), reinterpret_cast<UPtr>(oldData) + sizeof(moved));
    EXPECT_EQ(m_heap.GetData(), moved);
    EXPECT_TRUE(m_heap.IsIndexUsed(66)) << "bits outside the range stay where they are";
    EXPECT_EQ(m_heap.Alloc(), moved + 48);
    m_heap.Relocate(-delta, reinterpret_cast<UPtr>(moved), reinterpret_cast<UPtr>(moved) + sizeof(moved));
    copy.Shutdown();
}

TEST_F(FixedSizeHeapTest, RandomUseAlwaysHandsOutTheLowestFreeElement)
{
    // Up to 64 usage words the heap keeps a summary word; beyond, a search hint.
    for (const I64 count : {I64{200}, I64{70 * 64 + 5}})
    {
        SCOPED_TRACE(count);
        m_heap.Shutdown();
        InitOwned(count, 16);
        std::set<I64> freeIndices;
        for (I64 i = 0; i < count; ++i)
            freeIndices.insert(i);
        std::mt19937 rng(4);
        std::vector<U64> mask(static_cast<size_t>((count + 63) / 64));
        for (int step = 0; step < 20000; ++step)
        {
            const U32 op = rng() % 9;
            if (op < 4)
            {
                void* p = m_heap.Alloc();
                if (freeIndices.empty())
                {
                    ASSERT_EQ(p, nullptr);
                    continue;
                }
                ASSERT_EQ(m_heap.GetIndex(p), *freeIndices.begin());
                freeIndices.erase(freeIndices.begin());
            }
            else if (op == 4)
            {
                // Restricted to a random mask: the lowest free index among the allowed ones.
                for (U64& word : mask)
                    word = (static_cast<U64>(rng()) << 32) | rng();
                I64 expected = -1;
                for (I64 index : freeIndices)
                {
                    if ((mask[static_cast<size_t>(index / 64)] >> (index % 64)) & 1)
                    {
                        expected = index;
                        break;
                    }
                }
                void* p = m_heap.AllocAllowed(mask.data());
                ASSERT_EQ(p ? m_heap.GetIndex(p) : -1, expected);
                freeIndices.erase(expected);
            }
            else if (op == 5 && step % 500 == 0)
            {
                m_heap.FreeAll();
                for (I64 i = 0; i < count; ++i)
                    freeIndices.insert(i);
            }
            else
            {
                // Frees near the low end, so that words fill and empty again.
                const I64 index = static_cast<I64>(rng() % static_cast<U32>(std::min<I64>(count, 300)));
                if (!freeIndices.count(index))
                {
                    m_heap.Free(m_heap.GetData() + index * 16);
                    freeIndices.insert(index);
                }
            }
            ASSERT_EQ(m_heap.GetNumUsed(), count - static_cast<I64>(freeIndices.size()));
        }
    }
}

TEST_F(FixedSizeHeapTest, FreeTakesBackEveryElementStartAtAnyStride)
{
    // Power-of-two strides index by shift, the others by a multiplied reciprocal.
    for (const I64 size : {I64{16}, I64{24}, I64{40}, I64{48}, I64{72}, I64{1000}})
    {
        SCOPED_TRACE(size);
        m_heap.Shutdown();
        const I64 count = 5000 * 16 / size;
        InitOwned(count, size, kAlign8);
        std::vector<U8*> elements;
        for (I64 i = 0; i < count; ++i)
            elements.push_back(static_cast<U8*>(m_heap.Alloc()));
        std::shuffle(elements.begin(), elements.end(), std::mt19937(static_cast<U32>(size)));
        for (size_t i = 0; i < elements.size(); ++i)
        {
            m_heap.Free(elements[i]);
            ASSERT_FALSE(m_heap.IsIndexUsed(m_heap.GetIndex(elements[i])));
            ASSERT_EQ(m_heap.GetNumUsed(), count - static_cast<I64>(i) - 1);
        }
        m_heap.Free(nullptr); // no element start, nothing to do
        EXPECT_EQ(m_heap.Alloc(), m_heap.GetData());
    }
}

// What Free may change, to compare before and after a call that must leave the heap alone.
struct HeapState
{
    explicit HeapState(const FixedSizeHeap& heap)
        : m_numUsed(heap.GetNumUsed()), m_mostRecentIndex(heap.GetMostRecentIndex())
    {
        for (I64 i = 0; i < heap.GetNumElements(); ++i)
            m_used.push_back(heap.IsIndexUsed(i));
    }
    bool operator==(const HeapState&) const = default;

    I64 m_numUsed;
    I64 m_mostRecentIndex;
    std::vector<bool> m_used;
};

// The address at a byte offset from p, computed as an integer: offsets outside an
// array are fine here, where no pointer arithmetic may reach them.
U8* AddressAt(const U8* p, I64 offset)
{
    return reinterpret_cast<U8*>(reinterpret_cast<UPtr>(p) + static_cast<UPtr>(offset));
}

TEST_F(FixedSizeHeapTest, FreeLeavesAddressesOutsideTheArrayAlone)
{
    // A power-of-two stride (offset to index by shift) and another (by reciprocal).
    for (const I64 size : {I64{32}, I64{24}})
    {
        SCOPED_TRACE(size);
        m_heap.Shutdown();
        InitOwned(10, size, kAlign8);
        U8* data = m_heap.GetData();
        for (int i = 0; i < 7; ++i)
            m_heap.Alloc();
        m_heap.FreeIndex(2);
        const HeapState before(m_heap);
        // Just below, an element and many elements below, just past the end, an element past.
        for (const I64 offset : {I64{-1}, -size, -64 * size, 10 * size, 10 * size + 1, 11 * size})
        {
            m_heap.Free(AddressAt(data, offset));
            EXPECT_TRUE(HeapState(m_heap) == before) << offset;
        }
        m_heap.Free(nullptr);
        EXPECT_TRUE(HeapState(m_heap) == before) << "null";
        EXPECT_EQ(m_heap.Alloc(), data + 2 * size) << "the search still finds the lowest free element";
    }
}

TEST_F(FixedSizeHeapTest, FreeWhileNothingIsInUseDoesNothing)
{
    // Up to 64 usage words the heap keeps a summary word; beyond, a search hint.
    for (const I64 count : {I64{10}, I64{70 * 64}})
    {
        SCOPED_TRACE(count);
        m_heap.Shutdown();
        InitOwned(count, 24, kAlign8);
        U8* data = m_heap.GetData();
        for (int i = 0; i < 3; ++i)
        {
            m_heap.Alloc();
            m_heap.FreeIndex(0);
            const HeapState before(m_heap);
            // Element starts, addresses inside an element and outside the array alike.
            for (const I64 offset : {I64{0}, I64{24}, (count - 1) * 24, I64{1}, I64{24 + 12}, I64{-24}, count * 24})
            {
                m_heap.Free(AddressAt(data, offset));
                ASSERT_TRUE(HeapState(m_heap) == before) << offset;
            }
            EXPECT_EQ(m_heap.Alloc(), data) << "the search state is intact";
            m_heap.FreeAll();
        }
    }
    // An uninitialised heap has no array and nothing in use.
    FixedSizeHeap empty;
    alignas(16) U8 element[16];
    empty.Free(element);
    empty.Free(nullptr);
    EXPECT_EQ(empty.GetNumUsed(), 0);
}

TEST_F(FixedSizeHeapTest, APointerTriedAgainstSeveralHeapsIsFreedByItsOwn)
{
    InitOwned(8, 48, kAlign16);
    FixedSizeHeap other;
    other.Init(8, 48, Memory::kAllocAppCpu, kAlign16, __FILE__, __LINE__, __func__);
    void* mine = m_heap.Alloc();
    void* theirs = other.Alloc();
    other.Alloc();
    for (FixedSizeHeap* heap : {&m_heap, &other})
        heap->Free(theirs);
    EXPECT_EQ(m_heap.GetNumUsed(), 1);
    EXPECT_TRUE(m_heap.IsIndexUsed(0));
    EXPECT_EQ(other.GetNumUsed(), 1);
    EXPECT_FALSE(other.IsIndexUsed(0));
    for (FixedSizeHeap* heap : {&other, &m_heap})
        heap->Free(mine);
    EXPECT_EQ(m_heap.GetNumUsed(), 0);
    EXPECT_EQ(other.GetNumUsed(), 1);
    other.Shutdown();
}

TEST_F(FixedSizeHeapTest, FreeRefusesAddressesInsideTheArrayThatAreNoElementStart)
{
    InitOwned(10, 24, kAlign8);
    U8* data = m_heap.GetData();
    for (int i = 0; i < 10; ++i)
        m_heap.Alloc();
    for (const I64 offset : {1, 23, 9 * 24 + 12, 10 * 24 - 1})
        EXPECT_DEATH(m_heap.Free(data + offset), "dataIn == pHeapBlock") << offset;
    m_heap.FreeAll();
    EXPECT_DEATH(m_heap.FreeIndex(0), "m_usage.IsBitSet\\(entryIndex\\)") << "nothing in use";
    m_heap.Alloc();
    EXPECT_DEATH(m_heap.Free(data + 25), "dataIn == pHeapBlock") << "inside a free element";
    EXPECT_DEATH(m_heap.Free(data + 24), "m_usage.IsBitSet\\(entryIndex\\)") << "a free element";
    EXPECT_DEATH(m_heap.FreeIndex(10), "m_usage.IsBitSet\\(entryIndex\\)") << "past the array";
}

TEST_F(FixedSizeHeapTest, Misuse)
{
    InitOwned(4, 32);
    U8* p = static_cast<U8*>(m_heap.Alloc());
    EXPECT_DEATH(m_heap.Free(p + 8), "dataIn == pHeapBlock");
    EXPECT_DEATH(m_heap.FreeIndex(2), "m_usage.IsBitSet\\(entryIndex\\)");
    EXPECT_DEATH(InitOwned(4, 32), "m_numElements == 0");

    FixedSizeHeap other;
    EXPECT_DEATH(
        other.Init(4, 32, Memory::kAllocAppCpu, static_cast<Alignment>(2), __FILE__, __LINE__, __func__),
        "ValidElementAlignment\\(alignment\\)");
    EXPECT_DEATH(other.Copy(m_heap), "Trying to copy to uninitialized FixedSizeHeap");
    other.Init(5, 32, Memory::kAllocAppCpu, kAlign16, __FILE__, __LINE__, __func__);
    EXPECT_DEATH(other.Copy(m_heap), "FixedSizeHeap::Copy assumes dest and src are the same size.");
    other.Shutdown();
}
} // namespace
