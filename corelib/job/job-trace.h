// The job trace: every worker keeps a ring of small records of what it did (job started,
// completed, put to sleep, resumed, fiber suspended, named events), written without
// locks; dumps merge the rings in time order. The rings live in the trace memory a host
// hands to Initialize (InitParams::m_pTraceMemoryBuffer), an equal share per worker; a
// worker without a share records nothing.
//
// Two tables of ring descriptors exist: the real one, and a shadow one whose rings hold a
// single record each. While tracing is redirected (during a dump, or when a host asks
// for it) new records go to the shadow table, so the real rings stay as they were.
#pragma once
#include "corelib/job/job-types.h"
#include "corelib/util/types.h"

namespace oxjob
{
struct Counter;

// What a trace record says happened.
enum JobTraceKind : U8
{
    kJobTraceEvent = 0,        // a named event; m_subject is its text (const char*)
    kJobTraceStartJob = 1,     // m_subject is the job's start function
    kJobTraceCompleteJob = 2,  // the start function returned
    kJobTraceSleepJob = 3,     // the job waits for m_pCounter to reach m_value
    kJobTraceResumeJob = 4,    // a waiting job continues on this worker
    kJobTraceSuspendFiber = 5, // the job's fiber left this worker (a wait, or a change of stack size)
};

// One record, 48 bytes, stored as laid out here.
struct JobTraceElement
{
    U64 m_timestamp = 0; // high-resolution ticks (GetTimeNow), set when the record is added
    U8 m_kind = kJobTraceEvent;
    U64 m_subject = 0;                   // start function, or the event's text
    const Counter* m_pCounter = nullptr; // sleep records: the counter waited for
    I64 m_value = 0;                     // sleep records: the value waited for
    U32 m_jobId = 0;                     // low 32 bits of the job's id
    U32 m_flags = 0;                     // low 32 bits of the job's flags
};
static_assert(sizeof(JobTraceElement) == 48, "a trace record is 48 bytes");

// A worker's ring: m_count valid records (at most m_capacity), the next one written at
// m_writeIndex. Each descriptor has a 128-byte line of its own.
struct alignas(128) JobTraceThreadData
{
    JobTraceElement* m_pBuffer = nullptr;
    U64 m_capacity = 0;
    U64 m_count = 0;
    U64 m_writeIndex = 0;
};

// Gives worker threadIndex (below kMaxWorkerThreads) the ring at pBuffer, sizeInBytes / 48
// records; a null buffer takes the ring away. Initialize calls it for every worker.
void SetupThreadJobTrace(U64 threadIndex, void* pBuffer, U64 sizeInBytes);

// Adds a record for the calling worker, stamped now (the given timestamp is ignored).
// Nothing is recorded off a worker or for a worker without a ring.
void AddTraceElement(const JobTraceElement& element);
// The same at a given time, without reading the clock.
void AddTraceElementAtTime(JobTraceThreadData* pThreadData, const JobTraceElement& element, U64 timestamp);
void AddTraceElementAtTime(U64 threadIndex, const JobTraceElement& element, U64 timestamp);
// Adds a named event for the calling worker; the text must outlive the trace.
void AddTraceEvent(const char* text);

// Worker threadIndex's ring in the real table (null for an index of 24 or more).
const JobTraceThreadData* GetJobTraceThreadData(U64 threadIndex);

// Sends new records to the shadow table (true) or to the real one (false).
void SetJobTraceRedirected(bool redirected);
bool IsJobTraceRedirected();

// Copies worker threadIndex's records, oldest first, into pOut (at most maxCount of the
// newest); returns how many. Unlike the dumps it leaves tracing where it is, so workers
// lose no records to a copy; rings are read without locks, and a record that its worker
// overwrites meanwhile may come out torn.
U64 CopyJobTrace(U64 threadIndex, JobTraceElement* pOut, U64 maxCount);

// Prints one record on a message channel, with its time and worker first.
void PrintTraceElement(U64 threadIndex, const JobTraceElement& element, U32 channel);
// Prints the count newest records of all workers on a channel, oldest first.
void DumpRecentJobTrace(U64 count, U32 channel);
// Prints, worker by worker on channel 1, the records with from <= timestamp < to.
void DumpJobTraceSpan(U64 from, U64 to);

// Prints what the job system waits for (the recent trace, the waiting job arrays and
// jobs with their counters) and reports a deadlock without stopping the program. The
// idle workers' deadlock watch calls it.
void ReportDeadlock();
} // namespace oxjob
