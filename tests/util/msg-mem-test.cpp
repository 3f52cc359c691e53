// The memory message outputs: DoutMem's ring and dumps, the History buffer, and
// DoutMemConsole's tagged entries, grouped dumps and raw buffer replacement.
#include "corelib/util/msg-mem.h"

#include "corelib/memory/allocator-heap.h"
#include "corelib/memory/memory-map.h"
#include "corelib/util/msg.h"
#include "tests/memory/scoped-temp-test-support.h"
#include "tests/support/test-support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace
{
class MsgMemTest : public ScopedTempSystemTest
{
protected:
    void SetUp() override
    {
        ScopedTempSystemTest::SetUp();
        StartSystem(16 * 1024, 4);
    }
    void TearDown() override
    {
        SetMsgTag(0);
        ScopedTempSystemTest::TearDown();
    }
};

// The stored text of a DoutMem in ring order, read without skipping a partial line.
std::string Stored(const DoutMem& mem)
{
    std::vector<char> text(mem.GetStoredLength() + 1);
    const U32 count = mem.DumpToBuffer(text.data(), static_cast<U32>(text.size()), false, 0);
    EXPECT_EQ(count, mem.GetStoredLength());
    return std::string(text.data(), count);
}

std::string Dumped(const DoutBase& output)
{
    DoutCapture capture;
    output.Dump(&capture);
    return capture.m_text;
}

// ---------------------------------------------------------------------------------------
// DoutMem

TEST_F(MsgMemTest, RingKeepsTheMostRecentText)
{
    struct Case
    {
        U32 size;
        std::vector<const char*> prints;
        const char* stored;
        U32 start;
        U32 writePos;
        bool wrapped;
    };
    const Case cases[] = {
        {16, {"abcdefghij", "abcdefghij"}, "efghijabcdefghij", 4, 4, true},
        {16, {"abcdefghij", "klmnop"}, "abcdefghijklmnop", 0, 0, true}, // exactly fills the rest
        {16, {"abc", "def"}, "abcdef", 0, 6, false},
        {8, {"0123456789"}, "01234567", 0, 0, true}, // longer than the buffer: its first 8 characters
        {8, {"abcdef", "0123456789"}, "01234567", 6, 6, true},
        {16, {"abcdefghij", "klmnopqrstuvwxyz", "12"}, "mnopqrstuvwxyz12", 12, 12, true},
    };
    for (const Case& c : cases)
    {
        alignas(8) U8 memory[16];
        DoutMem mem("Ring", memory, c.size);
        for (const char* text : c.prints)
            mem.Print(text);
        EXPECT_EQ(Stored(mem), c.stored);
        EXPECT_EQ(mem.GetStart(), c.start) << c.stored;
        EXPECT_EQ(mem.GetWritePosition(), c.writePos) << c.stored;
        EXPECT_EQ(mem.IsFull(), c.wrapped) << c.stored;
        EXPECT_FALSE(mem.IsEmpty());
    }
}

TEST_F(MsgMemTest, DisabledOutputIgnoresPrintsAndClear)
{
    alignas(8) U8 memory[32];
    DoutMem mem("Mem", memory, sizeof(memory));
    mem.Print("kept");
    mem.SetEnabled(false);
    mem.Print("dropped");
    mem.Indent(3);
    mem.Clear();
    EXPECT_EQ(Stored(mem), "kept");
    mem.SetEnabled(true);
    mem.Indent(2);
    mem.Indent(0);
    EXPECT_EQ(Stored(mem), "kept    ");
    mem.Clear();
    EXPECT_EQ(mem.GetStoredLength(), 0u);
    EXPECT_FALSE(mem.IsFull());
}

TEST_F(MsgMemTest, DumpsStartOnAWholeLineOnceWrapped)
{
    alignas(8) U8 memory[40];
    DoutMem mem("Lines", memory, sizeof(memory));
    for (int i = 0; i < 9; ++i)
    {
        char line[16];
        snprintf(line, sizeof(line), "line %d\n", i); // 7 bytes each
        mem.Print(line);
    }
    // 63 bytes went in; the last 40 are "e 3\n" ... "line 8\n" preceded by a cut-off line.
    EXPECT_EQ(Stored(mem), "ne 3\nline 4\nline 5\nline 6\nline 7\nline 8\n");
    EXPECT_EQ(Dumped(mem), "line 4\nline 5\nline 6\nline 7\nline 8\n");

    char buffer[64];
    EXPECT_EQ(mem.DumpToBuffer(buffer, sizeof(buffer), true, 0), 35u);
    EXPECT_STREQ(buffer, "line 4\nline 5\nline 6\nline 7\nline 8\n");
    // The offset counts from the first whole line; the result is always terminated.
    EXPECT_EQ(mem.DumpToBuffer(buffer, 10, true, 7), 9u);
    EXPECT_STREQ(buffer, "line 5\nli");
    EXPECT_EQ(mem.DumpToBuffer(buffer, sizeof(buffer), true, 100), 0u);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(mem.DumpToBuffer(buffer, 0, true, 0), 0u);

    DoutCapture capture;
    mem.DumpWithOffset(&capture, 33);
    EXPECT_EQ(capture.m_text, "line 8\n");
}

TEST_F(MsgMemTest, LongDumpsGoOutInChunksOfScopedTemporaryMemory)
{
    std::vector<U64> memory(128); // 1 KiB
    DoutMem mem("Big", memory.data(), 1024);
    std::string text;
    for (int i = 0; i < 1000; ++i)
        text += static_cast<char>('a' + i % 26);
    mem.Print(text.c_str());
    DoutCapture capture;
    mem.Dump(&capture);
    EXPECT_EQ(capture.m_text, text);
    EXPECT_EQ(capture.m_printCount, 4); // 255 + 255 + 255 + 235
}

TEST_F(MsgMemTest, WorksAsAChannelOutput)
{
    alignas(8) U8 memory[64];
    DoutMem mem("Channel", memory, sizeof(memory));
    InitMsgOutputs();
    SetMsgOutput(5, &mem);
    PrintToMsgOutput(5, "x=%d;", 42);
    PrintErrorToMsgOutput(5, "bad");
    EXPECT_EQ(Stored(mem), "x=42;\x1b[0;31mERROR: bad\x1b[m");
    SetMsgOutput(5, nullptr);
}

TEST_F(MsgMemTest, BuffersMustBeEightByteAligned)
{
    alignas(8) U8 memory[32];
    EXPECT_DEATH(DoutMem("Odd", memory + 4, 16), "IsPointerAligned\\(pMem, kAlign8\\)");
    DoutMem mem;
    EXPECT_STREQ(mem.GetName(), "");
    mem.Print("nowhere to go");
    EXPECT_EQ(mem.GetStoredLength(), 0u);
    EXPECT_DEATH(mem.SetBuffer(memory + 4, 16), "IsPointerAligned\\(pMem, kAlign8\\)");
    EXPECT_DEATH(mem.SetBuffer(memory, 12), "IsSizeAligned\\(memSize, kAlign8\\)");
    mem.SetBuffer(memory, 16);
    mem.Print("now");
    EXPECT_EQ(Stored(mem), "now");
}

// ---------------------------------------------------------------------------------------
// History

TEST_F(MsgMemTest, HistoryNeedsTheDevelopmentAllocator)
{
    InitHistory();
    EXPECT_EQ(GetHistoryOutput(), nullptr);
    char buffer[16] = "untouched";
    EXPECT_EQ(CopyHistory(buffer, sizeof(buffer)), 0u);
    EXPECT_STREQ(buffer, "untouched");

    std::vector<U64> devMemory((kHistorySize + 4096) / sizeof(U64));
    HeapAllocator dev("DevCpu");
    dev.Init(devMemory.data(), devMemory.size() * sizeof(U64));
    Memory::RegisterAllocator(Memory::kAllocDevCpu, &dev);
    InitHistory();
    DoutMem* pHistory = GetHistoryOutput();
    ASSERT_NE(pHistory, nullptr);
    InitHistory(); // keeps the one it has
    EXPECT_EQ(GetHistoryOutput(), pHistory);
    EXPECT_STREQ(pHistory->GetName(), "History");
    EXPECT_EQ(pHistory->GetBufferSize(), kHistorySize);
    EXPECT_TRUE(dev.IsValidPtr(pHistory));

    pHistory->Print("first line\nsecond line\n");
    EXPECT_EQ(CopyHistory(buffer, sizeof(buffer)), 15u);
    EXPECT_STREQ(buffer, "first line\nseco");
    EXPECT_EQ(CopyHistory(buffer, 0), 0u);

    ShutdownHistory();
    EXPECT_EQ(GetHistoryOutput(), nullptr);
    Memory::RegisterAllocator(Memory::kAllocDevCpu, nullptr);
}

// ---------------------------------------------------------------------------------------
// DoutMemConsole

TEST_F(MsgMemTest, PrintsOfOneTagShareAnEntry)
{
    alignas(8) U8 memory[256];
    DoutMemConsole console("Console", memory, sizeof(memory));
    EXPECT_TRUE(console.IsEmpty());
    SetMsgTag(7);
    console.Print("abc");
    console.Print("de");
    EXPECT_EQ(console.GetUsedSize(), 10u + 5u);
    SetMsgTag(9);
    console.Print("xyz");
    EXPECT_EQ(console.GetUsedSize(), 15u + 10u + 3u);
    SetMsgTag(7);
    console.Print("f");
    EXPECT_EQ(console.GetUsedSize(), 28u + 10u + 1u);
    EXPECT_FALSE(console.IsEmpty());

    // The header: length (U16) then tag (U64), then the text.
    U16 length;
    U64 tag;
    std::memcpy(&length, memory, 2);
    std::memcpy(&tag, memory + 2, 8);
    EXPECT_EQ(length, 5u);
    EXPECT_EQ(tag, 7u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(memory) + 10, 5), "abcde");
}

