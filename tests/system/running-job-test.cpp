// The running-job seam: the answers without a job system, the forwarding to an installed
// table, and the return to the defaults when the table is removed.
#include "corelib/system/running-job.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace
{
// A stand-in job system that records what it was asked.
struct FakeJobSystem
{
    static inline I32 s_lastIndex = -1;
    static inline U64 s_lastIdentifier = 0;
    static inline U64 s_lastValue = 0;
    static inline I32 s_clearedIndex = -1;

    static bool IsWorker() { return true; }
    static U32 Flags() { return 0x48; }
    static bool TryGet(I32 index, U64* pValue)
    {
        s_lastIndex = index;
        *pValue = 0x1000u + static_cast<U64>(index);
        return index != 7;
    }
    static void Set(I32 index, U64 identifier, U64 value)
    {
        s_lastIndex = index;
        s_lastIdentifier = identifier;
        s_lastValue = value;
    }
    static void Clear(I32 index) { s_clearedIndex = index; }
    static bool Describe(char* pName, U64 nameSize, U64* pStackSize)
    {
        snprintf(pName, nameSize, "%s", "FakeJob");
        *pStackSize = 16384;
        return true;
    }

    static constexpr oxsys::RunningJobQueries kQueries = {IsWorker, Flags, TryGet, Set, Clear, Describe};
};

// Installs the fake for one test and always removes it again.
class RunningJobSeamTest : public testing::Test
{
protected:
    void TearDown() override { oxsys::SetRunningJobQueries(nullptr); }
};

// Checks the "no job system" answers, and that the setters reach no table.
void ExpectNoJobSystem()
{
    FakeJobSystem::s_lastIndex = -1;
    FakeJobSystem::s_clearedIndex = -1;
    EXPECT_FALSE(oxsys::IsJobWorkerThread());
    EXPECT_EQ(oxsys::GetRunningJobFlags(), 0u);
    U64 value = 0x5555;
    EXPECT_FALSE(oxsys::TryGetRunningJobLocalStorage(3, &value));
    EXPECT_EQ(value, 0x5555u); // untouched
    oxsys::SetRunningJobLocalStorage(3, 0xD610F2E781858623ull, 42);
    oxsys::ClearRunningJobLocalStorage(4);
    EXPECT_EQ(FakeJobSystem::s_lastIndex, -1);
    EXPECT_EQ(FakeJobSystem::s_clearedIndex, -1);
    char name[16] = "untouched";
    U64 stackSize = 7;
    EXPECT_FALSE(oxsys::DescribeRunningJob(name, sizeof(name), &stackSize));
    EXPECT_STREQ(name, "untouched");
    EXPECT_EQ(stackSize, 7u);
}
} // namespace

TEST_F(RunningJobSeamTest, WithoutAJobSystemNoThreadIsAWorkerAndNoJobRuns)
{
    ExpectNoJobSystem();
}

TEST_F(RunningJobSeamTest, AnInstalledTableAnswersEveryQuestion)
{
    oxsys::SetRunningJobQueries(&FakeJobSystem::kQueries);
    EXPECT_TRUE(oxsys::IsJobWorkerThread());
    EXPECT_EQ(oxsys::GetRunningJobFlags(), 0x48u);

    U64 value = 0;
    EXPECT_TRUE(oxsys::TryGetRunningJobLocalStorage(3, &value));
    EXPECT_EQ(FakeJobSystem::s_lastIndex, 3);
    EXPECT_EQ(value, 0x1003u);
    EXPECT_FALSE(oxsys::TryGetRunningJobLocalStorage(7, &value)); // the table's own "free entry"

    oxsys::SetRunningJobLocalStorage(4, 0x4697342214AC5FBEull, 2);
    EXPECT_EQ(FakeJobSystem::s_lastIndex, 4);
    EXPECT_EQ(FakeJobSystem::s_lastIdentifier, 0x4697342214AC5FBEull);
    EXPECT_EQ(FakeJobSystem::s_lastValue, 2u);

    oxsys::ClearRunningJobLocalStorage(4);
    EXPECT_EQ(FakeJobSystem::s_clearedIndex, 4);

    char name[16] = {};
    U64 stackSize = 0;
    EXPECT_TRUE(oxsys::DescribeRunningJob(name, sizeof(name), &stackSize));
    EXPECT_STREQ(name, "FakeJob");
    EXPECT_EQ(stackSize, 16384u);
}

TEST_F(RunningJobSeamTest, RemovingTheTableRestoresTheDefaults)
{
    oxsys::SetRunningJobQueries(&FakeJobSystem::kQueries);
    ASSERT_TRUE(oxsys::IsJobWorkerThread());
    oxsys::SetRunningJobQueries(nullptr);
    ExpectNoJobSystem();
}
