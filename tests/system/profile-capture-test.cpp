#include "corelib/system/platform/thread.h"
#include "corelib/system/profile-capture-reader.h"
#include "corelib/system/profile-capture.h"
#include "corelib/system/timing.h"

#include "tests/job/job-malloc-hooks.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace
{
// Events written word by word, as the markers write them (names in 8-byte words).
struct HandBlock
{
    std::vector<U64> m_words;

    HandBlock& Begin(U64 time, const char* name, U32 color = 0xFF112233)
    {
        m_words.push_back((time << kProfileEventTimeShift) | kProfileEventBeginNoArgs);
        m_words.push_back(color);
        m_words.push_back(kProfileEventString8);
        const U64 length = std::strlen(name) + 1;
        for (U64 at = 0; at < length; at += 8)
        {
            U64 word = 0;
            std::memcpy(&word, name + at, length - at < 8 ? length - at : 8);
            m_words.push_back(word);
        }
        return *this;
    }
    HandBlock& End(U64 time)
    {
        m_words.push_back(time << kProfileEventTimeShift);
        return *this;
    }
    ProfileEventSpan Span()
    {
        m_words.push_back(kProfileEventEndOfBlock);
        return {m_words.data(), m_words.data() + m_words.size()};
    }
};

struct Expected
{
    const char* m_name;
    U64 m_begin;
    U64 m_end;
    U32 m_depth;
};

void ExpectRegions(const std::vector<ProfileRegion>& regions, std::initializer_list<Expected> expected)
{
    ASSERT_EQ(regions.size(), expected.size());
    U64 i = 0;
    for (const Expected& e : expected)
    {
        SCOPED_TRACE(i);
        EXPECT_EQ(regions[i].m_name, e.m_name);
        EXPECT_EQ(regions[i].m_begin, e.m_begin);
        EXPECT_EQ(regions[i].m_end, e.m_end);
        EXPECT_EQ(regions[i].m_depth, e.m_depth);
        ++i;
    }
}

std::vector<ProfileRegion> Read(std::vector<ProfileEventSpan> spans, U64 start = 0, U64 stop = 1000)
{
    return ReadProfileEventSpans(spans.data(), spans.size(), start, stop);
}

const ProfileThreadRegions* ThreadOf(const std::vector<ProfileThreadRegions>& threads, U32 threadId)
{
    for (const ProfileThreadRegions& thread : threads)
        if (thread.m_threadId == threadId)
            return &thread;
    return nullptr;
}
} // namespace

TEST(ProfileCaptureReader, PairsEachEndWithItsBegin)
{
    HandBlock block;
    block.Begin(10, "Cloth").Begin(11, "Integrate").End(20).Begin(21, "Constraints").Begin(22, "Waiting");
    block.End(25).End(30).End(31).Begin(40, "Audio mix", 0xFF00FF00).End(50);
    std::vector<ProfileRegion> regions = Read({block.Span()});
    ExpectRegions(regions, {{"Cloth", 10, 31, 0},
                            {"Integrate", 11, 20, 1},
                            {"Constraints", 21, 30, 1},
                            {"Waiting", 22, 25, 2},
                            {"Audio mix", 40, 50, 0}});
    EXPECT_EQ(regions[4].m_color, 0xFF00FF00u);
    EXPECT_FALSE(regions[0].m_openAtStart || regions[0].m_openAtStop);
}

// The job's region closes at the suspension on one thread and opens again where it
// resumes; its steps stay inside the stretch they ran in.
TEST(ProfileCaptureReader, JobResumedOnAnotherThreadKeepsItsSteps)
{
    HandBlock first;
    first.Begin(10, "SolveCloth").Begin(11, "Pass 1").End(15).End(16);
    first.Begin(17, "Other job").End(30);
    HandBlock second;
    second.Begin(5, "Idle job").End(8).Begin(40, "SolveCloth").Begin(41, "Pass 2").End(45).End(46);
    ExpectRegions(Read({first.Span()}),
                  {{"SolveCloth", 10, 16, 0}, {"Pass 1", 11, 15, 1}, {"Other job", 17, 30, 0}});
    ExpectRegions(Read({second.Span()}),
                  {{"Idle job", 5, 8, 0}, {"SolveCloth", 40, 46, 0}, {"Pass 2", 41, 45, 1}});
}

