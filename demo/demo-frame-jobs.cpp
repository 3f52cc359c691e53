#include "demo/demo-frame-jobs.h"

#include "corelib/job/job-descriptor.h"
#include "corelib/job/job-system.h"
#include "corelib/job/job-trace.h"
#include "corelib/memory/memory.h"
#include "corelib/system/profiler-events.h"
#include "corelib/util/msg-assert.h"

#include <cstdio>

namespace
{
constexpr oxjob::Priority kAudioPriority{0}; // time-critical
constexpr oxjob::Priority kFramePriority{2};
constexpr oxjob::Priority kClothPriority{3};

FrameWorld* s_pWorld = nullptr;
// The bounds of each row band of the frame being summarised.
ClothBounds s_bandBounds[kClothRowBands];

// The names of the frames' trace events; a trace record keeps the text's address, so the
// texts live as long as the program.
struct FrameEventNames
{
    FrameEventNames()
    {
        for (U32 frame = 0; frame < kDemoFrames; ++frame)
            snprintf(m_names[frame], sizeof(m_names[frame]), "Frame %u", frame);
    }
    char m_names[kDemoFrames][16];
};
const FrameEventNames s_frameEventNames;

// The argument of a cloth job: the frame or the solver pass in the high half, the band
// in the low half.
U64 PackArgument(U64 high, U32 band)
{
    return (high << 32) | band;
}

void AudioMixJob(U64 frame)
{
    s_pWorld->m_pCounters->CountRun();
    s_pWorld->m_pCounters->SetAudioWorker(oxjob::GetCurrentWorkerThreadIndex());
    MixAudioFrame(s_pWorld->m_pMixer, static_cast<U32>(frame),
                  s_pWorld->m_results.m_pAudio + frame * kAudioSamplesPerFrame);
}
OX_JOB_DESCRIPTOR(AudioMixJob);

void IntegrateClothJob(U64 frameAndBand)
{
    s_pWorld->m_pCounters->CountRun();
    IntegrateClothBand(s_pWorld->m_results.m_pCloth, static_cast<U32>(frameAndBand >> 32),
                       static_cast<U32>(frameAndBand));
}
OX_JOB_DESCRIPTOR(IntegrateClothJob);

void SolveClothJob(U64 passAndBand)
{
    s_pWorld->m_pCounters->CountRun();
    SolveClothPassBand(s_pWorld->m_results.m_pCloth, static_cast<U32>(passAndBand >> 32),
                       static_cast<U32>(passAndBand));
}
OX_JOB_DESCRIPTOR(SolveClothJob);

void SummariseClothJob(U64 band)
{
    s_pWorld->m_pCounters->CountRun();
    s_bandBounds[band] = SummariseClothBand(s_pWorld->m_results.m_pCloth, static_cast<U32>(band));
}
OX_JOB_DESCRIPTOR(SummariseClothJob);

// Commits one cloth step as a job array whose jobs count down a new counter; when
// `after` is a counter, the array hands out jobs only once that counter reads 0.
oxjob::CounterHandle SubmitClothStep(oxjob::JobDecl* pDecls, U32 numJobs, oxjob::CounterHandle after)
{
    oxjob::CounterHandle done = OX_ALLOCATE_COUNTER(numJobs, oxjob::kWaitForZeroOnly);
    for (U32 i = 0; i < numJobs; ++i)
        pDecls[i].m_associatedCounter = done.m_pCounter;
    oxjob::JobArray* pArray =
        after.IsValid() ? oxjob::BeginJobArray(numJobs, after, 0, oxjob::kCompareEqual, kClothPriority)
                        : oxjob::BeginJobArray(numJobs, kClothPriority);
    s_pWorld->m_pCounters->CountSubmitted(numJobs);
    oxjob::AddJobs(pArray, pDecls, numJobs);
    oxjob::CommitJobArray(pArray);
    return done;
}

oxjob::JobDecl MakeDecl(oxjob::JobEntryFunc pStartFunc, U64 startArg, U64 flags)
{
    oxjob::JobDecl decl;
    decl.m_pStartFunc = pStartFunc;
    decl.m_startArg = startArg;
    decl.m_flags = flags;
    return decl;
}

void FrameJob(U64 frame)
{
    FrameCounters& counters = *s_pWorld->m_pCounters;
    counters.CountRun();
    oxjob::AddTraceEvent(s_frameEventNames.m_names[frame % kDemoFrames]);

    // The declarations live in the frame's memory: the job's current allocator until it
    // returns, on whichever worker it resumes.
    Memory::PushAllocator(Memory::kAllocSingleGameFrame, __FILE__, __LINE__, __func__);
    constexpr U32 kNumDecls = kJobsPerFrame - 1;
    auto* pDecls = static_cast<oxjob::JobDecl*>(
        Memory::Allocate(sizeof(oxjob::JobDecl) * kNumDecls, kAlign64, __FILE__, __LINE__, __func__));
    OX_ASSERT(pDecls);
    oxjob::JobDecl* pNext = pDecls;

    // The audio mix first: it has the lowest latency budget.
    *pNext = MakeDecl(AudioMixJob, frame, oxjob::kDisallowSleep);
    oxjob::CounterHandle audioDone;
    counters.CountSubmitted(1);
    oxjob::AddTraceEvent(kAudioMixSubmittedEvent);
    oxjob::RunJobs(pNext, 1, &audioDone, kAudioPriority, ~0ull, oxjob::kWaitForZeroOnly,
                   OX_JOB_SOURCE_LOCATION);
    pNext += 1;

    // The cloth's steps, each waiting for the one before.
    BeginProfileEvent("Submit the cloth");
    oxjob::CounterHandle stepDone[1 + kClothSolverPasses];
    for (U32 band = 0; band < kClothRowBands; ++band)
        pNext[band] = MakeDecl(IntegrateClothJob, PackArgument(frame, band), oxjob::kDisallowSleep);
    stepDone[0] = SubmitClothStep(pNext, kClothRowBands, oxjob::CounterHandle{});
    pNext += kClothRowBands;
    for (U32 pass = 0; pass < kClothSolverPasses; ++pass)
    {
        const U32 numBands = GetClothPassBands(pass);
        for (U32 band = 0; band < numBands; ++band)
            pNext[band] = MakeDecl(SolveClothJob, PackArgument(pass, band), oxjob::kDisallowSleep);
        stepDone[pass + 1] = SubmitClothStep(pNext, numBands, stepDone[pass]);
        pNext += numBands;
    }

    // The summaries depend, each in its own declaration, on the last solver pass.
    for (U32 band = 0; band < kClothRowBands; ++band)
    {
        pNext[band] = MakeDecl(SummariseClothJob, band, oxjob::kDisallowSleep);
        pNext[band].m_dependentCounter = stepDone[kClothSolverPasses].m_pCounter;
        pNext[band].m_dependentValue = 0;
        pNext[band].m_dependentCompare = oxjob::kCompareEqual;
    }
    oxjob::CounterHandle summariesDone;
    counters.CountSubmitted(kClothRowBands);
    oxjob::RunJobs(pNext, kClothRowBands, &summariesDone, kClothPriority, ~0ull, oxjob::kWaitForZeroOnly,
                   OX_JOB_SOURCE_LOCATION);
    pNext += kClothRowBands;
    OX_ASSERT(pNext == pDecls + kNumDecls);
    EndProfileEvent(); // closed before the wait: a suspension closes the job's innermost region

    // This job is suspended until the cloth is done; its worker runs other jobs meanwhile.
    counters.TimedWaitForCounter(summariesDone, 0);
    BeginProfileEvent("Combine the bounds");
    s_pWorld->m_results.m_pFrameBounds[frame] = CombineClothBounds(s_bandBounds, kClothRowBands);
    EndProfileEvent();
    counters.TimedWaitForCounter(audioDone, 0);

    // Every counter has reached 0 and nothing refers to it any more.
    oxjob::FreeCounter(summariesDone);
    for (oxjob::CounterHandle counter : stepDone)
        oxjob::FreeCounter(counter);
    oxjob::FreeCounter(audioDone);
    Memory::PopAllocator();
}
OX_JOB_DESCRIPTOR(FrameJob);
} // namespace

const char* const kAudioMixSubmittedEvent = "Audio mix submitted";

void SetFrameWorld(FrameWorld* pWorld)
{
    s_pWorld = pWorld;
}

oxjob::CounterHandle SubmitFrame(U32 frame)
{
    OX_ASSERT(s_pWorld);
    // The frame job waits, so it runs on a large-stack fiber; its game category passes
    // on to the jobs it submits.
    oxjob::JobDecl decl = MakeDecl(FrameJob, frame, oxjob::kLargeStack | oxjob::kGameJob);
    oxjob::CounterHandle done;
    s_pWorld->m_pCounters->CountSubmitted(1);
    oxjob::RunJobs(&decl, 1, &done, kFramePriority, ~0ull, oxjob::kWaitForZeroOnly, OX_JOB_SOURCE_LOCATION);
    return done;
}
