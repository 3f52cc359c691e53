// The trace summary's figures, worked out by hand from a small made-up trace: per job
// name the jobs, running time, the longest job and the waits; per worker the busy time
// within the frames; where the time-critical job ran and how soon after its submission.
#include "corelib/timeline/trace-summary.h"
#include "tests/timeline/synthetic-trace.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{
using namespace synthetic;

constexpr U64 kUs = 1000; // nanoseconds
const TimeCriticalJob kAudio = {"AudioJob", kAudioSubmitted, 1000 * kUs};

TEST(TraceSummaryTest, FiguresOfTwoFrames)
{
    const auto records = TwoFrames();
    const TraceModel model = Model(records, {false, false, true});
    const TraceSummary summary = SummariseTrace(model, kAudio);

    // By running time, longest first.
    struct Expected
    {
        const char* m_name;
        U64 m_jobs;
        U64 m_runTime;
        U64 m_longest;
        U64 m_waits;
        U64 m_waitTime;
    };
    const Expected kJobs[] = {
        // 0..6 + 50..60 and 100..105 + 1215..1220; waits 6..50 and 105..1215.
        {"FrameJob", 2, 26 * kUs, 16 * kUs, 2, 1154 * kUs},
        {"Work<Job>", 2, 25 * kUs, 20 * kUs, 0, 0},
        {"AudioJob", 2, 16 * kUs, 8 * kUs, 0, 0},
    };
    ASSERT_EQ(summary.m_jobs.size(), std::size(kJobs));
    for (size_t i = 0; i < std::size(kJobs); ++i)
    {
        SCOPED_TRACE(kJobs[i].m_name);
        const JobNameFigures& job = summary.m_jobs[i];
        EXPECT_EQ(job.m_name, kJobs[i].m_name);
        EXPECT_EQ(job.m_jobs, kJobs[i].m_jobs);
        EXPECT_EQ(job.m_runTime, kJobs[i].m_runTime);
        EXPECT_EQ(job.m_longest, kJobs[i].m_longest);
        EXPECT_EQ(job.m_waits, kJobs[i].m_waits);
        EXPECT_EQ(job.m_waitTime, kJobs[i].m_waitTime);
    }

    // The frames run from 0 to 1220.
    EXPECT_EQ(summary.m_frames, 2u);
    EXPECT_EQ(summary.m_window, 1220 * kUs);
    ASSERT_EQ(summary.m_workers.size(), 3u);
    EXPECT_EQ(summary.m_workers[0].m_busy, 36 * kUs);
    EXPECT_EQ(summary.m_workers[0].m_slices, 4u);
    EXPECT_EQ(summary.m_workers[1].m_busy, 23 * kUs);
    EXPECT_EQ(summary.m_workers[2].m_busy, 8 * kUs);
    EXPECT_TRUE(summary.m_workers[2].m_isEmergency);
    EXPECT_EQ(summary.m_workers[2].m_name, "Worker 2 (emergency)");

    const TimeCriticalFigures& audio = summary.m_timeCriticalFigures;
    EXPECT_EQ(audio.m_runs, 2u);
    EXPECT_EQ(audio.m_onEmergency, 1u);
    EXPECT_EQ(audio.m_regularDelays, std::vector<U64>{10 * kUs});
    EXPECT_EQ(audio.m_emergencyDelays, std::vector<U64>{1100 * kUs});
    EXPECT_EQ(audio.m_regularWithinDelay, 1u);
    // From 102 to 1202 worker 0 ran FrameJob 102..105, worker 1 nothing: 3 of 2 x 1100 us.
    EXPECT_EQ(audio.m_regularTimeWhileWaiting, 2200 * kUs);
    EXPECT_EQ(audio.m_regularBusyWhileWaiting, 3 * kUs);

    const std::string text = FormatTraceSummary(summary);
    SCOPED_TRACE(text);
    EXPECT_NE(text.find("Job trace summary: 2 frames, 1.220 ms"), std::string::npos);
    EXPECT_NE(text.find("FrameJob                    2     0.026       0.016      2       1.154\n"),
              std::string::npos);
    EXPECT_NE(text.find("Worker 0                 3.0%       4\n"), std::string::npos);
    EXPECT_NE(text.find("Worker 2 (emergency)     0.7%       1\n"), std::string::npos);
    EXPECT_NE(
        text.find(
            "AudioJob ran on an emergency worker in 1 of 2 runs: a regular worker started it 10 us after "
            "its submission"),
        std::string::npos);
    EXPECT_NE(text.find("always within the emergency delay of 1000 us"), std::string::npos);
    EXPECT_NE(
        text.find("On emergency workers it started 1100 us after its submission, once the delay had passed; "
                  "meanwhile the regular workers were running other jobs 0% of the time"),
        std::string::npos);
}

TEST(TraceSummaryTest, EachStartTakesItsOwnSubmission)
{
    // Submitted at 0 and 2000; started at 300 and 400 (the second has no submission of its
    // own), then at 2500, later than the delay, on a regular worker.
    const std::vector<std::vector<oxjob::JobTraceElement>> records = {{
        EventRecord(0, kAudioSubmitted),
        Record(300, oxjob::kJobTraceStartJob, kAudioJob, 1),
        Record(350, oxjob::kJobTraceCompleteJob, kAudioJob, 1),
        Record(400, oxjob::kJobTraceStartJob, kAudioJob, 2),
        Record(450, oxjob::kJobTraceCompleteJob, kAudioJob, 2),
        EventRecord(1000, kAudioSubmitted),
        EventRecord(2000, kAudioSubmitted),
        Record(3500, oxjob::kJobTraceStartJob, kAudioJob, 3),
        Record(3600, oxjob::kJobTraceCompleteJob, kAudioJob, 3),
    }};
    const TraceModel model = Model(records, {false});
    const TraceSummary summary = SummariseTrace(model, kAudio);
    const TimeCriticalFigures& audio = summary.m_timeCriticalFigures;
    EXPECT_EQ(audio.m_runs, 3u);
    EXPECT_EQ(audio.m_onEmergency, 0u);
    EXPECT_EQ(audio.m_regularDelays, (std::vector<U64>{300 * kUs, 1500 * kUs}));
    EXPECT_EQ(audio.m_regularWithinDelay, 1u);
    // Without frames the busy share refers to the whole trace.
    EXPECT_EQ(summary.m_frames, 0u);
    EXPECT_EQ(summary.m_window, 3600 * kUs);
    EXPECT_EQ(summary.m_workers[0].m_busy, 200 * kUs);
    const std::string why = ExplainTimeCriticalJob(summary);
    EXPECT_NE(why.find("in 0 of 3 runs"), std::string::npos) << why;
    EXPECT_NE(
        why.find(
            "started it 300 us (median of 2; longest 1500 us) after its submission, not always within the "
            "emergency delay of 1000 us (1 of 2 within it)"),
        std::string::npos)
        << why;
}

TEST(TraceSummaryTest, ATimeCriticalJobMissingFromTheTraceIsSaidSo)
{
    const auto records = TwoFrames();
    const TraceModel model = Model(records, {false, false, true});
    const TraceSummary summary = SummariseTrace(model, {"MixJob", kAudioSubmitted, 1000 * kUs});
    EXPECT_EQ(summary.m_timeCriticalFigures.m_runs, 0u);
    EXPECT_EQ(ExplainTimeCriticalJob(summary), "MixJob does not appear in the trace.");
}
} // namespace
