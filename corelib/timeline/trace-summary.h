// A summary of a job trace that a person reads at a glance: per job name, how many jobs
// ran, their running time in all and the longest one's, and how long they were
// suspended in waits; per worker, the share of the frames' time it spent running jobs;
// and where a time-critical job ran and why, from the moment it was submitted (a named
// event its submitter adds just before submitting it) to its start.
#pragma once

#include "corelib/timeline/trace-model.h"

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
    // With a capture: the window split into running jobs (less their lock waits), waiting
    // for locks (inside jobs or in the scheduling loop) and the rest, idle.
    U64 m_running = 0;
    U64 m_waiting = 0;
    U64 m_idle = 0;
};

// A capture's waits for one lock.
struct LockWaitFigures
{
    std::string m_lock;
    U64 m_waits = 0;
    U64 m_total = 0;
    U64 m_longest = 0;
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
    bool m_captured = false;              // the model holds a capture's regions
    std::vector<LockWaitFigures> m_locks; // by total waiting, most first
    U64 m_droppedEvents = 0;
};

TraceSummary SummariseTrace(const TraceModel& model, const TimeCriticalJob& timeCritical);

// The summary as lines of text: a table of the job names, one of the workers and a
// sentence on where the time-critical job ran and why; with a capture, the workers' time
// split into running, waiting for locks and idle, and the waits per lock.
std::string FormatTraceSummary(const TraceSummary& summary);
// The capture's part of the summary alone (empty lines when there is no capture).
std::string FormatCaptureSummary(const TraceSummary& summary);
// The sentence on the time-critical job alone.
std::string ExplainTimeCriticalJob(const TraceSummary& summary);
