// A small made-up job trace of two frames on three workers (worker 2 an emergency worker),
// one tick a microsecond, for the tests of what is made of a trace: its model, summary
// and timeline page. Every figure the tests expect is worked out beside the records.
#pragma once

#include "corelib/timeline/trace-model.h"

#include <vector>

namespace synthetic
{
// Stand-ins for start functions: only their names matter.
constexpr U64 kFrameJob = 0x1000;
constexpr U64 kAudioJob = 0x2000;
constexpr U64 kWorkJob = 0x3000;
constexpr const char* kAudioSubmitted = "Audio submitted";
constexpr U64 kTicksPerSecond = 1000000;

const char* NameOf(U64 startFunction);

oxjob::JobTraceElement Record(U64 timestamp, U8 kind, U64 subject, U32 jobId);
oxjob::JobTraceElement EventRecord(U64 timestamp, const char* pText);

// Frame 0: FrameJob (job 1) starts on worker 0 at 0, marks the frame and the audio mix's
// submission (2), is suspended at 6 and resumes on worker 1 from 50 to 60. Worker 0 runs
// WorkJob 3 (10..30) and 4 (40..45); worker 1 the audio mix, job 2, 12..20 (10 us after
// its submission).
// Frame 1: FrameJob (job 5) on worker 0, 100..105, submits the audio mix at 102 and
// resumes on worker 1, 1215..1220; the emergency worker 2 runs the audio mix, job 6,
// 1202..1210 (1100 us after its submission).
std::vector<std::vector<oxjob::JobTraceElement>> TwoFrames();

// The model of a trace; the records must outlive it.
TraceModel Model(const std::vector<std::vector<oxjob::JobTraceElement>>& records,
                 const std::vector<bool>& emergency);
} // namespace synthetic
