// The jobs of one frame of the demo game. The host submits one frame job; the frame job,
// on a large-stack fiber, submits the rest and waits inside the job for them:
//   - the audio mix, alone at the time-critical priority (0), which emergency workers
//     serve when no regular worker took it within the emergency delay;
//   - the cloth: a job array integrating its row bands, then the solver passes, each a
//     job array that depends on the counter of the step before it (a job array waits for
//     its dependency as a whole), all at priority 3 and never sleeping;
//   - the cloth's summaries, one job per row band, each depending by itself (in its
//     declaration) on the counter of the last solver pass.
// Each frame job marks its frame with the trace event "Frame <n>" and the audio mix's
// submission with kAudioMixSubmittedEvent. The frame job then waits for the summaries (it is suspended and
// its worker runs other jobs), combines them into the frame's bounds, waits for the audio mix and frees its
// counters. Every job counts itself in the frame's counters when it starts.
#pragma once

#include "corelib/job/job-types.h"
#include "demo/demo-frame-stats.h"
#include "demo/demo-simulation.h"

// Frames the demo runs.
constexpr U32 kDemoFrames = 30;

// Jobs one frame submits: the frame job, the audio mix, the integration, every solver
// pass and the summaries.
constexpr U32 CountJobsPerFrame()
{
    U32 solver = 0;
    for (U32 pass = 0; pass < kClothSolverPasses; ++pass)
        solver += GetClothPassBands(pass);
    return 1 + 1 + kClothRowBands + solver + kClothRowBands;
}
constexpr U32 kJobsPerFrame = CountJobsPerFrame();
// Counters one frame holds at most: the frame's, the audio mix's, one per cloth step and the summaries'.
constexpr U32 kCountersPerFrame = 1 + 1 + 1 + kClothSolverPasses + 1;
// Job arrays one frame commits.
constexpr U32 kJobArraysPerFrame = 1 + 1 + 1 + kClothSolverPasses + 1;

// What the frame jobs work on and count in.
struct FrameWorld
{
    SimulationResults m_results; // the cloth, and every frame's bounds and audio
    AudioMixer* m_pMixer;
    FrameCounters* m_pCounters;
};

// The trace event the frame job adds just before it submits the audio mix, so that the
// trace shows how long the mix waited for a worker.
extern const char* const kAudioMixSubmittedEvent;

// Makes the frame jobs use this world (null to detach); call while no frame runs.
void SetFrameWorld(FrameWorld* pWorld);
// Submits the frame job of a frame from the host thread; the returned counter reaches 0
// when the whole frame is done. The host frees it.
oxjob::CounterHandle SubmitFrame(U32 frame);
