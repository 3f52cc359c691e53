// Reads captured profiler events back as regions: each end is paired with the begin it
// closes, per thread. A capture may begin inside regions (ends without a begin: such a
// region begins at the capture's start, has no name and encloses what came before it)
// and stop inside them (begins without an end: they end at the capture's stop). A job's
// region closes when the job is suspended and opens again where it resumes, so each
// stretch a job ran on a thread is a region of that thread, with its steps inside it.
#pragma once

#include "corelib/system/profile-capture.h"
#include "corelib/util/types.h"

#include <string>
#include <vector>

struct ProfileRegion
{
    U64 m_begin = 0; // counter values (GetTimeNow)
    U64 m_end = 0;
    std::string m_name;
    U32 m_color = 0;
    U32 m_depth = 0;            // 0 for the outermost regions
    bool m_openAtStart = false; // began before the capture (its begin is the capture's start)
    bool m_openAtStop = false;  // still open at the stop (its end is the capture's stop)
};

struct ProfileThreadRegions
{
    U32 m_threadId = 0;
    bool m_isWorker = false;
    U64 m_droppedEvents = 0;
    std::vector<ProfileRegion> m_regions; // in the order of their begins (a parent before its children)
};

// One block of events as a thread wrote it: events from m_pEvents on up to the
// end-of-block word; a name never reaches m_pEnd (its limit plus the slack, less the
// end-of-block word), where one that did not fit was cut short.
struct ProfileEventSpan
{
    const U64* m_pEvents;
    const U64* m_pEnd;
};

// The regions of a thread's blocks, in the order it wrote them.
std::vector<ProfileRegion> ReadProfileEventSpans(const ProfileEventSpan* pSpans, U64 numSpans, U64 startTime,
                                                 U64 stopTime);
// The regions of every thread of a stopped capture.
std::vector<ProfileThreadRegions> ReadProfileCapture(const ProfileCaptureData& capture);
