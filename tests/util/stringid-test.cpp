// String identifiers: hashing with bases and suffixes, the start-up table and its move
// into the cache, the cache with its reset, lookups through the callback, and the
// to-string forms.
#include "corelib/util/stringid.h"

#include "corelib/memory/alloc-stack.h"
#include "corelib/memory/allocator-heap.h"
#include "corelib/memory/memory-map.h"
#include "corelib/util/msg.h"
#include "corelib/util/stringid-cache.h"
#include "tests/support/test-support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace
{
constexpr U32 kSidMapId = 0x3A;

// Host set-up for the cache: development memory, single-frame memory, an allocator stack
// and a memory map whose entry 0x3A sizes the cache block.
class StringIdTest : public testing::Test
{
protected:
    void SetUp() override
    {
        StringIdShutdown();
        Memory::g_pMemoryMap = nullptr;
        const Memory::MemoryMapEntry map[] = {
            {kSidMapId, Memory::kAllocDevCpu, 64 * 1024, kAlign16, "SIDs"},
            {0, Memory::kAllocInvalid, 0, kAlign8, nullptr},
        };
        Memory::SetMemoryMap(map, nullptr);
        Memory::InitializeThreadAllocStack();
        m_dev.Init(m_devMemory.data(), m_devMemory.size());
        m_frame.Init(m_frameMemory.data(), m_frameMemory.size());
        Memory::RegisterAllocator(Memory::kAllocDevCpu, &m_dev);
        Memory::RegisterAllocator(Memory::kAllocSingleGameFrame, &m_frame);
        SetMsgOutput(kMsgChannelInfo, &m_capture);
        SetActiveMsgOutput(kMsgChannelInfo);
    }

    void TearDown() override
    {
        StringIdShutdown();
        SetStringIdLookupSuppressed(false);
        SetMsgOutput(kMsgChannelInfo, nullptr);
        Memory::RegisterAllocator(Memory::kAllocDevCpu, nullptr);
        Memory::RegisterAllocator(Memory::kAllocSingleGameFrame, nullptr);
        Memory::FreeThreadAllocStack();
        Memory::g_pMemoryMap = nullptr;
    }

    std::vector<U8> m_devMemory = std::vector<U8>(256 * 1024);
    std::vector<U8> m_frameMemory = std::vector<U8>(64 * 1024);
    HeapAllocator m_dev{"TestDevCpu"};
    HeapAllocator m_frame{"TestFrame"};
    DoutCapture m_capture;
};

// "#" and 16 lower-case hex digits of the value.
std::string HexForm(StringId64 id)
{
    char text[32];
    std::snprintf(text, sizeof(text), "#%.16llx", static_cast<unsigned long long>(id.GetValue()));
    return text;
}

// Resolves ids of the form "callback-<n>" for n below 100 by writing into the buffer.
const char* NumberedCallback(StringId64 id, char* buffer, int size, bool)
{
    for (int n = 0; n < 100; ++n)
    {
        char text[32];
        std::snprintf(text, sizeof(text), "callback-%d", n);
        if (StringId64(text) == id)
        {
            std::snprintf(buffer, static_cast<size_t>(size), "%s", text);
            return buffer;
        }
    }
    return nullptr;
}

TEST(StringIdHashTest, HashingWithBasesAndSuffixes)
{
    const StringId64 abc("abc");
    struct Case
    {
        const char* what;
        StringId64 actual;
        U64 expected;
    };
    const Case cases[] = {
        {"empty text", StringId64(kInvalidStringId64, "", false), 0xCBF29CE484222325ull},
        {"published vector 'a'", StringId64("a"), 0xAF63DC4C8601EC8Cull},
        {"published vector 'foobar'", StringId64("foobar"), 0x85944171F73967E8ull},
        {"null text keeps the base", StringId64(abc, static_cast<const char*>(nullptr), false),
         abc.GetValue()},
        {"null text without base", StringId64(kInvalidStringId64, nullptr, false), 0},
        {"base plus text", StringId64(abc, "def", false), StringId64("abcdef").GetValue()},
        {"signed suffix", StringId64(StringId64("item"), 42, false), StringId64("item42").GetValue()},
        {"negative suffix", StringId64(StringId64("item"), -7, false), StringId64("item-7").GetValue()},
        {"unsigned suffix", StringId64(StringId64("n"), 4000000000u, false),
         StringId64("n4000000000").GetValue()},
        {"suffix without base", StringId64(kInvalidStringId64, 12, false), StringId64("12").GetValue()},
        {"bytes", StringId64::FromBytes(abc, 3, "def"), StringId64("abcdef").GetValue()},
        {"bytes with embedded zero", StringId64::FromBytes(kInvalidStringId64, 2, "a\0b"),
         Fnv1aHash64("a\0", 2, kFnv64OffsetBasis)},
        {"null bytes keep the base", StringId64::FromBytes(abc, 5, nullptr), abc.GetValue()},
        {"zero length keeps the base", StringId64::FromBytes(abc, 0, "x"), abc.GetValue()},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.actual.GetValue(), c.expected) << c.what;
    static_assert(StringId64("abc").GetValue() == Fnv1aHashText64("abc", kFnv64OffsetBasis));
}

TEST(StringIdHashTest, MatchesAllocatorNameIds)
{
    HeapAllocator allocator("Frame Memory");
    EXPECT_EQ(allocator.GetNameId(), StringId64("Frame Memory").GetValue());
    allocator.SetName(nullptr);
    EXPECT_EQ(allocator.GetNameId(), StringId64(static_cast<const char*>(nullptr)).GetValue());
}

TEST_F(StringIdTest, ToStringForms)
{
    StringIdInit(0.0f, nullptr);
    const StringId64 unknown("never remembered");
    EXPECT_STREQ(StringIdToString(kInvalidStringId64), "(INVALID_STRING_ID_64)");
    EXPECT_EQ(StringIdToString(unknown), HexForm(unknown));
    EXPECT_EQ(StringIdToString(unknown, Memory::kAllocDevCpu), HexForm(unknown));
    EXPECT_STREQ(StringIdLookup(kInvalidStringId64, false, Memory::kAllocSingleFrame, false), "(null)");
    EXPECT_EQ(StringIdLookup(kInvalidStringId64, true, Memory::kAllocSingleFrame, false), nullptr);
    EXPECT_STREQ(StringIdLookup(unknown, false, Memory::kAllocSingleFrame, false), "(#f)");
    EXPECT_EQ(StringIdLookup(unknown, true, Memory::kAllocSingleFrame, false), nullptr);

    const StringId64 known(kInvalidStringId64, "known name", true);
    EXPECT_STREQ(StringIdToString(known), "known name");
}

TEST_F(StringIdTest, RememberedTextsAreCachedWithTheirBase)
{
    StringIdInit(0.0f, nullptr);
    const StringId64 base(kInvalidStringId64, "player/", true);
    const StringId64 child(base, "weapon", true);
    const StringId64 numbered(base, 3, true);
    EXPECT_STREQ(StringIdToString(base), "player/");
    EXPECT_STREQ(StringIdToString(child), "player/weapon");
    EXPECT_STREQ(StringIdToString(numbered), "player/3");
    EXPECT_EQ(child, StringId64("player/weapon"));

    // Building without remember touches nothing; lookups are counted.
    const U64 cached = GetLocalSidCacheCount();
    const StringId64 silent(base, "silent", false);
    EXPECT_EQ(GetLocalSidCacheCount(), cached);
    const U32 lookups = GetStringIdLookupCount();
    StringIdToString(silent);
    StringIdToString(kInvalidStringId64);
    EXPECT_EQ(GetStringIdLookupCount(), lookups + 1);
}

TEST_F(StringIdTest, StartupTableMovesIntoTheCache)
{
    const StringId64 early(kInvalidStringId64, "early", true);
    const StringId64 earlyChild(early, "/child", true);
    const StringId64 orphan(StringId64(0x1234), "orphan", true);
    EXPECT_FALSE(IsLocalSidCacheReady());
    EXPECT_STREQ(StringIdLookup(early, false, Memory::kAllocSingleFrame, false), "(#f)");

    StringIdInit(0.0f, nullptr);
    ASSERT_TRUE(IsLocalSidCacheReady());
    EXPECT_STREQ(StringIdToString(early), "early");
    EXPECT_STREQ(StringIdToString(earlyChild), "early/child");
    // A base without text leaves only the suffix, under its own identifier.
    EXPECT_STREQ(StringIdToString(StringId64("orphan")), "orphan");
    EXPECT_EQ(StringIdToString(orphan), HexForm(orphan));
}

TEST_F(StringIdTest, StartupTableKeepsWhatFits)
{
    // 512 entries at most; the 513th text is not remembered.
    std::vector<StringId64> ids;
    for (int i = 0; i < 513; ++i)
        ids.push_back(StringId64(kInvalidStringId64, i, true));
    StringIdInit(0.0f, nullptr);
    EXPECT_STREQ(StringIdToString(ids[511]), "511");
    EXPECT_EQ(StringIdToString(ids[512]), HexForm(ids[512]));
}

TEST_F(StringIdTest, FullCacheResetsOnceAndKeepsTheNewText)
{
    // 2 KiB of SID memory: about 30 nodes and a small text heap.
    Memory::ModifyMemoryMap(kSidMapId, 2048);
    StringIdInit(0.0f, nullptr);
    ASSERT_TRUE(IsLocalSidCacheReady());
    int added = 0;
    LockLocalSidCache();
    while (!IsLocalSidCacheFull() && added < 1000)
    {
        char text[32];
        std::snprintf(text, sizeof(text), "entry-%d", added++);
        ASSERT_NE(AddStringToLocalSidCache_NoLock(StringId64(text), text), nullptr);
    }
    UnlockLocalSidCache();
    ASSERT_GT(added, 5);
    ASSERT_LT(added, 1000);
    EXPECT_EQ(m_capture.m_text.find("Resetting"), std::string::npos);

    const StringId64 last(kInvalidStringId64, "the newest text", true);
    EXPECT_EQ(GetLocalSidCacheCount(), 1u);
    EXPECT_STREQ(StringIdToString(last), "the newest text");
    EXPECT_EQ(StringIdToString(StringId64("entry-0")), HexForm(StringId64("entry-0")));
    const std::string message = "StringId Cache is full! Resetting...\n";
    const size_t at = m_capture.m_text.find(message);
    ASSERT_NE(at, std::string::npos) << m_capture.m_text;
    EXPECT_EQ(m_capture.m_text.find(message, at + 1), std::string::npos);
}

TEST_F(StringIdTest, EmptyTextsAndTextsThatNeverFit)
{
    StringIdInit(0.0f, nullptr);
    LockLocalSidCache();
    EXPECT_STREQ(AddStringToLocalSidCache_NoLock(StringId64(1), ""), "");
    EXPECT_STREQ(AddStringToLocalSidCache_NoLock(StringId64(1), nullptr), "");
    const std::string huge(128 * 1024, 'x');
    EXPECT_EQ(AddStringToLocalSidCache_NoLock(StringId64(2), huge.c_str()), nullptr);
    EXPECT_EQ(LookupSidInLocalCache_NoLock(StringId64(2)), nullptr);
    UnlockLocalSidCache();
}

TEST_F(StringIdTest, CallbackResolvesAndFillsTheCache)
{
    StringIdInit(0.0f, NumberedCallback);
    const StringId64 id("callback-7");
    EXPECT_EQ(GetLocalSidCacheCount(), 0u);
    EXPECT_STREQ(StringIdToString(id), "callback-7");
    EXPECT_EQ(GetLocalSidCacheCount(), 1u);
    LockLocalSidCache();
    EXPECT_STREQ(LookupSidInLocalCache_NoLock(id), "callback-7");
    UnlockLocalSidCache();

    // Suppressed, the callback is not asked.
    SetStringIdLookupSuppressed(true);
    EXPECT_EQ(StringIdToString(StringId64("callback-8")), HexForm(StringId64("callback-8")));
    SetStringIdLookupSuppressed(false);
    EXPECT_STREQ(StringIdToString(StringId64("callback-8")), "callback-8");

    // A remembered child of a text only the callback knows.
    const StringId64 child(StringId64("callback-9"), ".part", true);
    EXPECT_STREQ(StringIdToString(child), "callback-9.part");
}

TEST_F(StringIdTest, CallbackTextGoesToTemporaryMemoryWithoutACache)
{
    Memory::RegisterAllocator(Memory::kAllocDevCpu, nullptr); // the memory system is not ready
    StringIdInit(0.0f, NumberedCallback);
    EXPECT_FALSE(IsLocalSidCacheReady());
    const char* text = StringIdLookup(StringId64("callback-3"), true, Memory::kAllocSingleFrame, false);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "callback-3");
    EXPECT_TRUE(m_frame.IsValidPtr(text));
    // Unknown ids in development memory that is not ready cannot be formatted there.
    EXPECT_STREQ(StringIdToString(StringId64("unknown"), Memory::kAllocDevCpu), "#????????????????");
    EXPECT_EQ(StringIdToString(StringId64("unknown")), HexForm(StringId64("unknown")));
}