TEST_F(MsgMemTest, DumpsGroupByTagLargerTagsFirst)
{
    alignas(8) U8 memory[512];
    DoutMemConsole console("Console", memory, sizeof(memory));
    InitMsgOutputs();
    SetMsgOutput(6, &console);
    SetActiveMsgOutput(6);
    PrintToActiveMsgOutput(1, "one-a ");
    PrintToActiveMsgOutput(5, "five-a ");
    PrintToActiveMsgOutput(1, "one-b ");
    PrintToActiveMsgOutput(3, "three ");
    PrintToActiveMsgOutput(5, "five-b ");
    PrintToActiveMsgOutput(1, "one-c");
    const char* expected = "five-a five-b three one-a one-b one-c";
    EXPECT_EQ(Dumped(console), expected);

    char buffer[64];
    EXPECT_EQ(console.DumpToBuffer(buffer, sizeof(buffer), true, 0), strlen(expected));
    EXPECT_STREQ(buffer, expected);
    // Cut to the room: the count is the length of the terminated text.
    EXPECT_EQ(console.DumpToBuffer(buffer, 10, true, 0), 9u);
    EXPECT_STREQ(buffer, "five-a fi");
    SetMsgOutput(6, nullptr);
    SetActiveMsgOutput(0);
}

TEST_F(MsgMemTest, AFullConsoleCutsAndThenIgnoresText)
{
    alignas(8) U8 memory[40];
    DoutMemConsole console("Small", memory, sizeof(memory));
    SetMsgTag(1);
    console.Print("0123456789"); // 20 used
    SetMsgTag(2);
    console.Print("abcdefghijklmnop"); // 10 + 10 fit of 16
    EXPECT_EQ(console.GetUsedSize(), 40u);
    EXPECT_TRUE(console.IsFull());
    console.Print("more");
    EXPECT_EQ(Dumped(console), "abcdefghij0123456789");

    // With exactly 10 bytes free a new entry would hold no text: full.
    alignas(8) U8 memory2[30];
    DoutMemConsole edge("Edge", memory2, sizeof(memory2));
    SetMsgTag(1);
    edge.Print("0123456789");
    EXPECT_TRUE(edge.IsFull());
    EXPECT_FALSE(edge.IsEmpty());
}

