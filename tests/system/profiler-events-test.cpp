#include "corelib/system/profiler-events.h"

#include "corelib/system/running-job.h"
#include "corelib/system/timing.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

namespace
{
constexpr U64 kFill = 0xDDDDDDDDDDDDDDDDull;

// A block of `words` usable words plus the slack; the fill pattern shows what was written.
struct TestBlock
{
    explicit TestBlock(U64 words) : m_memory(words + kProfileEventBlockSlackWords, kFill)
    {
        m_block.m_pDestination = m_memory.data();
        m_block.m_pLimit = m_memory.data() + words;
    }
    U64 Written() const { return static_cast<U64>(m_block.m_pDestination - m_memory.data()); }
    std::vector<U64> m_memory;
    ProfileEventBlock m_block;
};

// Installs a block for the scope of a test and removes it again.
struct BlockInstall
{
    explicit BlockInstall(ProfileEventBlock* pBlock) { m_pPrevious = SetProfileEventBlock(pBlock); }
    ~BlockInstall() { SetProfileEventBlock(m_pPrevious); }
    ProfileEventBlock* m_pPrevious;
};

U64 HeaderTime(U64 header)
{
    return header >> kProfileEventTimeShift;
}
} // namespace

TEST(ProfilerEvents, NothingIsWrittenWithoutABlock)
{
    ASSERT_EQ(GetProfileEventBlock(), nullptr);
    TestBlock block(64);
    // The block exists but is not installed on this thread.
    BeginProfileEvent("Waiting");
    BeginProfileEvent(0xFF123456, "Coloured");
    EndProfileEvent();
    EndProfileEvent();
    for (U64 word : block.m_memory)
        EXPECT_EQ(word, kFill);
}

TEST(ProfilerEvents, BeginAndEndWriteTheirWords)
{
    TestBlock block(64);
    BlockInstall install(&block.m_block);
    // A name that is not 16-byte aligned is copied in 8-byte words.
    alignas(16) static const char kStorage[] = "xWaiting";
    const char* name = kStorage + 1;
    U64 before = GetTimeNow();
    BeginProfileEvent(name);
    U64 afterBegin = GetTimeNow();
    const U64* w = block.m_memory.data();
    EXPECT_EQ(w[0] & ((1ull << kProfileEventTimeShift) - 1), kProfileEventBeginNoArgs);
    EXPECT_GE(HeaderTime(w[0]), before & ((1ull << 44) - 1));
    EXPECT_LE(HeaderTime(w[0]), afterBegin & ((1ull << 44) - 1));
    EXPECT_EQ(w[1], kProfileColorNoJob); // no thread runs a job yet
    EXPECT_EQ(w[2], kProfileEventString8);
    U64 nameWord;
    memcpy(&nameWord, "Waiting", 8); // seven letters and the terminating zero
    EXPECT_EQ(w[3], nameWord);
    EXPECT_EQ(w[4], kProfileEventEndOfBlock);
    EXPECT_EQ(block.Written(), 4u); // the next event overwrites the end-of-block word

    EndProfileEvent();
    U64 afterEnd = GetTimeNow();
    EXPECT_GE(HeaderTime(w[4]), HeaderTime(w[0]));
    EXPECT_LE(HeaderTime(w[4]), afterEnd & ((1ull << 44) - 1));
    EXPECT_EQ(w[4] & ((1ull << kProfileEventTimeShift) - 1), 0u);
    EXPECT_EQ(w[5], kProfileEventEndOfBlock);
    EXPECT_EQ(block.Written(), 5u);
    EXPECT_EQ(w[6], kFill);
}

TEST(ProfilerEvents, AlignedNamesAreCopiedIn16ByteWords)
{
    struct Case
    {
        const char* text;
        U64 chunks; // 16-byte chunks up to and including the terminating zero
    } cases[] = {
        {"", 1}, {"Short", 1}, {"Exactly15Chars!", 1}, {"Exactly16Chars!!", 2}, {"A longer region name", 2}};
    for (const Case& c : cases)
    {
        alignas(16) char name[64] = {};
        strcpy(name, c.text);
        memset(name + strlen(c.text) + 1, 'Z', sizeof(name) - strlen(c.text) - 1); // must not be copied
        TestBlock block(64);
        BlockInstall install(&block.m_block);
        BeginProfileEvent(0xFF010203, name);
        const U64* w = block.m_memory.data();
        EXPECT_EQ(w[1], 0xFF010203u);
        EXPECT_EQ(w[2], kProfileEventString16);
        char copied[64] = {};
        memcpy(copied, &w[3], c.chunks * 16);
        EXPECT_STREQ(copied, c.text);
        for (U64 i = strlen(c.text); i < c.chunks * 16; ++i)
            EXPECT_EQ(copied[i], 0) << c.text << " byte " << i;
        EXPECT_EQ(w[3 + 2 * c.chunks], kProfileEventEndOfBlock) << c.text;
        EXPECT_EQ(block.Written(), 3 + 2 * c.chunks) << c.text;
    }
}

