// The job trace read back as a timeline: what each worker ran and when, the waits that
// carried a job from one slice to another, the marks, and the frames. The trace-event
// export, the timeline page and the summary all read this one model, so they agree.
//
// Each stretch a job ran on a worker is a slice: from its start or resumption to its
// completion or suspension. A flow leads from the slice where a job was suspended to the
// slice where it resumed, on whichever worker that was. Waits, fiber switches for a
// job's stack size and named events are marks. A named event "Frame <n>" begins a frame:
// made inside a job, the frame spans that job, from its start to its completion (on any
// worker); made outside a job, it lasts until the next frame begins or the trace ends.
// Times are whole nanoseconds from the oldest record.
#pragma once

#include "corelib/job/job-trace.h"
#include "corelib/util/types.h"

#include <string>
#include <vector>

// One worker's records, oldest first.
struct WorkerTraceRecords
{
    const oxjob::JobTraceElement* m_pRecords;
    U64 m_count;
    bool m_isEmergency;
};

// The display name of a job's start function (a record's subject).
using TraceJobNameFn = const char* (*)(U64 startFunction);

struct TraceSlice
{
    U64 m_worker;
    const char* m_pName;
    U32 m_jobId;
    U32 m_flags;
    U64 m_begin;
    U64 m_end;
    bool m_resumed;   // begins with a resumption (else with the job's start)
    bool m_suspended; // ends with a suspension (else with the job's completion)
};

enum class TraceMarkKind : U8
{
    kWait,        // the job went to sleep on a counter
    kStackSwitch, // the job moved to a fiber of its stack size before it started
    kEvent,       // a named event
    kUnknown,     // a record kind this reader does not know
};

struct TraceMark
{
    U64 m_worker;
    U64 m_time;
    TraceMarkKind m_kind;
    std::string m_name;
    const oxjob::JobTraceElement* m_pRecord;
};

// A suspension and the resumption that followed it; the ends are indices of slices.
struct TraceFlow
{
    U32 m_jobId;
    U64 m_fromSlice; // ends with the suspension
    U64 m_toSlice;   // begins with the resumption
};

struct TraceFrame
{
    std::string m_name; // "Frame <n>"
    U64 m_number;
    U64 m_begin;
    U64 m_end;
    U64 m_worker;  // where its mark was made
    U32 m_jobId;   // the job that made the mark, 0 outside a job
    U32 m_row = 0; // 0, or further rows for frames that overlap an earlier one
};

struct TraceModel
{
    std::vector<bool> m_emergency;    // per worker
    std::vector<TraceSlice> m_slices; // worker by worker, in time order within each
    std::vector<TraceMark> m_marks;   // worker by worker, in time order within each
    std::vector<TraceFlow> m_flows;   // by job id, then in time order
    std::vector<TraceFrame> m_frames; // in order of their beginning
    U64 m_records = 0;
    U64 m_end = 0;       // the newest record's time
    U32 m_frameRows = 0; // rows the frames need (0 without frames)

    U64 NumWorkers() const { return m_emergency.size(); }
};

// Builds the model of numWorkers workers' records (worker i is worker i), converting
// record times with ticksPerSecond.
TraceModel BuildTraceModel(const WorkerTraceRecords* pWorkers, U64 numWorkers, U64 ticksPerSecond,
                           TraceJobNameFn nameOf);

// The worker's display name: "Worker <i>", with " (emergency)" for an emergency worker.
std::string TraceWorkerName(const TraceModel& model, U64 worker);

// The running job system's trace, worker by worker: copies of every ring.
struct LiveJobTrace
{
    std::vector<std::vector<oxjob::JobTraceElement>> m_copies;
    std::vector<WorkerTraceRecords> m_workers;
    bool m_wrapped = false; // a worker's ring was full: its oldest records may be lost
};

// Copies the running job system's trace. Call while the job system runs (the rings go away
// at Shutdown), best when its workers are idle.
LiveJobTrace CopyLiveJobTrace();
// The model of a copied trace, with the job names of the descriptor table.
TraceModel BuildLiveTraceModel(const LiveJobTrace& trace);
