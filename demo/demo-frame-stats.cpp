#include "demo/demo-frame-stats.h"

#include "corelib/job/job-system.h"
#include "corelib/job/job-time-critical.h"
#include "corelib/system/timing.h"
#include "corelib/util/msg.h"

#include <cstdio>

namespace
{
F64 NanosecondsToMilliseconds(U64 nanoseconds)
{
    return static_cast<F64>(nanoseconds) / 1e6;
}

F64 TicksToMilliseconds(U64 ticks)
{
    const U64 frequency = GetTimerFrequency();
    return static_cast<F64>(ticks / frequency) * 1000.0 +
           static_cast<F64>(ticks % frequency) * 1000.0 / static_cast<F64>(frequency);
}
} // namespace

void FrameCounters::Reset()
{
    m_jobsSubmitted.store(0, std::memory_order_relaxed);
    m_jobsRun.store(0, std::memory_order_relaxed);
    m_waits.store(0, std::memory_order_relaxed);
    m_longestWaitTicks.store(0, std::memory_order_relaxed);
    m_audioWorker.store(~0ull, std::memory_order_relaxed);
}

void FrameCounters::TimedWaitForCounter(oxjob::CounterHandle counter, I64 value)
{
    const U64 begin = GetTimeNow();
    oxjob::WaitForCounter(counter, value);
    const U64 ticks = GetTimeNow() - begin;
    m_waits.fetch_add(1, std::memory_order_relaxed);
    U64 longest = m_longestWaitTicks.load(std::memory_order_relaxed);
    while (ticks > longest &&
           !m_longestWaitTicks.compare_exchange_weak(longest, ticks, std::memory_order_relaxed))
    {
    }
}

FrameRecord MakeFrameRecord(U32 frame, U64 frameTicks, const FrameCounters& counters)
{
    FrameRecord record;
    record.m_frame = frame;
    record.m_frameNanoseconds = static_cast<U64>(TicksToMilliseconds(frameTicks) * 1e6 + 0.5);
    record.m_jobsSubmitted = counters.GetJobsSubmitted();
    record.m_jobsRun = counters.GetJobsRun();
    record.m_waits = counters.GetWaits();
    record.m_longestWaitTicks = counters.GetLongestWaitTicks();
    record.m_audioWorker = counters.GetAudioWorker();
    return record;
}

void TakeFrameLengthsFromTrace(FrameRecord* pRecords, U32 numRecords, const TraceModel& model)
{
    for (const TraceFrame& frame : model.m_frames)
        if (frame.m_number < numRecords)
            pRecords[frame.m_number].m_frameNanoseconds = frame.m_end - frame.m_begin;
}

void PrintFrameTableHeading()
{
    PrintToMsgOutput(kMsgChannelInfo,
                     "frame   time ms  submitted  jobs run  waits  longest wait ms  audio mix on\n");
}

void PrintFrameTableLine(const FrameRecord& record)
{
    char audio[40] = "-";
    if (record.m_audioWorker < oxjob::GetTotalNumWorkerThreads())
        snprintf(audio, sizeof(audio), "worker %u%s", static_cast<unsigned>(record.m_audioWorker),
                 oxjob::IsEmergencyWorkerThread(record.m_audioWorker) ? " (emergency)" : "");
    PrintToMsgOutput(kMsgChannelInfo, "%5u %9.3f %10u %9u %6u %16.3f  %s\n", record.m_frame,
                     NanosecondsToMilliseconds(record.m_frameNanoseconds), record.m_jobsSubmitted,
                     record.m_jobsRun, record.m_waits, TicksToMilliseconds(record.m_longestWaitTicks), audio);
}

void PrintFrameTableTotals(const FrameRecord* pRecords, U32 numRecords)
{
    U64 totalTime = 0;
    U64 longestFrame = 0;
    U64 submitted = 0;
    U64 run = 0;
    U64 waits = 0;
    U32 onEmergency = 0;
    for (U32 i = 0; i < numRecords; ++i)
    {
        const FrameRecord& record = pRecords[i];
        totalTime += record.m_frameNanoseconds;
        longestFrame = record.m_frameNanoseconds > longestFrame ? record.m_frameNanoseconds : longestFrame;
        submitted += record.m_jobsSubmitted;
        run += record.m_jobsRun;
        waits += record.m_waits;
        if (record.m_audioWorker < oxjob::GetTotalNumWorkerThreads() &&
            oxjob::IsEmergencyWorkerThread(record.m_audioWorker))
            ++onEmergency;
    }
    PrintToMsgOutput(
        kMsgChannelInfo,
        "total %9.3f %10llu %9llu %6llu   (average frame %.3f ms, longest %.3f ms; audio mix on an "
        "emergency worker in %u of %u frames)\n",
        NanosecondsToMilliseconds(totalTime), static_cast<unsigned long long>(submitted),
        static_cast<unsigned long long>(run), static_cast<unsigned long long>(waits),
        numRecords ? NanosecondsToMilliseconds(totalTime) / numRecords : 0.0,
        NanosecondsToMilliseconds(longestFrame), onEmergency, numRecords);
}
