// A summary of a job trace that a person reads at a glance: per job name, how many jobs
// ran, their running time in all and the longest one's, and how long they were
// suspended in waits; per worker, the share of the frames' time it spent running jobs;
// and where a time-critical job ran and why, from the moment it was submitted (a named
// event its submitter adds just before submitting it) to its start.
#pragma once

#include "demo/demo-trace-model.h"

#include <string>
#include <vector>

// A time-critical job to account for.
struct TimeCriticalJob
{
    const char* m_pName;           // the job's name in the trace
    const char* m_pSubmittedEvent; // the event that marks its submission
    U64 m_emergencyDelay;          // nanoseconds it must be ready before an emergency worker takes it
};

struct JobNameFigures
{
    std::string m_name;
    U64 m_jobs = 0;     // jobs started
    U64 m_runTime = 0;  // the running time of all its slices
    U64 m_longest = 0;  // the longest running time of one job (all its slices)
    U64 m_waits = 0;    // suspensions followed by a resumption
    U64 m_waitTime = 0; // from those suspensions to the resumptions
};

struct WorkerFigures
{
    std::string m_name;
    bool m_isEmergency = false;
    U64 m_busy = 0;   // running jobs within the summary's window
    U64 m_slices = 0; // slices that lie (partly) in the window
};

struct TimeCriticalFigures
{
    U64 m_runs = 0;                   // the job's starts
    U64 m_onEmergency = 0;            // of them on an emergency worker
    std::vector<U64> m_regularDelays; // submission to start, starts on regular workers with a submission mark
    std::vector<U64> m_emergencyDelays; // the same on emergency workers
    U64 m_regularWithinDelay = 0;       // regular starts sooner than the emergency delay
    // While the starts on emergency workers waited (from submission to start): the time
    // the regular workers spent running jobs, and the regular workers' time in all.
    U64 m_regularBusyWhileWaiting = 0;
    U64 m_regularTimeWhileWaiting = 0;
};

struct TraceSummary
{
    std::vector<JobNameFigures> m_jobs; // by running time, longest first
    std::vector<WorkerFigures> m_workers;
    U64 m_window = 0; // the time the busy shares refer to: the frames', or the whole trace's
    U64 m_frames = 0;
    TimeCriticalJob m_timeCritical{};
    TimeCriticalFigures m_timeCriticalFigures;
};

TraceSummary SummariseTrace(const TraceModel& model, const TimeCriticalJob& timeCritical);

// The summary as lines of text: a table of the job names, one of the workers and a
// sentence on where the time-critical job ran and why.
std::string FormatTraceSummary(const TraceSummary& summary);
// The sentence on the time-critical job alone.
std::string ExplainTimeCriticalJob(const TraceSummary& summary);
