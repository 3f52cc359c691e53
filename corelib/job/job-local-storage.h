// Job local storage: storage that belongs to the fiber a job runs on, so that it follows
// the job when it resumes on another worker. Each job fiber owns one 960-byte block of
// 44 fixed entries (addressed by index, the identifier as a check) and 16 entries found
// by identifier; the block is cleared before every new job on the fiber.
#pragma once

#include "corelib/util/types.h"

namespace oxjob
{
struct JobLocalStorageEntry
{
    static constexpr U64 kInvalidId = 0;
    U64 m_identifier;
    U64 m_value;
};

struct JobLocalStorageInfo
{
    static constexpr U64 kMaxFixedEntries = 44;
    static constexpr U64 kMaxIdEntries = 16;
    JobLocalStorageEntry m_fixedEntries[kMaxFixedEntries];
    JobLocalStorageEntry m_idEntries[kMaxIdEntries];
};
static_assert(sizeof(JobLocalStorageInfo) == 960, "a job local storage block is 960 bytes");

// Fixed entries the system uses.
constexpr I32 kJlsIndexJobId = 0;
constexpr U64 kJlsIdJobId = 0xF18A2D801EFF31F1ull;
constexpr I32 kJlsIndexWorkerIndex = 1;
constexpr U64 kJlsIdWorkerIndex = 0xA0915D59F7C1291Dull;
// The identifier of the job's lock count.
constexpr U64 kJlsIdLockCount = 0x23AAB14D23AAB14Dull;

// By index (0 to 43).
void SetJobLocalStorage(I32 index, U64 identifier, U64 value);
void GetJobLocalStorage(I32 index, U64* pValue);
bool TryGetJobLocalStorage(I32 index, U64* pValue);
void GetJobLocalStoragePtr(I32 index, U64** ppValue);
void ClearJobLocalStorage(I32 index);
bool DoesJobLocalStorageIdExist(I32 index);

// By identifier (the 16 identifier entries first, then the fixed ones).
void SetJobLocalStorage(U64 identifier, U64 value);
bool GetJobLocalStorage(U64 identifier, U64* pValue);
void ClearJobLocalStorage(U64 identifier);
bool DoesJobLocalStorageIdExist(U64 identifier);

// Clears all 60 entries of the calling fiber's block.
void ResetJobLocalStorage();
// The running job's id (fixed entry 0).
U64 GetActiveJobId();
// The running job's lock count; all three do nothing and return 0 off a worker.
U64 IncrementLockCount();
U64 DecrementLockCount();
U64 GetLockCount();
// Reads another worker's running job's entry. Fiber stacks are not placed at fixed
// addresses here, so there is nothing to read: always false.
bool GetJobLocalStorageForWorkerThread(U64 workerThreadIndex, U64 identifier, U64* pValue);

// The calling fiber's block; null on a thread that is not running a job fiber.
JobLocalStorageInfo* GetJlsInfo_Unsafe();
// Allocates the fiber-local storage slot (inside Initialize) and frees it (Shutdown).
void InitializeJobLocalStorageAtProcessStart();
void ShutdownJobLocalStorage();
// Allocates and clears the calling fiber's block (every job fiber at its start).
void InitializeJobLocalStorageAtFiberStart();
// Makes the block of the fiber now running the calling thread's: called after every
// switch between job fibers, and when a worker's own fiber gets the thread back.
void RefreshRunningJobLocalStorage();
} // namespace oxjob
