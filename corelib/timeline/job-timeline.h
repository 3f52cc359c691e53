// A host's view of a run of the job system in one call: the job trace of the running job
// system and, optionally, a stopped profiler capture (profile-capture.h), written as a
// trace-event JSON file (Perfetto, speedscope) and, beside it, the timeline page (the
// same name with .html), with the summary of the run returned for printing.
//
//     StartProfileCapture(8 << 20);            // optional: the regions inside the jobs
//     JoinProfileCapture();                    // optional: the host thread's own lane
//     ... run frames ...
//     const ProfileCaptureData* pCapture = StopProfileCapture();
//     JobTimelineResult result;
//     if (WriteJobTimeline("trace.json", pCapture, JobTimelineOptions{}, &result))
//         printf("%s", FormatTraceSummary(result.m_summary).c_str());
//
// Call it while the job system runs (the trace rings go away at Shutdown), best with its
// workers idle, and before the capture's buffer is freed or the next capture starts.
#pragma once

#include "corelib/system/profile-capture.h"
#include "corelib/timeline/trace-export.h"
#include "corelib/timeline/trace-model.h"
#include "corelib/timeline/trace-summary.h"

#include <string>

struct JobTimelineOptions
{
    const char* m_pTitle = "corelib"; // the host's name in the page's title
    // A time-critical job whose starts the summary explains (none when m_pName is null).
    TimeCriticalJob m_timeCritical{};
};

struct JobTimelineResult
{
    LiveJobTrace m_trace; // the copied records, which the model's marks point into
    TraceModel m_model;
    TraceSummary m_summary;
    TraceExportSummary m_written;
    std::string m_pagePath;
    bool m_traceWrapped = false; // a worker's trace ring was full: its oldest records are missing
};

// The model and summary of the running job system's trace, with the capture's regions
// when pCapture is not null. Threads of the capture that are workers go to their
// workers' lanes, the others to host lanes.
void BuildJobTimeline(const ProfileCaptureData* pCapture, const JobTimelineOptions& options,
                      JobTimelineResult* pResult);
// Writes the JSON file at pJsonPath and the page beside it from a model and its summary.
// False when either file could not be written.
bool WriteJobTimelineFiles(const char* pJsonPath, const TraceModel& model, const TraceSummary& summary,
                           TraceExportSummary* pWritten, std::string* pPagePath);
// BuildJobTimeline and WriteJobTimelineFiles in one. False when a file could not be written.
bool WriteJobTimeline(const char* pJsonPath, const ProfileCaptureData* pCapture,
                      const JobTimelineOptions& options, JobTimelineResult* pResult);