TEST_F(MsgMemTest, ClearEmptiesOnlyWhileEnabled)
{
    alignas(8) U8 memory[64];
    DoutMemConsole console("Console", memory, sizeof(memory));
    console.Print("text");
    console.SetEnabled(false);
    console.Print("dropped");
    console.Clear();
    EXPECT_EQ(Dumped(console), "text");
    console.SetEnabled(true);
    console.Indent(2);
    EXPECT_EQ(Dumped(console), "text    ");
    console.Clear();
    EXPECT_TRUE(console.IsEmpty());
    EXPECT_EQ(Dumped(console), "");
}

TEST_F(MsgMemTest, ReplaceRawBufferTakesEntriesCopiedFromAnotherConsole)
{
    alignas(8) U8 source[128];
    DoutMemConsole from("From", source, sizeof(source));
    SetMsgTag(2);
    from.Print("two ");
    SetMsgTag(4);
    from.Print("four ");

    alignas(8) U8 target[128];
    DoutMemConsole to("To", target, sizeof(target));
    to.SetEnabled(false);
    to.ReplaceRawBuffer(reinterpret_cast<const char*>(from.GetRawBuffer()),
                        static_cast<int>(from.GetUsedSize()));
    EXPECT_FALSE(to.IsEnabled()); // the flag was forced on only to empty the buffer
    to.SetEnabled(true);
    EXPECT_EQ(Dumped(to), "four two ");
    // A print of the last entry's tag extends that entry.
    to.Print("more");
    EXPECT_EQ(to.GetUsedSize(), from.GetUsedSize() + 4);
    EXPECT_EQ(Dumped(to), "four moretwo ");

    // The text must be whole entries: a header whose text is cut off is refused.
    const char cutOff[12] = {5, 0, 4, 0, 0, 0, 0, 0, 0, 0, 'x', 'y'};
    EXPECT_DEATH(to.ReplaceRawBuffer(cutOff, sizeof(cutOff)), "offset == bufSize");
    EXPECT_DEATH(to.ReplaceRawBuffer(cutOff, 200), "bufSize <= m_bufLen");
    EXPECT_DEATH(to.ReplaceRawBuffer(cutOff, -1), "bufSize <= m_bufLen");
    to.ReplaceRawBuffer(cutOff, 0);
    EXPECT_TRUE(to.IsEmpty());
}

