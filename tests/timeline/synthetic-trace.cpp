#include "tests/timeline/synthetic-trace.h"

namespace synthetic
{
const char* NameOf(U64 startFunction)
{
    switch (startFunction)
    {
    case kFrameJob:
        return "FrameJob";
    case kAudioJob:
        return "AudioJob";
    case kWorkJob:
        return "Work<Job>";
    default:
        return "<<<BARRIER>>>";
    }
}

oxjob::JobTraceElement Record(U64 timestamp, U8 kind, U64 subject, U32 jobId)
{
    oxjob::JobTraceElement record;
    record.m_timestamp = timestamp;
    record.m_kind = kind;
    record.m_subject = subject;
    record.m_jobId = jobId;
    return record;
}

oxjob::JobTraceElement EventRecord(U64 timestamp, const char* pText)
{
    return Record(timestamp, oxjob::kJobTraceEvent, reinterpret_cast<U64>(pText), 0);
}

std::vector<std::vector<oxjob::JobTraceElement>> TwoFrames()
{
    using namespace oxjob;
    return {
        {
            Record(0, kJobTraceStartJob, kFrameJob, 1),
            EventRecord(1, "Frame 0"),
            EventRecord(2, kAudioSubmitted),
            Record(5, kJobTraceSleepJob, kFrameJob, 1),
            Record(6, kJobTraceSuspendFiber, kFrameJob, 1),
            Record(10, kJobTraceStartJob, kWorkJob, 3),
            Record(30, kJobTraceCompleteJob, kWorkJob, 3),
            Record(40, kJobTraceStartJob, kWorkJob, 4),
            Record(45, kJobTraceCompleteJob, kWorkJob, 4),
            Record(100, kJobTraceStartJob, kFrameJob, 5),
            EventRecord(101, "Frame 1"),
            EventRecord(102, kAudioSubmitted),
            Record(104, kJobTraceSleepJob, kFrameJob, 5),
            Record(105, kJobTraceSuspendFiber, kFrameJob, 5),
        },
        {
            Record(12, kJobTraceStartJob, kAudioJob, 2),
            Record(20, kJobTraceCompleteJob, kAudioJob, 2),
            Record(50, kJobTraceResumeJob, kFrameJob, 1),
            Record(60, kJobTraceCompleteJob, kFrameJob, 1),
            Record(1215, kJobTraceResumeJob, kFrameJob, 5),
            Record(1220, kJobTraceCompleteJob, kFrameJob, 5),
        },
        {
            Record(1202, kJobTraceStartJob, kAudioJob, 6),
            Record(1210, kJobTraceCompleteJob, kAudioJob, 6),
        },
    };
}

TraceModel Model(const std::vector<std::vector<oxjob::JobTraceElement>>& records,
                 const std::vector<bool>& emergency)
{
    std::vector<WorkerTraceRecords> workers;
    for (size_t i = 0; i < records.size(); ++i)
        workers.push_back({records[i].data(), records[i].size(), i < emergency.size() && emergency[i]});
    return BuildTraceModel(workers.data(), workers.size(), kTicksPerSecond, NameOf);
}
} // namespace synthetic
