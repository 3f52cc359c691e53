// Writes the job trace as a trace-event JSON file, the format that Perfetto
// (ui.perfetto.dev) and speedscope open. Each worker becomes a track
// (thread) of its own, named "Worker <i>" ("(emergency)" added for an emergency worker);
// each stretch a job ran on a worker becomes a slice named after the job, with the job's
// id, flags and how the slice began and ended in its args. An arrow (a flow) leads from
// the slice where a job was suspended to the slice where it resumed, on whichever worker
// that was. Each frame is a slice "Frame <n>" on a "Frames" track of its own, sorted
// first (frames that overlap an earlier one go on "Frames 2", ...). Waits, fiber switches
// for a job's stack size and named events are instant marks. With a capture, its regions
// are slices nested inside the job slices by time (a job's steps, lock waits in the
// category "lock wait"), and each host thread that joined has a track after the frames'.
// Times are microseconds from the oldest record.
//
// It reads the trace through the job system's interfaces (oxjob::CopyJobTrace, the job
// names of the descriptor table) and writes only where the host asks it to.
#pragma once

#include "corelib/timeline/trace-model.h"

#include <cstdio>

// What an export wrote.
struct TraceExportSummary
{
    U64 m_workers = 0;      // worker tracks
    U64 m_records = 0;      // records read
    U64 m_slices = 0;       // job slices
    U64 m_jobsStarted = 0;  // slices that begin with a job's start (the others begin with a resumption)
    U64 m_flows = 0;        // suspension -> resumption arrows
    U64 m_instants = 0;     // waits, stack-size switches and named events
    U64 m_frames = 0;       // frame slices
    U64 m_regions = 0;      // a capture's regions (job steps, lock waits, host regions)
    U64 m_lockWaits = 0;    // of them lock waits
    bool m_wrapped = false; // a worker's ring was full: its oldest records may be lost
};

// The track (thread id) of a row of frames: after the workers' tracks.
U64 TraceFramesTrack(const TraceModel& model, U32 row);
// The track of a lane: a worker's own, a host lane's after the frames'.
U64 TraceLaneTrack(const TraceModel& model, U64 lane);

// Writes the JSON document of the model. Returns false when writing failed.
bool WriteTraceEventJson(FILE* pFile, const TraceModel& model, TraceExportSummary* pSummary);
// The same for the records of numWorkers workers (worker i is track i); record times are
// converted with ticksPerSecond.
bool WriteTraceEventJson(FILE* pFile, const WorkerTraceRecords* pWorkers, U64 numWorkers, U64 ticksPerSecond,
                         TraceJobNameFn nameOf, TraceExportSummary* pSummary);
// Writes the document to the file at pPath. Returns false when it could not be written.
bool WriteTraceEventFile(const char* pPath, const TraceModel& model, TraceExportSummary* pSummary);