TEST_F(MsgMemTest, ConsoleCapacityStaysBelow64KiB)
{
    DoutMemConsole console("Console");
    std::vector<U8> memory(65536);
    console.Print("no buffer yet");
    EXPECT_TRUE(console.IsEmpty());
    EXPECT_DEATH(console.SetBuffer(memory.data(), 65536), "\\(memSize & 0xffff0000\\) == 0");
    console.SetBuffer(memory.data(), 65535);
    EXPECT_EQ(console.GetBufferSize(), 65535u);
}

TEST_F(MsgMemTest, DumpPrintsLongEntriesInPiecesWhenScopedMemoryIsShort)
{
    StopSystem();
    StartSystem(4 * 1024, 4); // 1 KiB blocks, smaller than the console
    std::vector<U8> memory(4096);
    DoutMemConsole console("Long", memory.data(), 4096);
    std::string text(3000, 'q');
    text[2999] = 'z';
    console.Print(text.c_str());
    DoutCapture capture;
    console.Dump(&capture);
    EXPECT_EQ(capture.m_text, text);
    EXPECT_GT(capture.m_printCount, 1);
}

TEST_F(MsgMemTest, DumpsKeepTheirOrderWhenTheEntryListDoesNotFitScopedMemory)
{
    // 900 entries need a 14,400-byte list, far more than a scoped block here: the dump
    // walks the buffer once per tag instead, in the same order.
    std::vector<U8> memory(60000);
    DoutMemConsole console("Many", memory.data(), 60000);
    std::string expected[3];
    for (int i = 0; i < 900; ++i)
    {
        const U64 tag = static_cast<U64>(i % 3);
        SetMsgTag(tag);
        char line[16];
        snprintf(line, sizeof(line), "%d\n", i);
        console.Print(line);
        expected[tag] += line;
    }
    SetMsgTag(0);
    const std::string all = expected[2] + expected[1] + expected[0];
    EXPECT_EQ(Dumped(console), all);
    std::vector<char> buffer(all.size() + 1);
    EXPECT_EQ(console.DumpToBuffer(buffer.data(), static_cast<U32>(buffer.size()), true, 0), all.size());
    EXPECT_EQ(std::string(buffer.data()), all);
}

TEST_F(MsgMemTest, ConcurrentPrintersKeepTheirTextWhole)
{
    std::vector<U8> memory(60000);
    DoutMemConsole console("Shared", memory.data(), 60000);
    constexpr int kThreads = 4;
    constexpr int kLines = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
    {
        threads.emplace_back(
            [&console, t]
            {
                SetMsgTag(static_cast<U64>(t + 1));
                for (int i = 0; i < kLines; ++i)
                {
                    char line[16];
                    snprintf(line, sizeof(line), "%d:%03d\n", t, i);
                    console.Print(line);
                }
            });
    }
    for (std::thread& thread : threads)
        thread.join();
    // Grouped by tag, each thread's lines come out complete and in order.
    std::string expected;
    for (int t = kThreads - 1; t >= 0; --t)
    {
        for (int i = 0; i < kLines; ++i)
        {
            char line[16];
            snprintf(line, sizeof(line), "%d:%03d\n", t, i);
            expected += line;
        }
    }
    EXPECT_EQ(Dumped(console), expected);
}
} // namespace