TEST_F(StringIdTest, FailedBlockLeavesTheCacheUnavailable)
{
    Memory::ModifyMemoryMap(kSidMapId, 1024 * 1024); // more than the development memory holds
    m_dev.SetAssertOnFailure(false);
    m_dev.GetArena().SetQuiet(true);
    StringIdInit(2.5f, nullptr);
    EXPECT_FALSE(IsLocalSidCacheReady());
    EXPECT_FLOAT_EQ(GetStringIdCacheSetting(), 2.5f);
    EXPECT_NE(m_capture.m_text.find(
                  " !!! Failed to allocate 1048576 bytes for SIDs - local cache unavailable !!!\n"),
              std::string::npos);
    EXPECT_NE(m_capture.m_text.find("Failed to allocate 1048576 bytes for SIDs\n"), std::string::npos);
    // Remembered texts wait in the start-up table for a later StringIdInit.
    const StringId64 waiting(kInvalidStringId64, "waiting", true);
    StringIdShutdown();
    Memory::ModifyMemoryMap(kSidMapId, 64 * 1024);
    StringIdInit(0.0f, nullptr);
    EXPECT_STREQ(StringIdToString(waiting), "waiting");
}

TEST_F(StringIdTest, ConcurrentRememberAndLookup)
{
    StringIdInit(0.0f, nullptr);
    const StringId64 base(kInvalidStringId64, "thread/", true);
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t)
    {
        threads.emplace_back(
            [t, base, &failures]
            {
                for (int i = 0; i < 100; ++i)
                {
                    const StringId64 id(base, t * 1000 + i, true);
                    char expected[32];
                    std::snprintf(expected, sizeof(expected), "thread/%d", t * 1000 + i);
                    const char* text = StringIdLookup(id, true, Memory::kAllocInvalid, false);
                    if (!text || std::strcmp(text, expected) != 0)
                        ++failures[t];
                }
            });
    }
    for (std::thread& thread : threads)
        thread.join();
    for (int t = 0; t < 4; ++t)
        EXPECT_EQ(failures[t], 0) << "thread " << t;
}

TEST_F(StringIdTest, NoLockOperationsRequireTheLock)
{
    StringIdInit(0.0f, nullptr);
    EXPECT_DEATH(AddStringToLocalSidCache_NoLock(StringId64("x"), "x"),
                 "s_stringIdSys.m_sidCacheLock.IsLocked\\(\\)");
    EXPECT_DEATH(LookupSidInLocalCache_NoLock(StringId64("x")),
                 "s_stringIdSys.m_sidCacheLock.IsLocked\\(\\)");
}
} // namespace