// A block replaced in the middle of a region: the region begins in one block and ends in
// the next; a name longer than the block's end is cut short there.
TEST(ProfileCaptureReader, RegionsContinueAcrossReplacedBlocks)
{
    HandBlock full;
    full.Begin(10, "Outer").Begin(11, "Spans two blocks");
    HandBlock next;
    next.End(20).End(21);
    HandBlock cut;
    cut.Begin(30, "A name that does not fit").End(31);
    ProfileEventSpan cutSpan = cut.Span();
    cutSpan.m_pEnd = cutSpan.m_pEvents + 5; // header, colour, marker, two name words
    ExpectRegions(Read({full.Span(), next.Span(), cutSpan}),
                  {{"Outer", 10, 21, 0}, {"Spans two blocks", 11, 20, 1}, {"A name that does", 30, 1000, 0}});
}

// Started inside two regions and stopped inside one: the regions open at the start
// enclose what came before their ends.
TEST(ProfileCaptureReader, CaptureCutWithRegionsOpen)
{
    HandBlock block;
    block.Begin(10, "Step").End(12).End(15).Begin(16, "Later").End(17).End(20).Begin(30, "Unfinished");
    std::vector<ProfileRegion> regions = Read({block.Span()}, 5, 40);
    ExpectRegions(regions, {{"", 5, 20, 0},
                            {"", 5, 15, 1},
                            {"Step", 10, 12, 2},
                            {"Later", 16, 17, 1},
                            {"Unfinished", 30, 40, 0}});
    EXPECT_TRUE(regions[0].m_openAtStart && regions[1].m_openAtStart);
    EXPECT_TRUE(regions[4].m_openAtStop);
}

TEST(ProfileCapture, ThreadsThatJoinWriteIntoTheCaptureAndLetGoAfterTheStop)
{
    std::vector<U64> buffer(8 * kProfileCaptureBlockWords);
    ASSERT_FALSE(JoinProfileCapture()); // nothing to join
    ASSERT_TRUE(StartProfileCapture(buffer.data(), buffer.size() * sizeof(U64)));
    EXPECT_FALSE(StartProfileCapture(buffer.data(), buffer.size() * sizeof(U64)));
    ASSERT_TRUE(JoinProfileCapture());
    BeginProfileEvent(0xFF0000FF, "Host frame");

    std::atomic<bool> joined{false};
    std::atomic<U32> otherId{0};
    std::thread other(
        [&]
        {
            otherId = oxsys::CurrentThreadId();
            joined = JoinProfileCapture();
            for (int i = 0; i < 3; ++i)
            {
                BeginProfileEvent("Step");
                EndProfileEvent();
            }
        });
    other.join();
    EndProfileEvent();
    BeginProfileEvent("Open at the stop");
    const ProfileCaptureData* pCapture = StopProfileCapture();
    ASSERT_NE(pCapture, nullptr);
    EXPECT_EQ(GetProfileEventBlock(), nullptr); // the stopping thread let go at once
    EndProfileEvent();                          // no block: nothing written
    EXPECT_EQ(StopProfileCapture(), nullptr);

    ASSERT_TRUE(joined);
    EXPECT_EQ(pCapture->m_numThreads, 2u);
    EXPECT_EQ(pCapture->m_droppedEvents, 0u);
    std::vector<ProfileThreadRegions> threads = ReadProfileCapture(*pCapture);
    const ProfileThreadRegions* pHost = ThreadOf(threads, oxsys::CurrentThreadId());
    const ProfileThreadRegions* pOther = ThreadOf(threads, otherId);
    ASSERT_TRUE(pHost && pOther);
    ASSERT_EQ(pHost->m_regions.size(), 2u);
    EXPECT_EQ(pHost->m_regions[0].m_name, "Host frame");
    EXPECT_EQ(pHost->m_regions[0].m_color, 0xFF0000FFu);
    EXPECT_TRUE(pHost->m_regions[1].m_openAtStop);
    EXPECT_EQ(pHost->m_regions[1].m_end, pCapture->m_stopTime);
    ASSERT_EQ(pOther->m_regions.size(), 3u);
    for (const ProfileRegion& region : pOther->m_regions)
    {
        EXPECT_EQ(region.m_name, "Step");
        EXPECT_LE(pCapture->m_startTime, region.m_begin);
        EXPECT_LE(region.m_begin, region.m_end);
        EXPECT_LE(region.m_end, pCapture->m_stopTime);
    }
}

