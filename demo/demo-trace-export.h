// Writes the job trace as a trace-event JSON file, the format that Perfetto
// (ui.perfetto.dev) and chrome://tracing open. Each worker becomes a track (thread) of
// its own; each stretch a job ran on a worker becomes a slice named after the job: from
// its start or resumption to its completion or suspension. An arrow (a flow) leads from
// the slice where a job was suspended to the slice where it resumed, on whichever worker
// that was. Waits, fiber switches for a job's stack size and named events are instant
// marks. Times are microseconds from the oldest record.
//
// The library writes no files: this reads the trace through its interfaces
// (oxjob::CopyJobTrace, the job names of the descriptor table) and lives beside the demo.
#pragma once

#include "corelib/job/job-trace.h"
#include "corelib/util/types.h"

#include <cstdio>

// One worker's records, oldest first.
struct WorkerTraceRecords
{
    const oxjob::JobTraceElement* m_pRecords;
    U64 m_count;
    bool m_isEmergency;
};

// What an export wrote.
struct TraceExportSummary
{
    U64 m_workers = 0;      // tracks
    U64 m_records = 0;      // records read
    U64 m_slices = 0;       // job slices
    U64 m_jobsStarted = 0;  // slices that begin with a job's start (the others begin with a resumption)
    U64 m_flows = 0;        // suspension -> resumption arrows
    U64 m_instants = 0;     // waits, stack-size switches and named events
    bool m_wrapped = false; // a worker's ring was full: its oldest records may be lost
};

// The display name of a job's start function (a record's subject).
using TraceJobNameFn = const char* (*)(U64 startFunction);

// Writes the JSON document for the records of numWorkers workers (worker i is track i).
// Record times are converted with ticksPerSecond. Returns false when writing failed.
bool WriteTraceEventJson(FILE* pFile, const WorkerTraceRecords* pWorkers, U64 numWorkers, U64 ticksPerSecond,
                         TraceJobNameFn nameOf, TraceExportSummary* pSummary);

// Copies the running job system's trace, worker by worker, and writes it to the file at
// pPath. Call while the job system runs (the rings go away at Shutdown), best when its
// workers are idle. Returns false when the file could not be written.
bool ExportJobTrace(const char* pPath, TraceExportSummary* pSummary);
