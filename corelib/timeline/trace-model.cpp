#include "corelib/timeline/trace-model.h"

#include "corelib/job/job-descriptor.h"
#include "corelib/job/job-system.h"
#include "corelib/job/job-time-critical.h"
#include "corelib/system/timing.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

namespace
{
// Converts record timestamps to whole nanoseconds since the oldest record. Integers keep
// a slice's start plus its duration exactly its end.
class TraceClock
{
public:
    TraceClock(U64 base, U64 ticksPerSecond)
        : m_base(base), m_ticksPerSecond(ticksPerSecond ? ticksPerSecond : 1)
    {
    }

    U64 Nanoseconds(U64 timestamp) const
    {
        const U64 delta = timestamp > m_base ? timestamp - m_base : 0;
        const F64 fraction = static_cast<F64>(delta % m_ticksPerSecond) / static_cast<F64>(m_ticksPerSecond);
        return delta / m_ticksPerSecond * 1000000000ull + static_cast<U64>(fraction * 1e9 + 0.5);
    }

private:
    U64 m_base;
    U64 m_ticksPerSecond;
};

// One end of a flow while the workers are read.
struct FlowEnd
{
    U32 m_jobId;
    U64 m_timestamp;
    U64 m_slice;
    bool m_isSuspension;
};

// A frame mark and the job that made it.
struct FrameMark
{
    U64 m_number;
    U64 m_worker;
    U64 m_time;
    U64 m_jobBegin; // the start of the job that made it, or the mark's time
    U32 m_jobId;    // 0 outside a job
    std::string m_name;
};

// "Frame <n>" gives n; anything else is no frame mark.
bool ParseFrameMark(const char* pText, U64* pNumber)
{
    constexpr const char kPrefix[] = "Frame ";
    if (!pText || std::strncmp(pText, kPrefix, sizeof(kPrefix) - 1) != 0)
        return false;
    const char* pDigits = pText + sizeof(kPrefix) - 1;
    if (*pDigits < '0' || *pDigits > '9')
        return false;
    char* pEnd = nullptr;
    *pNumber = std::strtoull(pDigits, &pEnd, 10);
    return *pEnd == '\0';
}

void ReadWorker(TraceModel& model, const TraceClock& clock, U64 worker, const WorkerTraceRecords& records,
                TraceJobNameFn nameOf, std::vector<FlowEnd>& flowEnds, std::vector<FrameMark>& frameMarks)
{
    const oxjob::JobTraceElement* pOpen = nullptr; // the record that opened the running slice
    for (U64 i = 0; i < records.m_count; ++i)
    {
        const oxjob::JobTraceElement& record = records.m_pRecords[i];
        const U64 time = clock.Nanoseconds(record.m_timestamp);
        model.m_end = std::max(model.m_end, time);
        switch (record.m_kind)
        {
        case oxjob::kJobTraceStartJob:
        case oxjob::kJobTraceResumeJob:
            // A slice still open here lost its end (a torn record): it is left out.
            pOpen = &record;
            break;
        case oxjob::kJobTraceCompleteJob:
        case oxjob::kJobTraceSuspendFiber:
            if (pOpen && pOpen->m_jobId == record.m_jobId)
            {
                // A worker's records are in time order; a torn one must not make a slice negative.
                const U64 begin = std::min(clock.Nanoseconds(pOpen->m_timestamp), time);
                const bool resumed = pOpen->m_kind == oxjob::kJobTraceResumeJob;
                const bool suspended = record.m_kind == oxjob::kJobTraceSuspendFiber;
                const U64 index = model.m_slices.size();
                model.m_slices.push_back({worker, nameOf(pOpen->m_subject), pOpen->m_jobId, pOpen->m_flags,
                                          begin, time, resumed, suspended});
                if (resumed)
                    flowEnds.push_back({record.m_jobId, pOpen->m_timestamp, index, false});
                if (suspended)
                    flowEnds.push_back({record.m_jobId, record.m_timestamp, index, true});
                pOpen = nullptr;
            }
            else if (record.m_kind == oxjob::kJobTraceSuspendFiber)
            {
                // The job left this fiber before it started: it moved to a fiber of the
                // stack size it needs.
                model.m_marks.push_back({worker, time, TraceMarkKind::kStackSwitch,
                                         std::string("Stack switch: ") + nameOf(record.m_subject), &record});
            }
            // A completion whose start is older than the ring's oldest record has no slice.
            break;
        case oxjob::kJobTraceSleepJob:
            model.m_marks.push_back({worker, time, TraceMarkKind::kWait,
                                     std::string("Wait: ") + nameOf(record.m_subject), &record});
            break;
        case oxjob::kJobTraceEvent:
        {
            const char* pText = reinterpret_cast<const char*>(record.m_subject);
            model.m_marks.push_back({worker, time, TraceMarkKind::kEvent, pText ? pText : "", &record});
            U64 number = 0;
            if (ParseFrameMark(pText, &number))
            {
                const bool inJob = pOpen != nullptr;
                const U64 jobBegin = inJob && pOpen->m_kind == oxjob::kJobTraceStartJob
                                         ? std::min(clock.Nanoseconds(pOpen->m_timestamp), time)
                                         : time;
                frameMarks.push_back({number, worker, time, jobBegin, inJob ? pOpen->m_jobId : 0, pText});
            }
            break;
        }
        default:
            model.m_marks.push_back({worker, time, TraceMarkKind::kUnknown, "Unknown trace record", &record});
            break;
        }
    }
}

// Pairs every resumption with the latest earlier suspension of the same job that no
// other resumption took.
void PairFlows(TraceModel& model, std::vector<FlowEnd>& flowEnds)
{
    std::sort(flowEnds.begin(), flowEnds.end(),
              [](const FlowEnd& a, const FlowEnd& b)
              {
                  if (a.m_jobId != b.m_jobId)
                      return a.m_jobId < b.m_jobId;
                  if (a.m_timestamp != b.m_timestamp)
                      return a.m_timestamp < b.m_timestamp;
                  return a.m_isSuspension &&
                         !b.m_isSuspension; // a suspension comes before a resumption at the same time
              });
    const FlowEnd* pSuspension = nullptr;
    for (const FlowEnd& end : flowEnds)
    {
        if (pSuspension && pSuspension->m_jobId != end.m_jobId)
            pSuspension = nullptr;
        if (end.m_isSuspension)
        {
            pSuspension = &end;
        }
        else if (pSuspension)
        {
            model.m_flows.push_back({end.m_jobId, pSuspension->m_slice, end.m_slice});
            pSuspension = nullptr;
        }
    }
}

// Turns the frame marks into frames: a frame made inside a job ends with that job's
// completion (a frame whose job has not completed in the trace is left out); one made
// outside a job ends where the next frame begins, or with the trace.
void BuildFrames(TraceModel& model, std::vector<FrameMark>& marks)
{
    std::stable_sort(marks.begin(), marks.end(),
                     [](const FrameMark& a, const FrameMark& b) { return a.m_jobBegin < b.m_jobBegin; });
    // The completions of the jobs that made frame marks: job id -> the end of a slice that
    // completed it (a torn ring may show more than one).
    std::set<U32> markingJobs;
    for (const FrameMark& mark : marks)
        markingJobs.insert(mark.m_jobId);
    std::multimap<U32, U64> ends;
    for (const TraceSlice& slice : model.m_slices)
        if (!slice.m_suspended && markingJobs.count(slice.m_jobId))
            ends.emplace(slice.m_jobId, slice.m_end);
    for (size_t i = 0; i < marks.size(); ++i)
    {
        const FrameMark& mark = marks[i];
        U64 end = 0;
        bool complete = false;
        if (mark.m_jobId != 0)
        {
            const auto [first, last] = ends.equal_range(mark.m_jobId);
            for (auto it = first; it != last; ++it)
            {
                if (it->second >= mark.m_time)
                {
                    end = complete ? std::min(end, it->second) : it->second;
                    complete = true;
                }
            }
        }
        else
        {
            end = i + 1 < marks.size() ? marks[i + 1].m_jobBegin : model.m_end;
            complete = true;
        }
        if (complete)
            model.m_frames.push_back(
                {mark.m_name, mark.m_number, mark.m_jobBegin, end, mark.m_worker, mark.m_jobId});
    }
    // Frames that overlap an earlier one go on a further row, so no row holds a frame
    // that partly covers another.
    std::vector<U64> rowEnds;
    for (TraceFrame& frame : model.m_frames)
    {
        U32 row = 0;
        while (row < rowEnds.size() && rowEnds[row] > frame.m_begin)
            ++row;
        if (row == rowEnds.size())
            rowEnds.push_back(0);
        rowEnds[row] = frame.m_end;
        frame.m_row = row;
    }
    model.m_frameRows = static_cast<U32>(rowEnds.size());
}

const char* LiveJobName(U64 startFunction)
{
    return oxjob::GetJobName(reinterpret_cast<oxjob::JobEntryFunc>(startFunction));
}
} // namespace

