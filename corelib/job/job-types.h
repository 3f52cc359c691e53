// The job system's value types: priorities, limits, job declarations and their flags,
// counter handles and the call-site record. Everything a host needs to declare work.
#pragma once

#include "corelib/util/types.h"

namespace oxjob
{
struct Counter;

// Scheduling priority: 0 is the most urgent, 8 the least. The lowest-numbered ones are
// time-critical when emergency workers exist. Pass a number as Priority{3}.
enum class Priority : I8
{
    kInvalid = -1,
    kNumPriorities = 9,
};

// True for priorities 0 to 8 (one unsigned comparison).
constexpr bool IsValidPriority(Priority priority)
{
    return static_cast<U8>(priority) < static_cast<U8>(Priority::kNumPriorities);
}

constexpr U64 kMaxWorkerThreads = 24;
constexpr U64 kMaxSupportedCounters = 2048;
constexpr U64 kMaxSupportedJobArrays = 1024;
constexpr U64 kMaxSmallJobFibers = 256;
constexpr U64 kMaxLargeJobFibers = 128;
constexpr U64 kMaxWaitingJobs = 512;
constexpr U64 kMaxWaitContexts = 64;
constexpr U64 kMaxWokenUpJobArrays = 64;
// Jobs that one AddJobs call may submit unless the first declares kDisallowSleep.
constexpr U64 kMaxSleepingJobsPerSubmit = 32;

// Job flags (JobDecl::m_flags).
enum JobFlags : U64
{
    kLargeStack = 0x01,                // runs on a large-stack fiber
    kDisallowSleep = 0x02,             // never waits or yields; required for submissions of more than 32 jobs
    kGameJob = 0x04,                   // category, inherited by submitted jobs
    kRenderJob = 0x08,                 // category, inherited; memory contexts resolve to their render variants
    kRecheckDependencyOnResume = 0x10, // dependencies are tested again when the job resumes
    kLockToStartingWorker = 0x20,      // once started, the job resumes only on its starting worker
    kHighlightJob = 0x40,              // highlighted in profiling markers
    kNoActivityTracking = 0x80,        // does not count as worker activity for the deadlock watch
};

// Comparison of a counter dependency: met when the value equals the target (kCompareEqual)
// or is at most the target (kCompareLessOrEqual).
enum : U32
{
    kCompareEqual = 0,
    kCompareLessOrEqual = 1,
};

// Which targets a counter may be waited for.
enum WaitRestriction : U32
{
    kNoWaitRestriction = 0,
    kWaitForZeroOnly = 1,
};

// Entry function of a job.
using JobEntryFunc = void (*)(U64 startArg);

// One job: what it runs, the counter it counts down when done and up to two counter
// conditions that must hold before it starts. At least one of m_pStartFunc,
// m_associatedCounter and m_dependentCounter must be set. 128 bytes, 64-byte aligned.
struct alignas(64) JobDecl
{
    JobEntryFunc m_pStartFunc = nullptr;
    U64 m_startArg = 0;
    Counter* m_associatedCounter = nullptr;
    Counter* m_dependentCounter = nullptr;
    Counter* m_dependentCounter2 = nullptr;
    I64 m_dependentValue = 0;
    I64 m_dependentValue2 = 0;
    U32 m_dependentCompare : 2 = 0;
    U32 m_dependentCompare2 : 2 = 0;
    U64 : 0; // the flags start a 64-bit word of their own
    U64 m_flags : 60 = 0;

    // Clears every field.
    void Reset() { *this = JobDecl(); }
};
static_assert(sizeof(JobDecl) == 128, "a job declaration is 128 bytes");

// A counter as the interfaces pass it; a null pointer stands for no counter.
struct CounterHandle
{
    Counter* m_pCounter = nullptr;

    bool IsValid() const { return m_pCounter != nullptr; }
};

// The call site of an allocating call.
struct SourceLocation
{
    const char* m_sourceFile;
    const char* m_sourceFunction;
    U32 m_sourceLine;
};

// The call site of the expression it stands in.
#define OX_JOB_SOURCE_LOCATION                                                                               \
    ::oxjob::SourceLocation { __FILE__, __PRETTY_FUNCTION__, static_cast<U32>(__LINE__) }
} // namespace oxjob
