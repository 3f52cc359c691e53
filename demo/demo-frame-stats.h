// What the demo counts about each frame, by itself: the jobs it submitted, the jobs that
// ran (each job counts itself when it starts), the waits its jobs performed with
// oxjob::WaitForCounter and the longest of them, and where the time-critical audio mix
// ran. Frames run one after another, so one set of counters serves every frame; the
// host resets it before it submits a frame and reads it after the frame has finished.
#pragma once

#include "corelib/timeline/trace-model.h"

#include "corelib/job/job-types.h"
#include "corelib/util/types.h"

#include <atomic>

class FrameCounters
{
public:
    // Clears every count; call while no job of the demo runs.
    void Reset();
    // Records n jobs about to be submitted.
    void CountSubmitted(U32 numJobs) { m_jobsSubmitted.fetch_add(numJobs, std::memory_order_relaxed); }
    // Records one job that started (the first thing each demo job does).
    void CountRun() { m_jobsRun.fetch_add(1, std::memory_order_relaxed); }
    // Records the worker the audio mix ran on.
    void SetAudioWorker(U64 workerIndex) { m_audioWorker.store(workerIndex, std::memory_order_relaxed); }
    // oxjob::WaitForCounter, timed and counted: a job is suspended meanwhile, a thread yields.
    void TimedWaitForCounter(oxjob::CounterHandle counter, I64 value);

    U32 GetJobsSubmitted() const { return m_jobsSubmitted.load(std::memory_order_relaxed); }
    U32 GetJobsRun() const { return m_jobsRun.load(std::memory_order_relaxed); }
    U32 GetWaits() const { return m_waits.load(std::memory_order_relaxed); }
    U64 GetLongestWaitTicks() const { return m_longestWaitTicks.load(std::memory_order_relaxed); }
    U64 GetAudioWorker() const { return m_audioWorker.load(std::memory_order_relaxed); }

private:
    std::atomic<U32> m_jobsSubmitted{0};
    std::atomic<U32> m_jobsRun{0};
    std::atomic<U32> m_waits{0};
    std::atomic<U64> m_longestWaitTicks{0};
    std::atomic<U64> m_audioWorker{~0ull};
};

// One line of the per-frame table.
struct FrameRecord
{
    U32 m_frame;
    U64 m_frameNanoseconds; // the frame's length: see TakeFrameLengthsFromTrace
    U32 m_jobsSubmitted;
    U32 m_jobsRun;
    U32 m_waits;
    U64 m_longestWaitTicks;
    U64 m_audioWorker;
};

// Takes the counters of a finished frame; its length is the host's wait for it until the
// trace gives the frame job's run.
FrameRecord MakeFrameRecord(U32 frame, U64 frameTicks, const FrameCounters& counters);
// Gives each frame the length the timeline page shows: its frame job's run, from the
// job's start to its completion on whichever worker, as the job trace recorded them.
void TakeFrameLengthsFromTrace(FrameRecord* pRecords, U32 numRecords, const TraceModel& model);

// The table on message channel 1: a heading, one line per frame, and the totals.
void PrintFrameTableHeading();
void PrintFrameTableLine(const FrameRecord& record);
void PrintFrameTableTotals(const FrameRecord* pRecords, U32 numRecords);
