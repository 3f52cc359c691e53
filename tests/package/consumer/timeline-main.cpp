// A host that looks inside its jobs: it captures the profiler markers while a loop runs
// as jobs, each chunk marking its two steps, and writes the job trace and the capture as
// trace-event JSON and the timeline page beside it (timeline-host.json, .html).
#include "corelib/job/job-default-params.h"
#include "corelib/job/job-typed.h"
#include "corelib/memory/alloc-stack.h"
#include "corelib/system/profile-capture.h"
#include "corelib/system/profiler-events.h"
#include "corelib/timeline/job-timeline.h"
#include "corelib/util/console-reports.h"

#include <cstdio>
#include <new>
#include <vector>

int main()
{
    InstallConsoleReports();
    Memory::InitializeThreadAllocStack();
    oxjob::InitParams params;
    oxjob::FillDefaultInitParams(&params);
    params.m_pMemoryBuffer = ::operator new(params.m_memoryBufferSize, std::align_val_t(128));
    params.m_traceMemoryBufferSize = 1 << 20; // the job trace: an equal share per worker
    params.m_pTraceMemoryBuffer = ::operator new(params.m_traceMemoryBufferSize, std::align_val_t(128));
    oxjob::Initialize(&params);

    StartProfileCapture(4 << 20); // workers join with their first job
    JoinProfileCapture();         // and this thread gets a lane of its own
    BeginProfileEvent("Frame 0");
    std::vector<float> data(1 << 20, 1.0f);
    float* pData = data.data();
    oxjob::ParallelFor(0, data.size(), 1 << 16,
                       [pData](U64 begin, U64 end)
                       {
                           ProfileRegionScope scale("Scale");
                           for (U64 i = begin; i < end; ++i)
                               pData[i] *= 2.0f;
                           ProfileRegionScope offset("Offset");
                           for (U64 i = begin; i < end; ++i)
                               pData[i] += 1.0f;
                       });
    EndProfileEvent();
    const ProfileCaptureData* pCapture = StopProfileCapture();

    JobTimelineOptions options;
    options.m_pTitle = "timeline host";
    JobTimelineResult timeline;
    const bool written = WriteJobTimeline("timeline-host.json", pCapture, options, &timeline);
    ReleaseProfileCaptureBuffer();
    U64 steps = 0;
    for (const TraceRegion& region : timeline.m_model.m_regions)
        steps += region.m_name == "Scale" || region.m_name == "Offset";

    oxjob::Shutdown();
    ::operator delete(params.m_pTraceMemoryBuffer, std::align_val_t(128));
    ::operator delete(params.m_pMemoryBuffer, std::align_val_t(128));
    Memory::FreeThreadAllocStack();
    printf("%s\n", FormatTraceSummary(timeline.m_summary).c_str());
    printf("timeline written to %s: %llu steps of 16 chunks, %llu job slices\n",
           written ? timeline.m_pagePath.c_str() : "nothing", static_cast<unsigned long long>(steps),
           static_cast<unsigned long long>(timeline.m_written.m_slices));
    return written && steps == 32 ? 0 : 1;
}