TraceModel BuildTraceModel(const WorkerTraceRecords* pWorkers, U64 numWorkers, U64 ticksPerSecond,
                           TraceJobNameFn nameOf)
{
    TraceModel model;
    U64 base = ~0ull;
    for (U64 worker = 0; worker < numWorkers; ++worker)
    {
        model.m_emergency.push_back(pWorkers[worker].m_isEmergency);
        model.m_records += pWorkers[worker].m_count;
        if (pWorkers[worker].m_count)
            base = std::min(base, pWorkers[worker].m_pRecords[0].m_timestamp);
    }
    const TraceClock clock(base == ~0ull ? 0 : base, ticksPerSecond);
    model.m_baseTicks = base == ~0ull ? 0 : base;
    model.m_ticksPerSecond = ticksPerSecond ? ticksPerSecond : 1;
    std::vector<FlowEnd> flowEnds;
    std::vector<FrameMark> frameMarks;
    for (U64 worker = 0; worker < numWorkers; ++worker)
        ReadWorker(model, clock, worker, pWorkers[worker], nameOf, flowEnds, frameMarks);
    PairFlows(model, flowEnds);
    BuildFrames(model, frameMarks);
    return model;
}

bool IsLockWaitRegion(const std::string& name)
{
    return name.compare(0, 7, "Waiting") == 0;
}

