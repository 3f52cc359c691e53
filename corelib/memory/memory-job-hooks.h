// The questions the memory system asks the job system: is the calling thread a worker,
// is the calling job render work, and the two job-local values that follow a job from
// worker to worker (its current allocator and its depth of allocation-failure report
// suppression). Until the job system installs its answers, no thread is a worker and
// no code is render work.
#pragma once

#include "corelib/util/types.h"

namespace Memory
{
class Allocator;

// Job local storage slots used by the memory system (fixed index and identifier).
constexpr I32 kJlsIndexAllocator = 3;
constexpr U64 kJlsIdAllocator = 0xD610F2E781858623ull;
constexpr I32 kJlsIndexAllocFailSuppression = 4;
constexpr U64 kJlsIdAllocFailSuppression = 0x4697342214AC5FBEull;

// The job system's answers. Every function must be set; the job system installs them
// before its workers run and they stay installed for the life of the process.
struct JobHooks
{
    // True on a job system worker thread.
    bool (*m_isWorkerThread)();
    // True when the calling job's declaration carries the render-job flag.
    bool (*m_isRenderJob)();
    // Reads a fixed job-local entry; false when the entry is free.
    bool (*m_tryGetJobLocalStorage)(I32 index, U64* pValue);
    // Writes a fixed job-local entry.
    void (*m_setJobLocalStorage)(I32 index, U64 identifier, U64 value);
    // Frees a fixed job-local entry.
    void (*m_clearJobLocalStorage)(I32 index);
};

// Installs the job system's answers (null restores "no thread is a worker").
void SetJobHooks(const JobHooks* pHooks);

// True when the calling job is render work (false outside jobs).
bool IsRenderJob();
// The calling job's current allocator (null when it has none); workers only.
Allocator* GetJobAllocator();
// Sets or (with null) clears the calling job's current allocator; workers only.
void SetJobAllocator(Allocator* pAllocator);
// True when the calling job suppresses allocation-failure reports; workers only.
bool IsJobSuppressingAllocFail();
// Depth of the calling job's suppression (0 when absent); workers only.
U64 GetJobAllocFailSuppression();
// Sets the depth; 0 frees the entry; workers only.
void SetJobAllocFailSuppression(U64 depth);
} // namespace Memory

namespace oxjob
{
// True on a job system worker thread (asked through the installed hooks).
bool IsWorkerThread();
} // namespace oxjob
