// Job local storage: fixed entries by index, entries by identifier, the reset between
// jobs on one fiber, the job id entry and the lock count. Everything runs inside jobs;
// the jobs record what they saw and the test checks it afterwards.
#include "corelib/job/job-local-storage-internal.h"
#include "corelib/job/job-system.h"
#include "tests/job/job-test-support.h"

#include <gtest/gtest.h>

#include <atomic>

using namespace oxjob;
using jobtest::JobSystemHost;
using jobtest::SmallParams;

namespace
{
// Runs the job on a one-worker system (so consecutive jobs share one fiber) and expects
// every JOB_CHECK in it to have held.
class JobLocalStorageTest : public testing::Test
{
protected:
    void SetUp() override
    {
        m_host.Start();
        jobtest::s_firstFailedLine = 0;
    }

    void RunChecked(JobEntryFunc pJob, U64 startArg = 0)
    {
        RunJobAndWait(pJob, startArg, 0, OX_JOB_SOURCE_LOCATION);
        EXPECT_EQ(jobtest::s_firstFailedLine.load(), 0) << "the JOB_CHECK on this line failed inside the job";
    }

    JobSystemHost m_host{SmallParams(1)};
};

constexpr U64 kIdA = 0x1111222233334444ull;
constexpr U64 kIdB = 0x5555666677778888ull;
// Identifiers for the 16 identifier entries: kIdBase + 1 .. kIdBase + 16.
constexpr U64 kIdBase = 0x0BADC0DE00000000ull;

void FixedEntriesByIndex(U64)
{
    SetJobLocalStorage(43, kIdA, 111);
    U64 value = 0;
    JOB_CHECK(TryGetJobLocalStorage(43, &value) && value == 111);
    value = 0;
    GetJobLocalStorage(43, &value);
    JOB_CHECK(value == 111);
    JOB_CHECK(DoesJobLocalStorageIdExist(43));

    // The pointer reaches the stored value, in use or not.
    U64* pValue = nullptr;
    GetJobLocalStoragePtr(43, &pValue);
    JOB_CHECK(pValue && *pValue == 111);
    *pValue = 222;
    GetJobLocalStorage(43, &value);
    JOB_CHECK(value == 222);
    U64* pFree = nullptr;
    GetJobLocalStoragePtr(42, &pFree);
    JOB_CHECK(pFree != nullptr && pFree != pValue && !DoesJobLocalStorageIdExist(42));

    // A set on a used index replaces identifier and value.
    SetJobLocalStorage(43, kIdB, 333);
    JOB_CHECK(!DoesJobLocalStorageIdExist(kIdA));
    JOB_CHECK(GetJobLocalStorage(kIdB, &value) && value == 333);

    ClearJobLocalStorage(43);
    value = 7;
    JOB_CHECK(!TryGetJobLocalStorage(43, &value) && value == 7);
    JOB_CHECK(!DoesJobLocalStorageIdExist(43));
    JOB_CHECK(!DoesJobLocalStorageIdExist(kIdB));
}

TEST_F(JobLocalStorageTest, FixedEntriesAreAddressedByIndexUpTo43)
{
    RunChecked(FixedEntriesByIndex);
}

void IdentifierEntriesUpdateInPlace(U64)
{
    for (U64 i = 1; i <= JobLocalStorageInfo::kMaxIdEntries; ++i)
        SetJobLocalStorage(kIdBase + i, i);
    // All 16 are in use: setting each again must update it, not look for a free entry.
    for (U64 i = 1; i <= JobLocalStorageInfo::kMaxIdEntries; ++i)
        SetJobLocalStorage(kIdBase + i, 100 + i);
    for (U64 i = 1; i <= JobLocalStorageInfo::kMaxIdEntries; ++i)
    {
        U64 value = 0;
        JOB_CHECK(GetJobLocalStorage(kIdBase + i, &value) && value == 100 + i);
    }
    // Clearing one frees its entry for a new identifier.
    ClearJobLocalStorage(kIdBase + 5);
    JOB_CHECK(!DoesJobLocalStorageIdExist(kIdBase + 5));
    SetJobLocalStorage(kIdBase + 17, 17);
    U64 value = 0;
    JOB_CHECK(GetJobLocalStorage(kIdBase + 17, &value) && value == 17);
    // Clearing an identifier nobody has does nothing.
    ClearJobLocalStorage(kIdBase + 99);
    JOB_CHECK(!GetJobLocalStorage(kIdBase + 99, &value));
}

TEST_F(JobLocalStorageTest, SettingAnExistingIdentifierUpdatesItInPlace)
{
    RunChecked(IdentifierEntriesUpdateInPlace);
}

void IdentifierLookupsSearchIdentifierEntriesThenFixedOnes(U64)
{
    SetJobLocalStorage(7, kIdA, 70);
    U64 value = 0;
    JOB_CHECK(GetJobLocalStorage(kIdA, &value) && value == 70);
    JOB_CHECK(DoesJobLocalStorageIdExist(kIdA));

    // Setting by identifier uses the identifier entries only; lookups see that one first.
    SetJobLocalStorage(kIdA, 71);
    JOB_CHECK(GetJobLocalStorage(kIdA, &value) && value == 71);
    GetJobLocalStorage(7, &value);
    JOB_CHECK(value == 70);

    // Each clear by identifier removes the first entry found.
    ClearJobLocalStorage(kIdA);
    JOB_CHECK(GetJobLocalStorage(kIdA, &value) && value == 70);
    ClearJobLocalStorage(kIdA);
    JOB_CHECK(!GetJobLocalStorage(kIdA, &value));
    JOB_CHECK(!DoesJobLocalStorageIdExist(7));

    // The entries the job system writes at the start of a job are found the same way.
    JOB_CHECK(GetJobLocalStorage(kJlsIdJobId, &value) && value == GetActiveJobId());
    JOB_CHECK(GetJobLocalStorage(kJlsIdWorkerIndex, &value) && value == GetCurrentWorkerThreadIndex());
}

// Identifiers written as any 64-bit literal (unsigned long long, long long) reach the
// identifier overloads on every platform, whatever type U64 is; an int is an index.
void SixtyFourBitLiteralsAreIdentifiers(U64)
{
    SetJobLocalStorage(0x5EED5EEDull, 42);
    U64 value = 0;
    JOB_CHECK(GetJobLocalStorage(0x5EED5EEDull, &value) && value == 42);
    JOB_CHECK(DoesJobLocalStorageIdExist(0x5EED5EEDll));
    JOB_CHECK(GetJobLocalStorage(static_cast<long long>(0x5EED5EED), &value) && value == 42);
    ClearJobLocalStorage(0x5EED5EEDull);
    JOB_CHECK(!DoesJobLocalStorageIdExist(0x5EED5EEDull));
    SetJobLocalStorage(5, 0x5EED5EEDull, 43);
    GetJobLocalStorage(5, &value);
    JOB_CHECK(value == 43 && DoesJobLocalStorageIdExist(5));
}

TEST_F(JobLocalStorageTest, SixtyFourBitLiteralsAreIdentifiersAndIntsIndices)
{
    RunChecked(SixtyFourBitLiteralsAreIdentifiers);
}

TEST_F(JobLocalStorageTest, IdentifierLookupsFindFixedEntries)
{
    RunChecked(IdentifierLookupsSearchIdentifierEntriesThenFixedOnes);
}

// The first job fills its storage, the second looks at what is left. Both record the
// block they used, so the test knows they ran on the same fiber.
std::atomic<JobLocalStorageInfo*> s_blocks[2];
std::atomic<U64> s_jobIds[2];

void FillStorage(U64)
{
    s_blocks[0] = GetJlsInfo_Unsafe();
    s_jobIds[0] = GetActiveJobId();
    for (I32 index = 2; index < static_cast<I32>(JobLocalStorageInfo::kMaxFixedEntries); ++index)
    {
        // 3 and 4 belong to the memory system: leave them alone.
        if (index != 3 && index != 4)
            SetJobLocalStorage(index, kIdBase + static_cast<U64>(index), static_cast<U64>(index));
    }
    // 15 identifiers and the lock count fill all 16 identifier entries.
    for (U64 i = 1; i < JobLocalStorageInfo::kMaxIdEntries; ++i)
        SetJobLocalStorage(kIdA + i, i);
    IncrementLockCount();
}

void LookAtStorageLeft(U64)
{
    s_blocks[1] = GetJlsInfo_Unsafe();
    s_jobIds[1] = GetActiveJobId();
    JOB_CHECK(DoesJobLocalStorageIdExist(kJlsIndexJobId));
    JOB_CHECK(DoesJobLocalStorageIdExist(kJlsIndexWorkerIndex));
    for (I32 index = 2; index < static_cast<I32>(JobLocalStorageInfo::kMaxFixedEntries); ++index)
        JOB_CHECK(!DoesJobLocalStorageIdExist(index));
    for (U64 i = 1; i < JobLocalStorageInfo::kMaxIdEntries; ++i)
        JOB_CHECK(!DoesJobLocalStorageIdExist(kIdA + i));
    JOB_CHECK(GetLockCount() == 0);
    JOB_CHECK(!DoesJobLocalStorageIdExist(kJlsIdLockCount));
}

TEST_F(JobLocalStorageTest, ANewJobOnTheFiberStartsWithOnlyTheSystemEntries)
{
    RunChecked(FillStorage);
    RunChecked(LookAtStorageLeft);
    ASSERT_NE(s_blocks[0].load(), nullptr);
    ASSERT_EQ(s_blocks[0].load(), s_blocks[1].load()) << "both jobs must have run on the same fiber";
}

std::atomic<U64> s_idFromEntry{0};
std::atomic<U64> s_idFromWorker{0};
std::atomic<U64> s_idFromQuery{0};

void RecordJobIds(U64)
{
    U64 value = 0;
    GetJobLocalStorage(kJlsIndexJobId, &value);
    s_idFromEntry = value;
    s_idFromQuery = GetActiveJobId();
    s_idFromWorker = GetWorkerThreadActiveJobId(GetCurrentWorkerThreadIndex());
}

TEST_F(JobLocalStorageTest, ActiveJobIdIsEntryZeroAndDiffersBetweenJobs)
{
    U64 previous = 0;
    for (int job = 0; job < 3; ++job)
    {
        RunChecked(RecordJobIds);
        EXPECT_EQ(s_idFromQuery.load(), s_idFromEntry.load());
        EXPECT_EQ(s_idFromWorker.load(), s_idFromEntry.load());
        EXPECT_GE(s_idFromEntry.load(), 0x1001u);
        EXPECT_NE(s_idFromEntry.load(), previous);
        previous = s_idFromEntry.load();
    }
    // Off a worker there is no job and no storage.
    EXPECT_EQ(GetActiveJobId(), 0u);
    EXPECT_EQ(GetJlsInfo_Unsafe(), nullptr);
}

void CountLocks(U64)
{
    JOB_CHECK(GetLockCount() == 0);
    JOB_CHECK(IncrementLockCount() == 1);
    JOB_CHECK(IncrementLockCount() == 2);
    JOB_CHECK(GetLockCount() == 2);
    JOB_CHECK(DoesJobLocalStorageIdExist(kJlsIdLockCount));
    JOB_CHECK(DecrementLockCount() == 1);
    JOB_CHECK(DecrementLockCount() == 0);
    JOB_CHECK(GetLockCount() == 0);
}

TEST_F(JobLocalStorageTest, LockCountCountsUpAndDownInsideAJob)
{
    RunChecked(CountLocks);
    // Off a worker all three do nothing.
    EXPECT_EQ(IncrementLockCount(), 0u);
    EXPECT_EQ(GetLockCount(), 0u);
    EXPECT_EQ(DecrementLockCount(), 0u);
}

// --- Misuse inside a job -----------------------------------------------------------------------------

void SetIndex44(U64)
{
    SetJobLocalStorage(44, kIdA, 1);
}
void TryGetIndex44(U64)
{
    U64 value = 0;
    TryGetJobLocalStorage(44, &value);
}
void GetNegativeIndex(U64)
{
    U64 value = 0;
    GetJobLocalStorage(-1, &value);
}
void SetInvalidIdByIndex(U64)
{
    SetJobLocalStorage(5, JobLocalStorageEntry::kInvalidId, 1);
}
void SetInvalidIdById(U64)
{
    SetJobLocalStorage(JobLocalStorageEntry::kInvalidId, U64{1});
}
void LookUpInvalidId(U64)
{
    U64 value = 0;
    GetJobLocalStorage(JobLocalStorageEntry::kInvalidId, &value);
}
void SetSeventeenIds(U64)
{
    for (U64 i = 1; i <= JobLocalStorageInfo::kMaxIdEntries + 1; ++i)
        SetJobLocalStorage(kIdBase + i, i);
}
void GetClearedIndex(U64)
{
    SetJobLocalStorage(9, kIdA, 1);
    ClearJobLocalStorage(9);
    U64 value = 0;
    GetJobLocalStorage(9, &value);
}
void ClearFreeIndex(U64)
{
    ClearJobLocalStorage(10);
}
void GetWithoutOutput(U64)
{
    SetJobLocalStorage(9, kIdA, 1);
    GetJobLocalStorage(9, nullptr);
}
void DecrementAbsentLockCount(U64)
{
    DecrementLockCount();
}
void DecrementLockCountAtZero(U64)
{
    IncrementLockCount();
    DecrementLockCount();
    DecrementLockCount();
}

struct MisuseCase
{
    const char* m_name;
    JobEntryFunc m_pJob;
    const char* m_expected;
};

const MisuseCase kMisuse[] = {
    {"SetIndex44", SetIndex44, "\\(U64\\)index < JobLocalStorageInfo::kMaxFixedEntries"},
    {"TryGetIndex44", TryGetIndex44, "\\(U64\\)index < JobLocalStorageInfo::kMaxFixedEntries"},
    {"GetNegativeIndex", GetNegativeIndex, "\\(U64\\)index < JobLocalStorageInfo::kMaxFixedEntries"},
    {"SetInvalidIdByIndex", SetInvalidIdByIndex, "identifier != JobLocalStorageEntry::kInvalidId"},
    {"SetInvalidIdById", SetInvalidIdById, "identifier != JobLocalStorageEntry::kInvalidId"},
    {"LookUpInvalidId", LookUpInvalidId, "identifier != JobLocalStorageEntry::kInvalidId"},
    {"SeventeenthIdentifier", SetSeventeenIds, "Assertion failed: freeSlotIndex >= 0"},
    {"GetClearedIndex", GetClearedIndex, "jlsEntry.m_identifier != JobLocalStorageEntry::kInvalidId"},
    {"ClearFreeIndex", ClearFreeIndex, "jlsEntry.m_identifier != JobLocalStorageEntry::kInvalidId"},
    {"GetWithoutOutput", GetWithoutOutput, "Assertion failed: pValue\\s"},
    {"DecrementAbsentLockCount", DecrementAbsentLockCount, "Assertion failed: retval\\s"},
    {"DecrementLockCountAtZero", DecrementLockCountAtZero, "Assertion failed: savedValue > 0"},
};

class JobLocalStorageMisuse : public testing::TestWithParam<MisuseCase>
{
};

TEST_P(JobLocalStorageMisuse, DiesInsideTheJob)
{
    // The whole job system lives in the death test's child.
    EXPECT_DEATH(
        {
            JobSystemHost host(SmallParams(1));
            host.Start();
            RunJobAndWait(GetParam().m_pJob, 0, 0, OX_JOB_SOURCE_LOCATION);
        },
        GetParam().m_expected);
}

INSTANTIATE_TEST_SUITE_P(All, JobLocalStorageMisuse, testing::ValuesIn(kMisuse),
                         [](const testing::TestParamInfo<MisuseCase>& info) { return info.param.m_name; });
} // namespace