// Full blocks are replaced from the buffer; once it is used up the events are dropped and
// counted, and what was kept still reads back.
TEST(ProfileCapture, OverfullBufferDropsAndCountsEvents)
{
    std::vector<U64> buffer(2 * kProfileCaptureBlockWords + 7);
    ASSERT_TRUE(StartProfileCapture(buffer.data(), buffer.size() * sizeof(U64)));
    ASSERT_TRUE(JoinProfileCapture());
    constexpr U64 kPairs = 2000; // each pair takes 6 words: about three blocks' worth
    for (U64 i = 0; i < kPairs; ++i)
    {
        BeginProfileEvent("Region");
        EndProfileEvent();
    }
    const ProfileCaptureData* pCapture = StopProfileCapture();
    ASSERT_NE(pCapture, nullptr);
    std::vector<ProfileThreadRegions> threads = ReadProfileCapture(*pCapture);
    ASSERT_EQ(threads.size(), 1u);
    U64 eventsRead = 0;
    for (const ProfileRegion& region : threads[0].m_regions)
        eventsRead += 2 - (region.m_openAtStop ? 1 : 0);
    EXPECT_GT(pCapture->m_droppedEvents, 0u);
    EXPECT_EQ(eventsRead + pCapture->m_droppedEvents, 2 * kPairs);
    EXPECT_EQ(pCapture->m_usedBytes, 2 * kProfileCaptureBlockBytes);
}

TEST(ProfileCapture, RefusesABufferThatCannotHoldABlock)
{
    std::vector<U64> buffer(kProfileCaptureBlockWords);
    EXPECT_FALSE(StartProfileCapture(buffer.data(), kProfileCaptureBlockBytes - 8));
    EXPECT_FALSE(StartProfileCapture(reinterpret_cast<U8*>(buffer.data()) + 4, kProfileCaptureBlockBytes));
    EXPECT_FALSE(StartProfileCapture(nullptr, kProfileCaptureBlockBytes));
    EXPECT_FALSE(StartProfileCapture(U64{16}));
    EXPECT_FALSE(IsProfileCaptureRunning());
}

