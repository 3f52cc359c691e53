#include "demo/demo-jobs.h"

#include "corelib/job/job-system.h"
#include "corelib/job/job-time-critical.h"
#include "corelib/job/job-trace.h"
#include "corelib/memory/memory.h"
#include "corelib/system/cpu-info.h"
#include "corelib/system/timing.h"
#include "corelib/util/msg-assert.h"
#include "corelib/util/msg.h"
#include "demo/demo-frame-jobs.h"
#include "demo/demo-frame-stats.h"
#include "demo/demo-memory.h"
#include "demo/demo-simulation.h"
#include "demo/demo-timeline-page.h"
#include "demo/demo-trace-export.h"
#include "demo/demo-trace-summary.h"

#include <algorithm>
#include <string>

namespace
{
constexpr U64 kEmergencyWorkers = 2;
// Room for the declarations of the job arrays that are open or not yet freed: a frame's
// arrays take kJobsPerFrame x 128 bytes plus a node each; this holds several frames.
constexpr U64 kJobDeclPoolBytes = 256 * 1024;
// Trace records a job leaves at most on one worker: start and completion, and for the
// frame job its stack switch and the sleep, suspension and resumption of each wait.
// Each worker's ring holds every record of the run, so that the export shows every frame.
constexpr U64 kTraceRecordsPerJob = 4;
constexpr U64 kTraceRecordsPerWorker = kDemoFrames * (kJobsPerFrame * kTraceRecordsPerJob + 16);
// The newest trace records printed at the end.
constexpr U64 kTraceRecordsShown = 12;

U64 RoundUp128(U64 bytes)
{
    return (bytes + 127) & ~127ull;
}

unsigned long long ToPrint(U64 value)
{
    return static_cast<unsigned long long>(value);
}

// The job system sized to this machine: a regular worker per logical processor.
oxjob::InitParams MakeDemoParams()
{
    oxjob::InitParams params;
    U64 workers = GetNumLogicalProcessors();
    workers = workers < 1 ? 1 : workers;
    workers = workers > oxjob::kMaxWorkerThreads - kEmergencyWorkers
                  ? oxjob::kMaxWorkerThreads - kEmergencyWorkers
                  : workers;
    params.m_numWorkerThreads = workers;
    params.m_numEmergencyWorkerThreads = kEmergencyWorkers;
    // Frames run one after another; two frames' worth leaves room for the host's own.
    params.m_numCounters = 4 * kCountersPerFrame;
    params.m_numJobArrays = 8 * kJobArraysPerFrame;
    // Every worker runs on a small fiber; the few waiting jobs and the frame job's large
    // stack need a handful more.
    const U64 smallFibers = workers + kEmergencyWorkers + 16;
    params.m_maxSmallJobFibers =
        smallFibers < oxjob::kMaxSmallJobFibers ? smallFibers : oxjob::kMaxSmallJobFibers;
    params.m_maxLargeJobFibers = 4;
    return params;
}

// An array of plain values from a memory context's allocator.
template <typename T>
T* AllocateArray(Memory::Context context, U64 count)
{
    Memory::SetAllocSourceLocation(__FILE__, __LINE__, __func__);
    return static_cast<T*>(operator new[](sizeof(T) * count, context, kAlign128));
}

constexpr U64 SimulationResultsBytes()
{
    return ((sizeof(ClothPoint) * kClothPoints + 127) & ~127ull) +
           ((sizeof(ClothBounds) * kDemoFrames + 127) & ~127ull) +
           ((sizeof(F32) * kAudioSamplesPerFrame * kDemoFrames + 127) & ~127ull);
}

SimulationResults AllocateSimulationResults()
{
    SimulationResults results;
    results.m_pCloth = AllocateArray<ClothPoint>(Memory::kAllocPhysicsPersistent, kClothPoints);
    results.m_pFrameBounds = AllocateArray<ClothBounds>(Memory::kAllocPhysicsPersistent, kDemoFrames);
    results.m_pAudio =
        AllocateArray<F32>(Memory::kAllocPhysicsPersistent, kAudioSamplesPerFrame * kDemoFrames);
    InitCloth(results.m_pCloth);
    return results;
}

// Runs the frames on jobs and prints the table; the host thread waits for each frame.
void RunFrames(FrameWorld& world, FrameCounters& counters)
{
    FrameRecord records[kDemoFrames];
    PrintToMsgOutput(
        kMsgChannelInfo,
        "\nFrame loop: %u frames, each submitting %u jobs: the frame job, the audio mix "
        "(time-critical), the cloth of %u x %u points (integration, %u solver passes, summaries)\n",
        kDemoFrames, kJobsPerFrame, kClothWidth, kClothHeight, kClothSolverPasses);
    PrintFrameTableHeading();
    SetFrameWorld(&world);
    for (U32 frame = 0; frame < kDemoFrames; ++frame)
    {
        // The frame memory of the frame before last is free again.
        Memory::ResetAllocator(Memory::kAllocSingleGameFrame, false);
        counters.Reset();
        const U64 begin = GetTimeNow();
        const oxjob::CounterHandle frameDone = SubmitFrame(frame);
        // This thread yields until the frame is done; that wait is the frame time itself,
        // so the table counts only the waits inside the frame's jobs.
        oxjob::WaitForCounter(frameDone, 0);
        const U64 end = GetTimeNow();
        oxjob::FreeCounter(frameDone);
        records[frame] = MakeFrameRecord(frame, end - begin, counters);
        PrintFrameTableLine(records[frame]);
    }
    SetFrameWorld(nullptr);
    PrintFrameTableTotals(records, kDemoFrames);
}

// Runs the serial reference and says whether the jobs computed the same.
bool CheckSimulation(const SimulationResults& jobResults)
{
    const SimulationResults reference = AllocateSimulationResults();
    RunSerialSimulation(kDemoFrames, reference);
    const ClothBounds& last = jobResults.m_pFrameBounds[kDemoFrames - 1];
    PrintToMsgOutput(
        kMsgChannelInfo,
        "\nCloth after %u frames: x %.4f .. %.4f, y %.4f .. %.4f, z %.4f .. %.4f, mean height %.5f\n",
        kDemoFrames, last.m_min[0], last.m_max[0], last.m_min[1], last.m_max[1], last.m_min[2], last.m_max[2],
        last.m_sumY / static_cast<F32>(kClothPoints));
    const SimulationComparison comparison = CompareSimulations(kDemoFrames, jobResults, reference);
    if (comparison.Matches())
    {
        PrintToMsgOutput(
            kMsgChannelInfo,
            "Simulation check: the results of the jobs match the serial reference (%u cloth points, "
            "%u frame bounds, %u audio samples)\n",
            kClothPoints, kDemoFrames, kDemoFrames * kAudioSamplesPerFrame);
        return true;
    }
    PrintErrorToMsgOutput(
        kMsgChannelInfo,
        "Simulation check: the results of the jobs differ from the serial reference: %u of %u "
        "cloth points (largest difference %g), %u of %u frame bounds, %u of %u audio samples\n",
        comparison.m_clothMismatches, kClothPoints, comparison.m_maxClothDifference,
        comparison.m_boundsMismatches, kDemoFrames, comparison.m_audioMismatches,
        kDemoFrames * kAudioSamplesPerFrame);
    return false;
}

// The emergency workers' delay in nanoseconds: the parameter counts 300 x 2^32 units a second.
U64 EmergencyDelayNanoseconds(const oxjob::InitParams& params)
{
    return static_cast<U64>(static_cast<F64>(params.m_emergencyWorkerDelay) * 1e9 / (300.0 * 4294967296.0) +
                            0.5);
}

// Prints the trace's summary of the frames: the job names, the workers' busy shares and
// where the audio mix ran, and why.
void PrintTraceSummary(const TraceSummary& summary)
{
    // Line by line: a message has a bounded length, the summary grows with the workers.
    const std::string text = FormatTraceSummary(summary);
    PrintToMsgOutput(kMsgChannelInfo, "\n");
    for (size_t begin = 0; begin < text.size();)
    {
        const size_t end = std::min(text.find('\n', begin), text.size());
        PrintToMsgOutput(kMsgChannelInfo, "%.*s\n", static_cast<int>(end - begin), text.c_str() + begin);
        begin = end + 1;
    }
}

// Writes the trace-event JSON file and the timeline page beside it.
bool ExportTrace(const char* pPath, const LiveJobTrace& trace, const TraceModel& model,
                 const TraceSummary& summary)
{
    TraceExportSummary written;
    if (!WriteTraceEventFile(pPath, model, &written))
    {
        PrintErrorToMsgOutput(kMsgChannelInfo, "Job trace: cannot write the trace-event file '%s'\n", pPath);
        return false;
    }
    PrintToMsgOutput(
        kMsgChannelInfo,
        "Job trace: %llu records of %llu workers written to '%s' (trace-event JSON): %llu job slices, "
        "%llu jobs started, %llu suspension-to-resumption flows, %llu instant marks, %llu frames%s\n",
        ToPrint(written.m_records), ToPrint(written.m_workers), pPath, ToPrint(written.m_slices),
        ToPrint(written.m_jobsStarted), ToPrint(written.m_flows), ToPrint(written.m_instants),
        ToPrint(written.m_frames),
        trace.m_wrapped ? "; a worker's ring was full, its oldest records are missing" : "");
    const std::string pagePath = TimelinePagePath(pPath);
    if (!WriteTimelinePageFile(pagePath.c_str(), model, summary))
    {
        PrintErrorToMsgOutput(kMsgChannelInfo, "Job trace: cannot write the timeline page '%s'\n",
                              pagePath.c_str());
        return false;
    }
    PrintToMsgOutput(kMsgChannelInfo, "Timeline page: '%s' (open it in any browser)\n", pagePath.c_str());
    return true;
}
} // namespace

