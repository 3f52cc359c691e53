#include "corelib/timeline/job-timeline.h"

#include "corelib/job/job-system.h"
#include "corelib/timeline/timeline-page.h"

namespace
{
I64 WorkerOfThread(U32 threadId)
{
    return oxjob::GetWorkerThreadIndexFromThreadId(threadId);
}
} // namespace

void BuildJobTimeline(const ProfileCaptureData* pCapture, const JobTimelineOptions& options,
                      JobTimelineResult* pResult)
{
    pResult->m_trace = CopyLiveJobTrace();
    pResult->m_traceWrapped = pResult->m_trace.m_wrapped;
    pResult->m_model = BuildLiveTraceModel(pResult->m_trace);
    pResult->m_model.m_title = options.m_pTitle ? options.m_pTitle : "";
    if (pCapture)
        AddCaptureRegions(pResult->m_model, *pCapture, WorkerOfThread);
    pResult->m_summary = SummariseTrace(pResult->m_model, options.m_timeCritical);
}

bool WriteJobTimelineFiles(const char* pJsonPath, const TraceModel& model, const TraceSummary& summary,
                           TraceExportSummary* pWritten, std::string* pPagePath)
{
    TraceExportSummary written;
    const bool jsonWritten = WriteTraceEventFile(pJsonPath, model, &written);
    if (pWritten)
        *pWritten = written;
    if (!jsonWritten)
        return false;
    const std::string pagePath = TimelinePagePath(pJsonPath);
    if (pPagePath)
        *pPagePath = pagePath;
    return WriteTimelinePageFile(pagePath.c_str(), model, summary);
}

bool WriteJobTimeline(const char* pJsonPath, const ProfileCaptureData* pCapture,
                      const JobTimelineOptions& options, JobTimelineResult* pResult)
{
    BuildJobTimeline(pCapture, options, pResult);
    return WriteJobTimelineFiles(pJsonPath, pResult->m_model, pResult->m_summary, &pResult->m_written,
                                 &pResult->m_pagePath);
}
