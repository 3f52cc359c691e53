// Job local storage inside the job system: the per-fiber block behind the calls of
// job-local-storage.h, its set-up with the fiber-local storage slot, and its hand-over at
// every fiber switch.
#pragma once

#include "corelib/job/job-local-storage.h"
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
    static constexpr U64 kMaxFixedEntries = kJobLocalStorageFixedEntries;
    static constexpr U64 kMaxIdEntries = kJobLocalStorageIdEntries;
    JobLocalStorageEntry m_fixedEntries[kMaxFixedEntries];
    JobLocalStorageEntry m_idEntries[kMaxIdEntries];
};
static_assert(sizeof(JobLocalStorageInfo) == 960, "a job local storage block is 960 bytes");

// Clears all 60 entries of the calling fiber's block.
void ResetJobLocalStorage();
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
