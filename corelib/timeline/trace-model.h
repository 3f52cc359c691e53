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
#include "corelib/system/profile-capture-reader.h"
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

// A profiler region of a capture, on the lane of the thread that ran it: a job's step
// (a region the job opened) or a lock wait, inside or outside a job; or any region of a
// host thread. The jobs' own regions are the slices and are not repeated here.
struct TraceRegion
{
    U64 m_lane; // a worker, or a host lane after the workers
    std::string m_name;
    U32 m_color;
    U32 m_row; // 0: the lane's job row; 1 and on: the rows below, by nesting depth
    U64 m_begin;
    U64 m_end;
    bool m_isWait; // a lock wait (a region named "Waiting...")
    bool m_inJob;  // inside a job's region
};

// True for the name of a lock wait's region.
bool IsLockWaitRegion(const std::string& name);
// The lock a wait's region names: "Waiting: <lock> (<caller>)" gives <lock>; a plain
// "Waiting" (an atomic lock or a mutex without a name) gives "unnamed lock".
std::string LockOfWaitRegion(const std::string& name);

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
    // A capture's regions (empty without one): the host threads' lanes follow the workers'.
    std::vector<TraceRegion> m_regions;
    std::vector<std::string> m_hostLanes;
    std::vector<U32> m_laneRows; // per lane: rows in all (1 + the deepest region row)
    U64 m_droppedEvents = 0;     // events the capture's buffer had no room for
    U64 m_baseTicks = 0;         // the counter value of time 0
    U64 m_ticksPerSecond = 1;
    std::string m_title = "corelib"; // the host's name in the page's title and the export

    U64 NumWorkers() const { return m_emergency.size(); }
    U64 NumLanes() const { return m_emergency.size() + m_hostLanes.size(); }
    U32 LaneRows(U64 lane) const { return lane < m_laneRows.size() ? m_laneRows[lane] : 1; }
};

// The worker of a thread id, or -1 for a thread that is not a worker.
using TraceWorkerOfThreadFn = I64 (*)(U32 threadId);

// Adds the regions of a capture to the model: a worker thread's to its worker's lane, every
// other thread's to a host lane of its own ("Host", "Host 2", ...).
void AddCaptureRegions(TraceModel& model, const ProfileCaptureData& capture, TraceWorkerOfThreadFn workerOf);
void AddCaptureRegions(TraceModel& model, const std::vector<ProfileThreadRegions>& threads, U64 droppedEvents,
                       TraceWorkerOfThreadFn workerOf);

// Builds the model of numWorkers workers' records (worker i is worker i), converting
// record times with ticksPerSecond.
TraceModel BuildTraceModel(const WorkerTraceRecords* pWorkers, U64 numWorkers, U64 ticksPerSecond,
                           TraceJobNameFn nameOf);

// The lane's display name: "Worker <i>", with " (emergency)" for an emergency worker; a
// host lane's name after the workers.
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