// A thread still writing when the capture stops: the stop waits for its event, and the
// thread's later markers neither write into the buffer (freed here) nor lose their own block.
TEST(ProfileCapture, StopTakesTheBlocksBackFromBusyThreads)
{
    std::vector<U64> ownWords(64 + kProfileEventBlockSlackWords);
    std::atomic<bool> joined{false};
    std::atomic<U64> busyPairs{0};
    std::atomic<bool> stopped{false};
    std::atomic<U64> afterStop{0};
    auto* pBuffer = new std::vector<U64>(64 * kProfileCaptureBlockWords);
    ASSERT_TRUE(StartProfileCapture(pBuffer->data(), pBuffer->size() * sizeof(U64)));
    ProfileEventBlock own;
    std::thread writer(
        [&]
        {
            own.m_pDestination = ownWords.data();
            own.m_pLimit = ownWords.data() + 64;
            SetProfileEventBlock(&own);
            joined = JoinProfileCapture();
            while (!stopped.load())
            {
                BeginProfileEvent("Busy");
                EndProfileEvent();
                ++busyPairs;
            }
            for (; afterStop < 3; ++afterStop)
            {
                BeginProfileEvent("After");
                EndProfileEvent();
            }
            EXPECT_EQ(GetProfileEventBlock(), &own);
            SetProfileEventBlock(nullptr);
        });
    // At least one region written into the capture before it stops (joining alone leaves
    // the writer free to be preempted before its first marker).
    while (!joined.load() || busyPairs.load() == 0)
        std::this_thread::yield();
    const ProfileCaptureData* pCapture = StopProfileCapture();
    std::vector<ProfileThreadRegions> threads = ReadProfileCapture(*pCapture);
    delete pBuffer;
    stopped = true;
    writer.join();
    ASSERT_EQ(threads.size(), 1u);
    EXPECT_FALSE(threads[0].m_regions.empty());
    for (const ProfileRegion& region : threads[0].m_regions)
        EXPECT_EQ(region.m_name, "Busy");
    // The writer's own block took the markers after the first one that found the capture closed.
    EXPECT_NE(own.m_pDestination, ownWords.data());
}

#if OX_TEST_HAS_MALLOC_HOOKS
TEST(ProfileCapture, CapturingAllocatesNothing)
{
    std::vector<U64> buffer(4 * kProfileCaptureBlockWords);
    __sanitizer_install_malloc_and_free_hooks(jobtest::CountMalloc, jobtest::IgnoreFree);
    jobtest::s_allocations = 0;
    jobtest::s_countingAllocations = true;
    ASSERT_TRUE(StartProfileCapture(buffer.data(), buffer.size() * sizeof(U64)));
    ASSERT_TRUE(JoinProfileCapture());
    for (int i = 0; i < 3000; ++i) // fills more blocks than the buffer has
    {
        BeginProfileEvent("Region");
        EndProfileEvent();
    }
    const ProfileCaptureData* pCapture = StopProfileCapture();
    jobtest::s_countingAllocations = false;
    ASSERT_NE(pCapture, nullptr);
    EXPECT_GT(pCapture->m_droppedEvents, 0u);
    EXPECT_EQ(jobtest::s_allocations.load(), 0u);
}
#endif

// A thread that still holds the block of a stopped capture joins the next one afresh,
// and its events of each capture stay in that capture.
TEST(ProfileCapture, ThreadJoinsOneCaptureAfterAnother)
{
    std::vector<U64> buffer(4 * kProfileCaptureBlockWords);
    std::atomic<int> step{0};
    std::atomic<int> done{0};
    std::vector<std::vector<ProfileThreadRegions>> captures;
    std::thread writer(
        [&]
        {
            for (int capture = 0; capture < 2; ++capture)
            {
                while (step.load() != 2 * capture + 1)
                    std::this_thread::yield();
                EXPECT_TRUE(JoinProfileCapture());
                BeginProfileEvent(capture == 0 ? "First" : "Second");
                EndProfileEvent();
                done = capture + 1;
            }
        });
    for (int capture = 0; capture < 2; ++capture)
    {
        ASSERT_TRUE(StartProfileCapture(buffer.data(), buffer.size() * sizeof(U64)));
        step = 2 * capture + 1;
        while (done.load() != capture + 1)
            std::this_thread::yield();
        captures.push_back(ReadProfileCapture(*StopProfileCapture()));
    }
    writer.join();
    ASSERT_EQ(captures[0].size(), 1u);
    ASSERT_EQ(captures[1].size(), 1u);
    ASSERT_EQ(captures[0][0].m_regions.size(), 1u);
    ASSERT_EQ(captures[1][0].m_regions.size(), 1u);
    EXPECT_EQ(captures[0][0].m_regions[0].m_name, "First");
    EXPECT_EQ(captures[1][0].m_regions[0].m_name, "Second");
}