int RunJobSystemDemo(const DemoOptions& options)
{
    const oxjob::InitParams defaults;
    oxjob::InitParams params = MakeDemoParams();
    const U64 totalWorkers = params.m_numWorkerThreads + params.m_numEmergencyWorkerThreads;
    const U64 defaultBytes = oxjob::GetRequiredMemoryBufferSize(defaults);
    const U64 requiredBytes = oxjob::GetRequiredMemoryBufferSize(params);
    const U64 jobSystemBytes = RoundUp128(requiredBytes + kJobDeclPoolBytes);
    const U64 traceShare = RoundUp128(kTraceRecordsPerWorker * sizeof(oxjob::JobTraceElement));

    PrintToMsgOutput(
        kMsgChannelInfo,
        "\nJob system: %llu regular workers (one per logical processor) and %llu emergency workers "
        "(the defaults are %llu and %llu), %llu counters, %llu job arrays, %llu small and %llu large "
        "fibers\n",
        ToPrint(params.m_numWorkerThreads), ToPrint(params.m_numEmergencyWorkerThreads),
        ToPrint(defaults.m_numWorkerThreads), ToPrint(defaults.m_numEmergencyWorkerThreads),
        ToPrint(params.m_numCounters), ToPrint(params.m_numJobArrays), ToPrint(params.m_maxSmallJobFibers),
        ToPrint(params.m_maxLargeJobFibers));
    PrintToMsgOutput(
        kMsgChannelInfo,
        "Job system memory: Initialize needs %llu bytes for the default parameters and %llu bytes for "
        "the demo's, plus %llu bytes of job declaration pool (%llu bytes in all); trace %llu bytes "
        "(%llu records per worker)\n",
        ToPrint(defaultBytes), ToPrint(requiredBytes), ToPrint(jobSystemBytes - requiredBytes),
        ToPrint(jobSystemBytes), ToPrint(traceShare * totalWorkers),
        ToPrint(traceShare / sizeof(oxjob::JobTraceElement)));

    DemoMemory memory;
    DemoMemoryBudgets budgets;
    budgets.m_jobSystem = jobSystemBytes;
    budgets.m_jobTrace = traceShare * totalWorkers;
    // The jobs' results, the reference's and the mixer, each block rounded to 128 bytes.
    budgets.m_simulation = 2 * SimulationResultsBytes() + RoundUp128(sizeof(AudioMixer));
    budgets.m_frame = RoundUp128(kJobsPerFrame * sizeof(oxjob::JobDecl) + 128);
    memory.Setup(budgets);
    memory.PrintMap();

    params.m_pMemoryBuffer = Memory::AllocateFromMemoryMap(kDemoMapJobSystem, __FILE__, __LINE__, __func__);
    params.m_memoryBufferSize = budgets.m_jobSystem;
    params.m_pTraceMemoryBuffer =
        Memory::AllocateFromMemoryMap(kDemoMapJobTrace, __FILE__, __LINE__, __func__);
    params.m_traceMemoryBufferSize = budgets.m_jobTrace;

    const SimulationResults jobResults = AllocateSimulationResults();
    AudioMixer* pMixer = AllocateArray<AudioMixer>(Memory::kAllocPhysicsPersistent, 1);
    InitAudioMixer(pMixer);

    const Err started = oxjob::Initialize(&params);
    OX_ASSERT(started.IsSuccess());
    // Idle regular workers sleep instead of spinning between frames.
    oxjob::SetPowerSaveEnabled(true);

    FrameCounters counters;
    FrameWorld world{jobResults, pMixer, &counters};
    RunFrames(world, counters);
    // The workers are idle now: the trace holds every frame.
    const LiveJobTrace trace = CopyLiveJobTrace();
    const TraceModel model = BuildLiveTraceModel(trace);
    const TraceSummary summary =
        SummariseTrace(model, {"AudioMixJob", kAudioMixSubmittedEvent, EmergencyDelayNanoseconds(params)});
    PrintTraceSummary(summary);

    const bool simulationMatches = CheckSimulation(jobResults);
    const bool traceWritten =
        !options.m_pJobTracePath || ExportTrace(options.m_pJobTracePath, trace, model, summary);

    PrintToMsgOutput(kMsgChannelInfo, "\n");
    oxjob::PrintJobSystemData();
    PrintToMsgOutput(kMsgChannelInfo, "\nThe newest %llu records of the job trace:\n",
                     ToPrint(kTraceRecordsShown));
    oxjob::DumpRecentJobTrace(kTraceRecordsShown, kMsgChannelInfo);

    oxjob::Shutdown();
    Memory::Free(params.m_pTraceMemoryBuffer, __FILE__, __LINE__, __func__);
    Memory::Free(params.m_pMemoryBuffer, __FILE__, __LINE__, __func__);
    const bool memoryReturned = memory.Shutdown();
    return simulationMatches && traceWritten && memoryReturned ? 0 : 1;
}