std::string LockOfWaitRegion(const std::string& name)
{
    constexpr const char kPrefix[] = "Waiting: ";
    if (name.compare(0, sizeof(kPrefix) - 1, kPrefix) != 0)
        return "unnamed lock";
    std::string lock = name.substr(sizeof(kPrefix) - 1);
    const size_t caller = lock.find(" (");
    if (caller != std::string::npos)
        lock.resize(caller);
    return lock;
}

void AddCaptureRegions(TraceModel& model, const ProfileCaptureData& capture, TraceWorkerOfThreadFn workerOf)
{
    AddCaptureRegions(model, ReadProfileCapture(capture), capture.m_droppedEvents, workerOf);
}

void AddCaptureRegions(TraceModel& model, const std::vector<ProfileThreadRegions>& threads, U64 droppedEvents,
                       TraceWorkerOfThreadFn workerOf)
{
    const TraceClock clock(model.m_baseTicks, model.m_ticksPerSecond);
    const auto toTime = [&](U64 ticks) { return clock.Nanoseconds(ticks); };
    model.m_droppedEvents += droppedEvents;
    model.m_laneRows.resize(model.NumLanes(), 1);
    for (const ProfileThreadRegions& thread : threads)
    {
        const I64 worker = workerOf ? workerOf(thread.m_threadId) : -1;
        const bool onWorker = worker >= 0 && static_cast<U64>(worker) < model.NumWorkers();
        U64 lane = static_cast<U64>(worker);
        if (!onWorker)
        {
            lane = model.NumLanes();
            model.m_hostLanes.push_back(model.m_hostLanes.empty()
                                            ? std::string("Host")
                                            : "Host " + std::to_string(model.m_hostLanes.size() + 1));
            model.m_laneRows.push_back(1);
        }
        // On a worker the regions at depth 0 are its jobs' own (the slices) and the waits
        // of its scheduling loop; a job's steps lie below them.
        U64 jobEnd = 0;
        for (const ProfileRegion& region : thread.m_regions)
        {
            const bool isWait = IsLockWaitRegion(region.m_name);
            if (onWorker && region.m_depth == 0 && !isWait)
            {
                jobEnd = region.m_end;
                continue;
            }
            TraceRegion out{lane,
                            region.m_name,
                            region.m_color,
                            region.m_depth,
                            toTime(region.m_begin),
                            toTime(region.m_end),
                            isWait,
                            onWorker && region.m_depth > 0 && region.m_begin < jobEnd};
            if (out.m_name.empty())
                out.m_name = "(open before the capture)";
            model.m_laneRows[lane] = std::max(model.m_laneRows[lane], out.m_row + 1);
            model.m_regions.push_back(std::move(out));
            model.m_end = std::max(model.m_end, model.m_regions.back().m_end);
        }
    }
}

std::string TraceWorkerName(const TraceModel& model, U64 worker)
{
    if (worker >= model.NumWorkers() && worker < model.NumLanes())
        return model.m_hostLanes[worker - model.NumWorkers()];
    std::string name = "Worker " + std::to_string(worker);
    if (worker < model.m_emergency.size() && model.m_emergency[worker])
        name += " (emergency)";
    return name;
}

LiveJobTrace CopyLiveJobTrace()
{
    LiveJobTrace trace;
    const U64 numWorkers = oxjob::GetTotalNumWorkerThreads();
    trace.m_copies.resize(numWorkers);
    for (U64 worker = 0; worker < numWorkers; ++worker)
    {
        const U64 capacity = oxjob::GetJobTraceThreadData(worker)->m_capacity;
        trace.m_copies[worker].resize(capacity);
        const U64 count = capacity ? oxjob::CopyJobTrace(worker, trace.m_copies[worker].data(), capacity) : 0;
        trace.m_wrapped |= capacity != 0 && count == capacity;
        trace.m_workers.push_back(
            {trace.m_copies[worker].data(), count, oxjob::IsEmergencyWorkerThread(worker)});
    }
    return trace;
}

TraceModel BuildLiveTraceModel(const LiveJobTrace& trace)
{
    return BuildTraceModel(trace.m_workers.data(), trace.m_workers.size(), GetTimerFrequency(), LiveJobName);
}