TEST(ProfilerEvents, NestedRegionsFollowEachOther)
{
    TestBlock block(64);
    BlockInstall install(&block.m_block);
    BeginProfileEvent(0xFF000001, "Outer"); // header, colour, marker, name
    BeginProfileEvent(0xFF000002, "Inner"); // (names shorter than 8 bytes: one word or
    EndProfileEvent();                      //  one 16-byte chunk, by alignment)
    EndProfileEvent();
    const U64* w = block.m_memory.data();
    U64 second = (w[2] == kProfileEventString16) ? 5 : 4;
    EXPECT_EQ(w[second + 1], 0xFF000002u);
    U64 end = block.Written();
    EXPECT_EQ(w[end], kProfileEventEndOfBlock);
    EXPECT_EQ(w[end - 1] & 0xFFFFF, 0u);
    EXPECT_EQ(w[end - 2] & 0xFFFFF, 0u);
}

TEST(ProfilerEvents, AutomaticColourFollowsJobFlags)
{
    struct Case
    {
        U32 flags;
        U32 color;
    } cases[] = {
        {0, 0xFF444444},  {1, 0xFF444444},     {4, 0xFF00FF00},          {8, 0xFFFF0000},
        {64, 0xFF0000FF}, {4 | 8, 0xFF00FF00}, {4 | 8 | 64, 0xFF0000FF}, {8 | 64, 0xFF0000FF},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ProfileEventColorForJobFlags(c.flags), c.color) << c.flags;
}

TEST(ProfilerEvents, BeginWithoutAColourTakesTheRunningJobsFlags)
{
    static U32 s_flags = 0;
    static constexpr oxsys::RunningJobQueries kRunningJob = {
        [] { return true; }, [] { return s_flags; }, [](I32, U64*) { return false; }, [](I32, U64, U64) {},
        [](I32) {}, [](char*, U64, U64*) { return false; }};
    struct Case
    {
        U32 flags;
        U64 color;
    } cases[] = {{8, kProfileColorJobFlag8}, {64 | 8, kProfileColorJobFlag64}, {0, kProfileColorNoJob}};
    oxsys::SetRunningJobQueries(&kRunningJob);
    for (const Case& c : cases)
    {
        s_flags = c.flags;
        TestBlock block(64);
        BlockInstall install(&block.m_block);
        BeginProfileEvent("Job");
        EndProfileEvent();
        EXPECT_EQ(block.m_memory[1], c.color) << c.flags;
    }
    oxsys::SetRunningJobQueries(nullptr);
}

namespace
{
std::vector<U64>* s_pSpareMemory = nullptr;
int s_replaceCalls = 0;

U64 ReplaceWithSpare(ProfileEventBlock* pBlock)
{
    ++s_replaceCalls;
    pBlock->m_pDestination = s_pSpareMemory->data();
    pBlock->m_pLimit = s_pSpareMemory->data() + 16;
    return 0xABCDE;
}
} // namespace

TEST(ProfilerEvents, FullBlockIsReplacedAndTheEventGoesThere)
{
    std::vector<U64> spare(16 + kProfileEventBlockSlackWords, kFill);
    s_pSpareMemory = &spare;
    s_replaceCalls = 0;
    TestBlock block(4);
    block.m_block.m_pDestination = block.m_block.m_pLimit; // full
    BlockInstall install(&block.m_block);

    // Without a replace callback a full block drops the event.
    SetProfileEventReplaceBlock(nullptr);
    BeginProfileEvent("Dropped");
    EXPECT_EQ(block.m_block.m_pDestination, block.m_block.m_pLimit);
    EXPECT_EQ(block.m_memory[4], kFill);

    SetProfileEventReplaceBlock(ReplaceWithSpare);
    BeginProfileEvent(0xFF00FF00, "Job");
    EXPECT_EQ(s_replaceCalls, 1);
    EXPECT_EQ(spare[0], (0xABCDEull << 20) | 0x400);
    EXPECT_EQ(spare[1], 0xFF00FF00u);
    EXPECT_EQ(block.m_block.m_pDestination[0], kProfileEventEndOfBlock);

    // An end event in a full block uses the replacement's time stamp too.
    block.m_block.m_pDestination = block.m_block.m_pLimit;
    EndProfileEvent();
    EXPECT_EQ(s_replaceCalls, 2);
    EXPECT_EQ(spare[0], 0xABCDEull << 20);
    EXPECT_EQ(spare[1], kProfileEventEndOfBlock);
    SetProfileEventReplaceBlock(nullptr);
}

TEST(ProfilerEvents, LongNamesStopAtTheEndOfTheSlack)
{
    TestBlock block(1);
    BlockInstall install(&block.m_block);
    char name[1024];
    memset(name, 'n', sizeof(name) - 1);
    name[sizeof(name) - 1] = 0;
    BeginProfileEvent(0xFF000000, name + 1); // 8-byte path, or 16 when the stack aligns it
    U64 capacity = 1 + kProfileEventBlockSlackWords;
    EXPECT_LT(block.Written(), capacity);
    EXPECT_EQ(block.m_memory[block.Written()], kProfileEventEndOfBlock);
    EXPECT_EQ(block.m_memory.size(), capacity); // nothing was written past the memory
}

TEST(ProfilerEvents, BlocksArePerThread)
{
    TestBlock block(64);
    BlockInstall install(&block.m_block);
    std::thread other(
        []
        {
            EXPECT_EQ(GetProfileEventBlock(), nullptr);
            BeginProfileEvent("Elsewhere");
            EndProfileEvent();
        });
    other.join();
    EXPECT_EQ(block.Written(), 0u);
    EXPECT_EQ(block.m_memory[0], kFill);
}
