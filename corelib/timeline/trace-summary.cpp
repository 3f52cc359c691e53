#include "corelib/timeline/trace-summary.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>

namespace
{
F64 Milliseconds(U64 nanoseconds)
{
    return static_cast<F64>(nanoseconds) / 1e6;
}

F64 Microseconds(U64 nanoseconds)
{
    return static_cast<F64>(nanoseconds) / 1e3;
}

std::string Format(const char* pFormat, ...)
{
    va_list args;
    va_start(args, pFormat);
    va_list copy;
    va_copy(copy, args);
    const int length = vsnprintf(nullptr, 0, pFormat, copy);
    va_end(copy);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    vsnprintf(text.data(), text.size() + 1, pFormat, args);
    va_end(args);
    return text;
}

U64 Median(std::vector<U64> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[(values.size() - 1) / 2]; // the lower middle one of an even count
}

U64 Longest(const std::vector<U64>& values)
{
    return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

// "70 us", or "70 us (median of 29; longest 801 us)" for several.
std::string DelayText(const std::vector<U64>& delays)
{
    if (delays.size() == 1)
        return Format("%.0f us", Microseconds(delays[0]));
    return Format("%.0f us (median of %llu; longest %.0f us)", Microseconds(Median(delays)),
                  static_cast<unsigned long long>(delays.size()), Microseconds(Longest(delays)));
}

void SummariseJobs(const TraceModel& model, TraceSummary& summary)
{
    std::map<std::string, JobNameFigures> byName;
    std::map<U32, U64> runTimeById;
    std::map<U32, std::string> nameById;
    for (const TraceSlice& slice : model.m_slices)
    {
        JobNameFigures& figures = byName[slice.m_pName];
        figures.m_name = slice.m_pName;
        figures.m_jobs += !slice.m_resumed;
        figures.m_runTime += slice.m_end - slice.m_begin;
        runTimeById[slice.m_jobId] += slice.m_end - slice.m_begin;
        nameById[slice.m_jobId] = slice.m_pName;
    }
    for (const auto& [jobId, runTime] : runTimeById)
    {
        JobNameFigures& figures = byName[nameById[jobId]];
        figures.m_longest = std::max(figures.m_longest, runTime);
    }
    for (const TraceFlow& flow : model.m_flows)
    {
        const TraceSlice& from = model.m_slices[flow.m_fromSlice];
        const TraceSlice& to = model.m_slices[flow.m_toSlice];
        JobNameFigures& figures = byName[from.m_pName];
        ++figures.m_waits;
        figures.m_waitTime += to.m_begin > from.m_end ? to.m_begin - from.m_end : 0;
    }
    for (auto& entry : byName)
        summary.m_jobs.push_back(entry.second);
    std::stable_sort(summary.m_jobs.begin(), summary.m_jobs.end(),
                     [](const JobNameFigures& a, const JobNameFigures& b)
                     { return a.m_runTime > b.m_runTime; });
}

void SummariseRegions(const TraceModel& model, TraceSummary& summary, U64 begin, U64 end);

void SummariseWorkers(const TraceModel& model, TraceSummary& summary)
{
    U64 begin = 0;
    U64 end = model.m_end;
    if (!model.m_frames.empty())
    {
        begin = model.m_frames.front().m_begin;
        end = 0;
        for (const TraceFrame& frame : model.m_frames)
            end = std::max(end, frame.m_end);
    }
    summary.m_window = end - begin;
    summary.m_frames = model.m_frames.size();
    for (U64 worker = 0; worker < model.NumWorkers(); ++worker)
        summary.m_workers.push_back({TraceWorkerName(model, worker), model.m_emergency[worker], 0, 0});
    for (const TraceSlice& slice : model.m_slices)
    {
        const U64 from = std::max(slice.m_begin, begin);
        const U64 to = std::min(slice.m_end, end);
        if (from > to || (from == to && slice.m_begin != slice.m_end))
            continue;
        summary.m_workers[slice.m_worker].m_busy += to - from;
        ++summary.m_workers[slice.m_worker].m_slices;
    }
    SummariseRegions(model, summary, begin, end);
}

// With a capture: the lock waits per lock, and each worker's window split into running,
// waiting and idle.
void SummariseRegions(const TraceModel& model, TraceSummary& summary, U64 begin, U64 end)
{
    summary.m_captured = !model.m_regions.empty() || !model.m_hostLanes.empty();
    summary.m_droppedEvents = model.m_droppedEvents;
    if (!summary.m_captured)
        return;
    std::map<std::string, LockWaitFigures> byLock;
    std::vector<U64> waitsInJobs(model.NumWorkers(), 0);
    for (const TraceRegion& region : model.m_regions)
    {
        if (!region.m_isWait)
            continue;
        const U64 length = region.m_end - std::min(region.m_end, region.m_begin);
        LockWaitFigures& figures = byLock[LockOfWaitRegion(region.m_name)];
        figures.m_lock = LockOfWaitRegion(region.m_name);
        ++figures.m_waits;
        figures.m_total += length;
        figures.m_longest = std::max(figures.m_longest, length);
        if (region.m_lane >= model.NumWorkers())
            continue;
        const U64 from = std::max(region.m_begin, begin);
        const U64 to = std::min(region.m_end, end);
        if (from >= to)
            continue;
        summary.m_workers[region.m_lane].m_waiting += to - from;
        if (region.m_inJob)
            waitsInJobs[region.m_lane] += to - from;
    }
    for (auto& entry : byLock)
        summary.m_locks.push_back(entry.second);
    std::stable_sort(summary.m_locks.begin(), summary.m_locks.end(),
                     [](const LockWaitFigures& a, const LockWaitFigures& b)
                     { return a.m_total > b.m_total; });
    for (U64 worker = 0; worker < summary.m_workers.size(); ++worker)
    {
        WorkerFigures& figures = summary.m_workers[worker];
        figures.m_running = figures.m_busy - std::min(figures.m_busy, waitsInJobs[worker]);
        const U64 accounted = figures.m_running + figures.m_waiting;
        figures.m_idle = summary.m_window - std::min(summary.m_window, accounted);
    }
}

// How much of the span [begin, end] the regular workers spent running jobs.
void AddRegularBusyTime(const TraceModel& model, U64 begin, U64 end, TimeCriticalFigures& figures)
{
    for (U64 worker = 0; worker < model.NumWorkers(); ++worker)
        figures.m_regularTimeWhileWaiting += model.m_emergency[worker] ? 0 : end - begin;
    for (const TraceSlice& slice : model.m_slices)
    {
        const U64 from = std::max(slice.m_begin, begin);
        const U64 to = std::min(slice.m_end, end);
        if (!model.m_emergency[slice.m_worker] && from < to)
            figures.m_regularBusyWhileWaiting += to - from;
    }
}

// Pairs each start of the time-critical job with the latest submission mark before it
// that no earlier start took.
void SummariseTimeCritical(const TraceModel& model, TraceSummary& summary)
{
    const TimeCriticalJob& job = summary.m_timeCritical;
    TimeCriticalFigures& figures = summary.m_timeCriticalFigures;
    if (!job.m_pName)
        return;
    std::vector<U64> submissions;
    for (const TraceMark& mark : model.m_marks)
        if (mark.m_kind == TraceMarkKind::kEvent && job.m_pSubmittedEvent &&
            mark.m_name == job.m_pSubmittedEvent)
            submissions.push_back(mark.m_time);
    std::sort(submissions.begin(), submissions.end());
    std::vector<const TraceSlice*> starts;
    for (const TraceSlice& slice : model.m_slices)
        if (!slice.m_resumed && std::strcmp(slice.m_pName, job.m_pName) == 0)
            starts.push_back(&slice);
    std::sort(starts.begin(), starts.end(),
              [](const TraceSlice* a, const TraceSlice* b) { return a->m_begin < b->m_begin; });
    size_t next = 0;           // the first submission not yet looked at
    size_t taken = ~size_t{0}; // the last submission a start took
    for (const TraceSlice* pStart : starts)
    {
        ++figures.m_runs;
        const bool onEmergency = model.m_emergency[pStart->m_worker];
        figures.m_onEmergency += onEmergency;
        while (next < submissions.size() && submissions[next] <= pStart->m_begin)
            ++next;
        if (next == 0 || next - 1 == taken)
            continue; // no submission of its own in the trace
        taken = next - 1;
        const U64 delay = pStart->m_begin - submissions[taken];
        if (onEmergency)
        {
            figures.m_emergencyDelays.push_back(delay);
            AddRegularBusyTime(model, submissions[taken], pStart->m_begin, figures);
        }
        else
        {
            figures.m_regularDelays.push_back(delay);
            figures.m_regularWithinDelay += delay < job.m_emergencyDelay;
        }
    }
}
} // namespace

TraceSummary SummariseTrace(const TraceModel& model, const TimeCriticalJob& timeCritical)
{
    TraceSummary summary;
    summary.m_timeCritical = timeCritical;
    SummariseJobs(model, summary);
    SummariseWorkers(model, summary);
    SummariseTimeCritical(model, summary);
    return summary;
}

std::string ExplainTimeCriticalJob(const TraceSummary& summary)
{
    const TimeCriticalJob& job = summary.m_timeCritical;
    const TimeCriticalFigures& figures = summary.m_timeCriticalFigures;
    if (!job.m_pName)
        return std::string();
    if (figures.m_runs == 0)
        return Format("%s does not appear in the trace.", job.m_pName);
    const F64 delay = Microseconds(job.m_emergencyDelay);
    const U64 onRegular = figures.m_runs - figures.m_onEmergency;
    std::string text = Format("%s ran on an emergency worker in %llu of %llu runs", job.m_pName,
                              static_cast<unsigned long long>(figures.m_onEmergency),
                              static_cast<unsigned long long>(figures.m_runs));
    if (onRegular != 0 && !figures.m_regularDelays.empty())
    {
        const U64 measured = figures.m_regularDelays.size();
        text +=
            Format(": a regular worker started it %s after its submission, %s the emergency delay of %.0f us",
                   DelayText(figures.m_regularDelays).c_str(),
                   figures.m_regularWithinDelay == measured ? "always within" : "not always within", delay);
        if (figures.m_regularWithinDelay != measured)
            text += Format(" (%llu of %llu within it)",
                           static_cast<unsigned long long>(figures.m_regularWithinDelay),
                           static_cast<unsigned long long>(measured));
        text += Format(
            ". An emergency worker takes a time-critical job only once it has been ready that long, so a "
            "regular worker with time to spare gets there first");
    }
    else if (onRegular != 0)
    {
        text +=
            Format(": regular workers took it; the trace holds no submission marks (\"%s\") to time it by",
                   job.m_pSubmittedEvent ? job.m_pSubmittedEvent : "");
    }
    if (!figures.m_emergencyDelays.empty())
        text += Format(
            ". On emergency workers it started %s after its submission, once the delay had passed; "
            "meanwhile the regular workers were running other jobs %.0f%% of the time",
            DelayText(figures.m_emergencyDelays).c_str(),
            figures.m_regularTimeWhileWaiting ? 100.0 * static_cast<F64>(figures.m_regularBusyWhileWaiting) /
                                                    static_cast<F64>(figures.m_regularTimeWhileWaiting)
                                              : 0.0);
    return text + ".";
}

std::string FormatTraceSummary(const TraceSummary& summary)
{
    std::string text;
    if (summary.m_frames)
        text += Format(
            "Job trace summary: %llu frames, %.3f ms from the first frame's start to the last one's end\n",
            static_cast<unsigned long long>(summary.m_frames), Milliseconds(summary.m_window));
    else
        text += Format("Job trace summary: %.3f ms of trace\n", Milliseconds(summary.m_window));
    text += "job                      jobs    run ms  longest ms  waits  waiting ms\n";
    for (const JobNameFigures& job : summary.m_jobs)
        text += Format("%-22s %6llu %9.3f %11.3f %6llu %11.3f\n", job.m_name.c_str(),
                       static_cast<unsigned long long>(job.m_jobs), Milliseconds(job.m_runTime),
                       Milliseconds(job.m_longest), static_cast<unsigned long long>(job.m_waits),
                       Milliseconds(job.m_waitTime));
    text += "worker                   busy  slices\n";
    for (const WorkerFigures& worker : summary.m_workers)
        text += Format("%-22s %5.1f%% %7llu\n", worker.m_name.c_str(),
                       summary.m_window
                           ? 100.0 * static_cast<F64>(worker.m_busy) / static_cast<F64>(summary.m_window)
                           : 0.0,
                       static_cast<unsigned long long>(worker.m_slices));
    const std::string why = ExplainTimeCriticalJob(summary);
    if (!why.empty())
        text += why + "\n";
    if (summary.m_captured)
        text += FormatCaptureSummary(summary);
    return text;
}

std::string FormatCaptureSummary(const TraceSummary& summary)
{
    const auto share = [&](U64 time)
    { return summary.m_window ? 100.0 * static_cast<F64>(time) / static_cast<F64>(summary.m_window) : 0.0; };
    std::string text = "worker                running  waiting    idle  (share of the frames' time)\n";
    for (const WorkerFigures& worker : summary.m_workers)
        text += Format("%-22s %6.1f%% %7.1f%% %6.1f%%\n", worker.m_name.c_str(), share(worker.m_running),
                       share(worker.m_waiting), share(worker.m_idle));
    if (summary.m_locks.empty())
    {
        text += "Lock waits: none in the capture\n";
    }
    else
    {
        text += "lock                     waits  total ms  longest ms\n";
        for (const LockWaitFigures& lock : summary.m_locks)
            text += Format("%-22s %8llu %9.3f %11.3f\n", lock.m_lock.c_str(),
                           static_cast<unsigned long long>(lock.m_waits), Milliseconds(lock.m_total),
                           Milliseconds(lock.m_longest));
        const LockWaitFigures& most = summary.m_locks.front();
        text += Format("The lock that cost the most waiting: %s, %.3f ms in %llu waits (longest %.3f ms)\n",
                       most.m_lock.c_str(), Milliseconds(most.m_total),
                       static_cast<unsigned long long>(most.m_waits), Milliseconds(most.m_longest));
    }
    if (summary.m_droppedEvents)
        text += Format("The capture's buffer was full: %llu profiler events were dropped\n",
                       static_cast<unsigned long long>(summary.m_droppedEvents));
    return text;
}
