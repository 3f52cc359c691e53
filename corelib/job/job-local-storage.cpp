// Job local storage: one block per job fiber behind a fiber-local storage slot.
#include "corelib/job/job-local-storage-internal.h"

#include "corelib/job/job-assert.h"
#include "corelib/job/job-system-priv.h"
#include "corelib/system/platform/fiber.h"
#include "corelib/system/platform/platform.h"

#include <cstdlib>
#include <cstring>

namespace oxjob
{
namespace
{
// The fiber-local storage slot of the blocks; kFlsOutOfIndexes while the system is down.
U32 g_flsIndex = oxsys::kFlsOutOfIndexes;

// The block of the job fiber the thread runs, kept current at every switch between job
// fibers, so that an access by index is one thread-local read instead of a fiber-local
// storage lookup. Null on threads that run no job fiber.
thread_local JobLocalStorageInfo* t_pRunningJlsInfo = nullptr;

void ReleaseJlsInfo(void* pValue)
{
    free(pValue);
}

// The accessors below never span a fiber switch, so they may read the thread-local
// directly.
JobLocalStorageEntry& FixedEntry(I32 index)
{
    OX_JOB_ASSERT((U64)index < JobLocalStorageInfo::kMaxFixedEntries);
    JobLocalStorageInfo* pInfo = t_pRunningJlsInfo;
    OX_JOB_ASSERT_MSG(pInfo, "No job local storage on this thread");
    return pInfo->m_fixedEntries[index];
}

// The first entry with the identifier: the identifier entries, then the fixed ones.
JobLocalStorageEntry* FindEntry(U64 identifier)
{
    OX_JOB_ASSERT(identifier != JobLocalStorageEntry::kInvalidId);
    JobLocalStorageInfo* pInfo = GetJlsInfo_Unsafe();
    if (!pInfo)
        return nullptr;
    for (JobLocalStorageEntry& entry : pInfo->m_idEntries)
        if (entry.m_identifier == identifier)
            return &entry;
    for (JobLocalStorageEntry& entry : pInfo->m_fixedEntries)
        if (entry.m_identifier == identifier)
            return &entry;
    return nullptr;
}
} // namespace

// Not inlined: a fiber may continue on another thread, and the compiler must not keep
// the old thread's slot address across a switch.
OX_NOINLINE JobLocalStorageInfo* GetJlsInfo_Unsafe()
{
    OX_JOB_ASSERT(g_pJobSysData);
    return t_pRunningJlsInfo;
}

OX_NOINLINE void RefreshRunningJobLocalStorage()
{
    t_pRunningJlsInfo = g_flsIndex == oxsys::kFlsOutOfIndexes
                            ? nullptr
                            : static_cast<JobLocalStorageInfo*>(oxsys::GetFiberLocalStorage(g_flsIndex));
}

void InitializeJobLocalStorageAtProcessStart()
{
    g_flsIndex = oxsys::AllocFiberLocalStorage(ReleaseJlsInfo);
    if (g_flsIndex == oxsys::kFlsOutOfIndexes)
    {
        OxAssertBegin();
        OxAssertReport("g_flsIndex != FLS_OUT_OF_INDEXES", __FILE__,
                       "oxjob::InitializeJobLocalStorageAtProcessStart", __LINE__, nullptr);
    }
}

void ShutdownJobLocalStorage()
{
    if (g_flsIndex != oxsys::kFlsOutOfIndexes)
        oxsys::FreeFiberLocalStorage(g_flsIndex);
    g_flsIndex = oxsys::kFlsOutOfIndexes;
}

void InitializeJobLocalStorageAtFiberStart()
{
    auto* pJLS = static_cast<JobLocalStorageInfo*>(malloc(sizeof(JobLocalStorageInfo)));
    if (!pJLS)
    {
        OxAssertBegin();
        OxAssertReport("pJLS", __FILE__, "oxjob::InitializeJobLocalStorageAtFiberStart", __LINE__, nullptr);
        return;
    }
    memset(pJLS, 0, sizeof(JobLocalStorageInfo));
    const bool flsSetSuccessfully = oxsys::SetFiberLocalStorage(g_flsIndex, pJLS);
    if (!flsSetSuccessfully)
    {
        OxAssertBegin();
        OxAssertReport("flsSetSuccessfully", __FILE__, "oxjob::InitializeJobLocalStorageAtFiberStart",
                       __LINE__, nullptr);
    }
    RefreshRunningJobLocalStorage();
}

void SetJobLocalStorage(I32 index, U64 identifier, U64 value)
{
    OX_JOB_ASSERT(identifier != JobLocalStorageEntry::kInvalidId);
    JobLocalStorageEntry& jlsEntry = FixedEntry(index);
    jlsEntry.m_identifier = identifier;
    jlsEntry.m_value = value;
}

void GetJobLocalStorage(I32 index, U64* pValue)
{
    OX_JOB_ASSERT(pValue);
    const JobLocalStorageEntry& jlsEntry = FixedEntry(index);
    OX_JOB_ASSERT(jlsEntry.m_identifier != JobLocalStorageEntry::kInvalidId);
    *pValue = jlsEntry.m_value;
}

bool TryGetJobLocalStorage(I32 index, U64* pValue)
{
    OX_JOB_ASSERT(pValue);
    const JobLocalStorageEntry& jlsEntry = FixedEntry(index);
    if (jlsEntry.m_identifier == JobLocalStorageEntry::kInvalidId)
        return false;
    *pValue = jlsEntry.m_value;
    return true;
}

void GetJobLocalStoragePtr(I32 index, U64** ppValue)
{
    OX_JOB_ASSERT(ppValue);
    *ppValue = &FixedEntry(index).m_value;
}

void ClearJobLocalStorage(I32 index)
{
    JobLocalStorageEntry& jlsEntry = FixedEntry(index);
    OX_JOB_ASSERT(jlsEntry.m_identifier != JobLocalStorageEntry::kInvalidId);
    jlsEntry.m_identifier = 0;
    jlsEntry.m_value = 0;
}

bool DoesJobLocalStorageIdExist(I32 index)
{
    return FixedEntry(index).m_identifier != JobLocalStorageEntry::kInvalidId;
}

void SetJobLocalStorage(U64 identifier, U64 value)
{
    OX_JOB_ASSERT(identifier != JobLocalStorageEntry::kInvalidId);
    JobLocalStorageInfo* pInfo = GetJlsInfo_Unsafe();
    OX_JOB_ASSERT_MSG(pInfo, "No job local storage on this thread");
    I64 freeSlotIndex = -1;
    for (U64 i = 0; i < JobLocalStorageInfo::kMaxIdEntries; ++i)
    {
        if (pInfo->m_idEntries[i].m_identifier == identifier)
        {
            pInfo->m_idEntries[i].m_value = value;
            return;
        }
        if (freeSlotIndex < 0 && pInfo->m_idEntries[i].m_identifier == JobLocalStorageEntry::kInvalidId)
            freeSlotIndex = static_cast<I64>(i);
    }
    OX_JOB_ASSERT(freeSlotIndex >= 0);
    pInfo->m_idEntries[freeSlotIndex] = JobLocalStorageEntry{identifier, value};
}

bool GetJobLocalStorage(U64 identifier, U64* pValue)
{
    const JobLocalStorageEntry* pEntry = FindEntry(identifier);
    if (!pEntry)
        return false;
    *pValue = pEntry->m_value;
    return true;
}

void ClearJobLocalStorage(U64 identifier)
{
    if (JobLocalStorageEntry* pEntry = FindEntry(identifier))
        *pEntry = JobLocalStorageEntry{0, 0};
}

bool DoesJobLocalStorageIdExist(U64 identifier)
{
    return FindEntry(identifier) != nullptr;
}

void ResetJobLocalStorage()
{
    if (JobLocalStorageInfo* pInfo = GetJlsInfo_Unsafe())
        memset(pInfo, 0, sizeof(JobLocalStorageInfo));
}

U64 GetActiveJobId()
{
    U64 value = 0;
    if (GetJlsInfo_Unsafe())
        TryGetJobLocalStorage(kJlsIndexJobId, &value);
    return value;
}

U64 GetLockCount()
{
    if (!IsWorkerThread())
        return 0;
    U64 value = 0;
    return GetJobLocalStorage(kJlsIdLockCount, &value) ? value : 0;
}

U64 IncrementLockCount()
{
    if (!IsWorkerThread())
        return 0;
    U64 value = 0;
    GetJobLocalStorage(kJlsIdLockCount, &value);
    SetJobLocalStorage(kJlsIdLockCount, value + 1);
    return value + 1;
}

U64 DecrementLockCount()
{
    if (!IsWorkerThread())
        return 0;
    U64 savedValue = 0;
    const bool retval = GetJobLocalStorage(kJlsIdLockCount, &savedValue);
    OX_JOB_ASSERT(retval);
    OX_JOB_ASSERT(savedValue > 0);
    SetJobLocalStorage(kJlsIdLockCount, savedValue - 1);
    return savedValue - 1;
}

bool GetJobLocalStorageForWorkerThread(U64, U64, U64*)
{
    return false;
}
} // namespace oxjob
