// End-to-end runs of the demo game: started directly (its exit code and output), and
// started by the real launcher in a run folder (its copy in marrow-output.txt, which it
// finishes with marrow-output.done). Both runs ask for the job trace as trace-event JSON.
// The checks: the per-frame table is complete and consistent with what the demo submits,
// the simulation matched its serial reference, the job system's pool report and trace
// lines are there, the trace's summary agrees with the table, the JSON parses and shows
// one track per worker and a "Frames" track, slices that agree with the table and flows
// that lead from a suspension to a resumption of the same job, and the timeline page
// beside it draws them.
#include "corelib/job/job-system.h"
#include "corelib/system/cpu-info.h"
#include "demo/demo-frame-jobs.h"
#include "tests/demo/mini-json.h"
#include "tests/launcher/launcher-process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace fs = std::filesystem;

namespace
{
constexpr const char* kTraceFile = "demo-trace.json";
constexpr const char* kPageFile = "demo-trace.html";
const std::set<std::string> kJobNames = {"FrameJob", "AudioMixJob", "IntegrateClothJob", "SolveClothJob",
                                         "SummariseClothJob"};
// The steps the demo's jobs mark with profiler regions.
const std::set<std::string> kStepNames = {
    "Verlet step", "Links: even rows", "Links: odd rows",     "Links: even columns", "Links: odd columns",
    "Bounds",      "Voice gains",      "Oscillators and mix", "Submit the cloth",    "Combine the bounds"};

std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The text without carriage returns (a Windows console output ends its lines with them).
std::string WithoutCarriageReturns(std::string text)
{
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::stringstream stream(text);
    std::string line;
    while (std::getline(stream, line))
    {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

// The first line that starts with the prefix, or -1.
int FindLine(const std::vector<std::string>& lines, const std::string& prefix, int from = 0)
{
    for (int i = from; i < static_cast<int>(lines.size()); ++i)
        if (lines[i].compare(0, prefix.size(), prefix) == 0)
            return i;
    return -1;
}

// The regular and emergency workers the demo sizes the job system with on this machine.
U64 ExpectedRegularWorkers()
{
    const U64 logical = GetNumLogicalProcessors();
    return logical < 1 ? 1
                       : (logical > oxjob::kMaxWorkerThreads - 2 ? oxjob::kMaxWorkerThreads - 2 : logical);
}

// What the checks of the output learnt, for the checks of the JSON file.
struct DemoReport
{
    U64 m_totalWorkers = 0;
    U64 m_jobsRun = 0;
    unsigned long long m_slices = 0;
    unsigned long long m_jobsStarted = 0;
    unsigned long long m_flows = 0;
    unsigned long long m_frames = 0;
    std::vector<std::string> m_frameTimes; // the table's time column, as printed
    unsigned m_audioOnEmergency = 0;
};

// Checks the frame table: one line per frame, in order, each frame having run exactly
// the jobs the demo submits, waited at least once and no wait longer than the frame.
void CheckFrameTable(const std::vector<std::string>& lines, DemoReport& report)
{
    const int heading =
        FindLine(lines, "frame   time ms  submitted  jobs run  waits  longest wait ms  audio mix on");
    ASSERT_GE(heading, 0) << "no frame table";
    ASSERT_LT(heading + static_cast<int>(kDemoFrames) + 1, static_cast<int>(lines.size()));
    double sumTime = 0.0;
    unsigned long long sumSubmitted = 0;
    unsigned long long sumRun = 0;
    unsigned long long sumWaits = 0;
    for (U32 frame = 0; frame < kDemoFrames; ++frame)
    {
        const std::string& line = lines[heading + 1 + frame];
        SCOPED_TRACE(line);
        unsigned index = 0;
        double timeMs = 0;
        unsigned submitted = 0;
        unsigned run = 0;
        unsigned waits = 0;
        double longestMs = 0;
        ASSERT_EQ(sscanf(line.c_str(), "%u %lf %u %u %u %lf", &index, &timeMs, &submitted, &run, &waits,
                         &longestMs),
                  6);
        EXPECT_EQ(index, frame);
        EXPECT_GT(timeMs, 0.0);
        char timeText[32];
        snprintf(timeText, sizeof(timeText), "%.3f", timeMs);
        report.m_frameTimes.push_back(timeText);
        EXPECT_EQ(submitted, kJobsPerFrame);
        EXPECT_EQ(run, submitted);
        EXPECT_GE(waits, 1u);
        EXPECT_GE(longestMs, 0.0);
        EXPECT_LE(longestMs, timeMs);
        // The time-critical audio mix ran on one of the workers.
        const size_t worker = line.find("worker ");
        ASSERT_NE(worker, std::string::npos);
        EXPECT_LT(std::stoull(line.substr(worker + 7)), report.m_totalWorkers);
        sumTime += timeMs;
        sumSubmitted += submitted;
        sumRun += run;
        sumWaits += waits;
    }
    const std::string& totals = lines[heading + 1 + kDemoFrames];
    SCOPED_TRACE(totals);
    double totalTime = 0;
    unsigned long long totalSubmitted = 0;
    unsigned long long totalRun = 0;
    unsigned long long totalWaits = 0;
    ASSERT_EQ(sscanf(totals.c_str(), "total %lf %llu %llu %llu", &totalTime, &totalSubmitted, &totalRun,
                     &totalWaits),
              4);
    EXPECT_NEAR(totalTime, sumTime, 0.001 * kDemoFrames);
    EXPECT_EQ(totalSubmitted, sumSubmitted);
    EXPECT_EQ(totalRun, sumRun);
    EXPECT_EQ(totalWaits, sumWaits);
    report.m_jobsRun = totalRun;
    const size_t audio = totals.find("audio mix on an emergency worker in ");
    ASSERT_NE(audio, std::string::npos);
    report.m_audioOnEmergency = static_cast<unsigned>(std::stoul(totals.substr(audio + 36)));
}

// Checks the trace's summary after the frame table: a line per job name with the jobs the
// demo runs, a line per worker, and where the audio mix ran as the table counted it.
void CheckTraceSummary(const std::vector<std::string>& lines, const DemoReport& report)
{
    const int heading = FindLine(lines, "Job trace summary: ");
    ASSERT_GE(heading, 0) << "no trace summary";
    EXPECT_GT(heading, FindLine(lines, "total ")) << "after the frame table";
    EXPECT_EQ(lines[heading].find("Job trace summary: " + std::to_string(kDemoFrames) + " frames, "), 0u)
        << lines[heading];
    ASSERT_EQ(lines[heading + 1], "job                      jobs    run ms  longest ms  waits  waiting ms");
    const std::map<std::string, U64> kJobs = {
        {"FrameJob", kDemoFrames},
        {"AudioMixJob", kDemoFrames},
        {"IntegrateClothJob", kDemoFrames * kClothRowBands},
        {"SolveClothJob", kDemoFrames * (kJobsPerFrame - 2 - 2 * kClothRowBands)},
        {"SummariseClothJob", kDemoFrames * kClothRowBands}};
    std::map<std::string, U64> jobs;
    int line = heading + 2;
    for (; line < static_cast<int>(lines.size()) && lines[line].compare(0, 6, "worker") != 0; ++line)
    {
        char name[64] = {};
        unsigned long long count = 0;
        double runMs = 0;
        double longestMs = 0;
        ASSERT_EQ(sscanf(lines[line].c_str(), "%63s %llu %lf %lf", name, &count, &runMs, &longestMs), 4)
            << lines[line];
        EXPECT_GE(runMs, longestMs) << lines[line];
        jobs[name] = count;
    }
    EXPECT_EQ(jobs, kJobs);
    ASSERT_LT(line, static_cast<int>(lines.size()));
    EXPECT_EQ(lines[line], "worker                   busy  slices");
    for (U64 worker = 0; worker < report.m_totalWorkers; ++worker)
        EXPECT_EQ(lines[line + 1 + worker].compare(0, 7 + std::to_string(worker).size(),
                                                   "Worker " + std::to_string(worker)),
                  0)
            << lines[line + 1 + worker];
    const std::string& why = lines[line + 1 + report.m_totalWorkers];
    EXPECT_EQ(why.find("AudioMixJob ran on an emergency worker in " +
                       std::to_string(report.m_audioOnEmergency) + " of " + std::to_string(kDemoFrames) +
                       " runs"),
              0u)
        << why;
    EXPECT_NE(why.find("emergency delay of 1000 us"), std::string::npos) << why;
}

// Checks everything the demo printed; fills the report for the JSON checks.
void CheckDemoOutput(const std::string& output, DemoReport& report)
{
    const std::vector<std::string> lines = SplitLines(output);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "marrow demo");
    EXPECT_NE(output.find(std::string("[") + kTraceFile + "]"), std::string::npos)
        << "the arguments are echoed";

    // Sized to the machine.
    const int sizing = FindLine(lines, "Job system: ");
    ASSERT_GE(sizing, 0);
    unsigned long long regular = 0;
    unsigned long long emergency = 0;
    ASSERT_EQ(sscanf(lines[sizing].c_str(),
                     "Job system: %llu regular workers (one per logical processor) and %llu", &regular,
                     &emergency),
              2);
    EXPECT_EQ(regular, ExpectedRegularWorkers());
    report.m_totalWorkers = regular + emergency;

    // Both buffer sizes, the default parameters' as the library computes them here.
    const int memory = FindLine(lines, "Job system memory: ");
    ASSERT_GE(memory, 0);
    unsigned long long defaultBytes = 0;
    unsigned long long demoBytes = 0;
    ASSERT_EQ(
        sscanf(lines[memory].c_str(),
               "Job system memory: Initialize needs %llu bytes for the default parameters and %llu bytes",
               &defaultBytes, &demoBytes),
        2);
    EXPECT_EQ(defaultBytes, oxjob::GetRequiredMemoryBufferSize(oxjob::InitParams()));
    EXPECT_GT(demoBytes, 0u);
    EXPECT_GE(FindLine(lines, "MEMORY MAP:"), 0);

    CheckFrameTable(lines, report);
    if (testing::Test::HasFatalFailure())
        return;

    CheckTraceSummary(lines, report);
    EXPECT_GE(FindLine(lines, "Simulation check: the results of the jobs match the serial reference"), 0);

    const int trace = FindLine(lines, "Job trace: ");
    ASSERT_GE(trace, 0);
    unsigned long long records = 0;
    unsigned long long workers = 0;
    ASSERT_EQ(sscanf(lines[trace].c_str(), "Job trace: %llu records of %llu workers", &records, &workers), 2);
    EXPECT_EQ(workers, report.m_totalWorkers);
    const size_t counts = lines[trace].find("(trace-event JSON): ");
    ASSERT_NE(counts, std::string::npos);
    unsigned long long instants = 0;
    ASSERT_EQ(
        sscanf(lines[trace].c_str() + counts,
               "(trace-event JSON): %llu job slices, %llu jobs started, %llu suspension-to-resumption flows, "
               "%llu instant marks, %llu frames",
               &report.m_slices, &report.m_jobsStarted, &report.m_flows, &instants, &report.m_frames),
        5);
    EXPECT_EQ(report.m_frames, kDemoFrames);
    EXPECT_EQ(lines[trace + 1], std::string("Timeline page: '") + kPageFile + "' (open it in any browser)");
    EXPECT_EQ(lines[trace].find("ring was full"), std::string::npos) << "the trace rings hold every frame";
    // Every job of every frame started once, on some worker, and the trace shows it.
    EXPECT_EQ(report.m_jobsStarted, report.m_jobsRun);
    EXPECT_GE(report.m_slices, report.m_jobsStarted + report.m_flows);

    // The pool report: every counter and wait context came back (job arrays are freed by
    // the workers' next scan, so their count may still include the last frame's).
    const int pools = FindLine(lines, "=========================[ Job System Data]=========================");
    ASSERT_GE(pools, 0);
    EXPECT_GE(FindLine(lines, "   Counters:     0 / ", pools), 0);
    EXPECT_GE(FindLine(lines, "   Job Array:    ", pools), 0);
    EXPECT_GE(FindLine(lines, "   Wait Context: 0 / 64", pools), 0);

    // The newest trace records, in the library's format, naming the demo's jobs.
    const int newest = FindLine(lines, "The newest 12 records of the job trace:");
    ASSERT_GE(newest, 0);
    int traceLines = 0;
    for (int i = newest + 1; i < static_cast<int>(lines.size()) && lines[i].compare(0, 3, "(0x") == 0; ++i)
    {
        EXPECT_NE(lines[i].find(") - Thread ["), std::string::npos) << lines[i];
        ++traceLines;
    }
    EXPECT_EQ(traceLines, 12);
    EXPECT_NE(output.find("Completed job "), std::string::npos);
    EXPECT_NE(output.find("\"FrameJob\""), std::string::npos);

    EXPECT_GE(FindLine(lines, "Memory: system pool peak "), 0);
    EXPECT_NE(output.find(", 0 bytes still allocated"), std::string::npos);
}

struct Slice
{
    double m_begin;
    double m_end;
    unsigned m_job;
    bool m_resumed;
};

// The slice of the track that holds the time, or null.
const Slice* SliceAt(const std::vector<Slice>& track, double time)
{
    for (const Slice& slice : track)
        if (slice.m_begin <= time && time <= slice.m_end)
            return &slice;
    return nullptr;
}

double Number(const JsonValue& event, const char* pKey)
{
    const JsonValue* pValue = event.Find(pKey);
    EXPECT_TRUE(pValue && pValue->m_kind == JsonValue::kNumber) << pKey;
    return pValue && pValue->m_kind == JsonValue::kNumber ? pValue->m_number : -1.0;
}

std::string Text(const JsonValue& event, const char* pKey)
{
    const JsonValue* pValue = event.Find(pKey);
    return pValue && pValue->m_kind == JsonValue::kString ? pValue->m_string : std::string();
}

// The number of times the text occurs.
size_t CountOf(const std::string& text, const std::string& what)
{
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

// Checks the timeline page beside the trace: a lane per worker, a bar per slice, a frame
// box per frame, an arrow per flow and a legend entry per job name.
void CheckTimelinePage(const fs::path& path, const DemoReport& report)
{
    const std::string html = ReadFile(path);
    ASSERT_FALSE(html.empty()) << path;
    // The workers' lanes and the host's (the traced run captures the host thread too).
    EXPECT_EQ(CountOf(html, "<rect class=\"lane"), report.m_totalWorkers + 1);
    EXPECT_EQ(CountOf(html, "<rect class=\"lane host"), 1u);
    EXPECT_GE(CountOf(html, "<rect class=\"region\""), kDemoFrames * 3);
    EXPECT_NE(html.find("<table id=\"locks\">"), std::string::npos);
    EXPECT_EQ(CountOf(html, "<rect class=\"lane emergency"),
              report.m_totalWorkers - ExpectedRegularWorkers());
    EXPECT_EQ(CountOf(html, "<rect class=\"bar\""), report.m_slices);
    EXPECT_EQ(CountOf(html, "<rect class=\"frame\""), report.m_frames);
    EXPECT_EQ(CountOf(html, "<path class=\"wait\" data-job="), report.m_flows);
    EXPECT_EQ(CountOf(html, "<tr class=\"legend-entry\""), kJobNames.size());
    // One definition of a frame's length: the page's frame selector says what the table says.
    for (size_t frame = 0; frame < report.m_frameTimes.size(); ++frame)
    {
        const std::string option = "<option value=\"" + std::to_string(frame) + "\">Frame " +
                                   std::to_string(frame) + " (" + report.m_frameTimes[frame] + " ms)";
        EXPECT_NE(html.find(option), std::string::npos) << option;
    }
    EXPECT_NE(html.find("</html>"), std::string::npos);
}

// Parses the trace file and checks it against what the demo reported.
void CheckTraceJson(const fs::path& path, const DemoReport& report)
{
    const std::string text = ReadFile(path);
    ASSERT_FALSE(text.empty()) << path;
    JsonValue document;
    std::string error;
    ASSERT_TRUE(ParseJson(text, &document, &error)) << error;
    const JsonValue* pEvents = document.Find("traceEvents");
    ASSERT_TRUE(pEvents && pEvents->m_kind == JsonValue::kArray);

    std::set<U64> namedTracks;
    std::map<U64, std::string> trackNames;
    std::vector<std::pair<double, double>> frames; // begin, end
    std::set<std::string> frameNames;
    std::map<U64, std::vector<Slice>> tracks;
    std::map<std::string, U64> startsByName;
    using FlowEnd = std::tuple<unsigned, double, U64>; // job id, time, track
    std::vector<FlowEnd> flowStarts;
    std::vector<FlowEnd> flowEnds;
    U64 slices = 0;
    std::vector<std::tuple<U64, double, double, std::string>> steps; // track, begin, end, name
    std::set<std::string> hostRegions;
    for (const JsonValue& event : pEvents->m_items)
    {
        ASSERT_EQ(event.m_kind, JsonValue::kObject);
        const std::string phase = Text(event, "ph");
        if (phase == "M")
        {
            if (Text(event, "name") == "thread_name")
            {
                const U64 tid = static_cast<U64>(Number(event, "tid"));
                EXPECT_TRUE(namedTracks.insert(tid).second) << "one track each";
                trackNames[tid] = Text(*event.Find("args"), "name");
            }
            continue;
        }
        if (Text(event, "cat") == "frame")
        {
            // The demo's frames follow one another: they all fit on the one "Frames" track.
            EXPECT_EQ(Number(event, "tid"), static_cast<double>(report.m_totalWorkers));
            EXPECT_EQ(phase, "X");
            frames.emplace_back(Number(event, "ts"), Number(event, "ts") + Number(event, "dur"));
            frameNames.insert(Text(event, "name"));
            continue;
        }
        const std::string category = Text(event, "cat");
        if (category == "region" || category == "lock wait")
        {
            EXPECT_EQ(phase, "X");
            const U64 tid = static_cast<U64>(Number(event, "tid"));
            const double ts = Number(event, "ts");
            if (tid == report.m_totalWorkers + 1)
                hostRegions.insert(Text(event, "name"));
            else if (category == "region")
                steps.emplace_back(tid, ts, ts + Number(event, "dur"), Text(event, "name"));
            else
                EXPECT_EQ(Text(event, "name").compare(0, 7, "Waiting"), 0);
            continue;
        }
        const double tid = Number(event, "tid");
        ASSERT_GE(tid, 0.0);
        ASSERT_LT(tid, static_cast<double>(report.m_totalWorkers));
        const U64 track = static_cast<U64>(tid);
        const double ts = Number(event, "ts");
        EXPECT_GE(ts, 0.0);
        if (phase == "X")
        {
            const std::string name = Text(event, "name");
            EXPECT_EQ(kJobNames.count(name), 1u) << name;
            const double dur = Number(event, "dur");
            EXPECT_GE(dur, 0.0);
            const JsonValue* pArgs = event.Find("args");
            ASSERT_TRUE(pArgs && pArgs->Find("job") && pArgs->Find("resumed"));
            const bool resumed = pArgs->Find("resumed")->m_bool;
            tracks[track].push_back(
                {ts, ts + dur, static_cast<unsigned>(pArgs->Find("job")->m_number), resumed});
            if (!resumed)
                ++startsByName[name];
            ++slices;
        }
        else if (phase == "s")
        {
            flowStarts.emplace_back(static_cast<unsigned>(Number(event, "id")), ts, track);
        }
        else if (phase == "f")
        {
            EXPECT_EQ(Text(event, "bp"), "e");
            flowEnds.emplace_back(static_cast<unsigned>(Number(event, "id")), ts, track);
        }
        else
        {
            EXPECT_EQ(phase, "i");
        }
    }

    // One named track per worker, the frames' track and the host's, and the counts the
    // demo printed.
    EXPECT_EQ(namedTracks.size(), report.m_totalWorkers + 2);
    EXPECT_EQ(trackNames[report.m_totalWorkers + 1], "Host");
    for (U32 frame = 0; frame < kDemoFrames; ++frame)
        EXPECT_EQ(hostRegions.count("Frame " + std::to_string(frame)), 1u) << frame;
    EXPECT_EQ(trackNames[report.m_totalWorkers], "Frames");
    EXPECT_EQ(trackNames[report.m_totalWorkers - 1],
              "Worker " + std::to_string(report.m_totalWorkers - 1) + " (emergency)");
    ASSERT_EQ(frames.size(), kDemoFrames);
    for (U32 frame = 0; frame < kDemoFrames; ++frame)
    {
        EXPECT_EQ(frameNames.count("Frame " + std::to_string(frame)), 1u) << frame;
        EXPECT_LT(frames[frame].first, frames[frame].second);
        if (frame > 0)
        {
            EXPECT_LE(frames[frame - 1].second, frames[frame].first) << "frame " << frame;
        }
    }
    EXPECT_FALSE(tracks.empty());
    EXPECT_EQ(slices, report.m_slices);
    EXPECT_EQ(startsByName["FrameJob"], kDemoFrames);
    EXPECT_EQ(startsByName["AudioMixJob"], kDemoFrames);
    EXPECT_EQ(startsByName["IntegrateClothJob"], kDemoFrames * kClothRowBands);
    EXPECT_EQ(startsByName["SummariseClothJob"], kDemoFrames * kClothRowBands);
    U64 started = 0;
    for (const auto& entry : startsByName)
        started += entry.second;
    EXPECT_EQ(started, report.m_jobsStarted);

    // A worker runs one job at a time: its slices follow one another.
    for (auto& [track, trackSlices] : tracks)
    {
        std::sort(trackSlices.begin(), trackSlices.end(),
                  [](const Slice& a, const Slice& b) { return a.m_begin < b.m_begin; });
        for (size_t i = 1; i < trackSlices.size(); ++i)
            EXPECT_LE(trackSlices[i - 1].m_end, trackSlices[i].m_begin) << "track " << track;
    }

    // Every step of a job lies inside a slice of a job on the worker that ran it.
    EXPECT_GE(steps.size(), kDemoFrames * 3u);
    for (const auto& [track, begin, end, name] : steps)
    {
        EXPECT_EQ(kStepNames.count(name), 1u) << name;
        const Slice* pSlice = SliceAt(tracks[track], begin);
        ASSERT_TRUE(pSlice) << name << " at " << begin << " on track " << track;
        EXPECT_LE(end, pSlice->m_end) << name;
    }

    // Every flow leaves the slice in which its job was suspended and enters a later slice
    // in which the same job resumed. A job that waits twice has two flows: in time order,
    // each suspension goes with the next resumption.
    EXPECT_EQ(flowStarts.size(), report.m_flows);
    ASSERT_EQ(flowEnds.size(), flowStarts.size());
    EXPECT_GE(report.m_flows, 1u) << "the frame job waits inside the job";
    std::sort(flowStarts.begin(), flowStarts.end());
    std::sort(flowEnds.begin(), flowEnds.end());
    for (size_t i = 0; i < flowStarts.size(); ++i)
    {
        const auto& [id, fromTime, fromTrack] = flowStarts[i];
        const auto& [toId, toTime, toTrack] = flowEnds[i];
        ASSERT_EQ(toId, id);
        EXPECT_LT(fromTime, toTime);
        if (i + 1 < flowStarts.size() && std::get<0>(flowStarts[i + 1]) == id)
        {
            EXPECT_LT(toTime, std::get<1>(flowStarts[i + 1])) << "a job resumes before it waits again";
        }
        const Slice* pFrom = SliceAt(tracks[fromTrack], fromTime);
        const Slice* pTo = SliceAt(tracks[toTrack], toTime);
        ASSERT_TRUE(pFrom && pTo) << "flow " << id;
        EXPECT_EQ(pFrom->m_job, id);
        EXPECT_EQ(pTo->m_job, id);
        EXPECT_TRUE(pTo->m_resumed);
    }
}

class DemoEndToEndTest : public testing::Test
{
protected:
    void SetUp() override
    {
        const testing::TestInfo* pInfo = testing::UnitTest::GetInstance()->current_test_info();
        m_dir = fs::absolute(fs::path("demo-e2e-run") / pInfo->name());
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
    }
    void TearDown() override
    {
        if (HasFailure())
            return; // kept for a look at what the demo wrote
        std::error_code ignored;
        fs::remove_all(m_dir, ignored);
        fs::remove(m_dir.parent_path(), ignored); // only once empty
    }

    // Waits (bounded) for the game's end mark.
    bool WaitForDone(std::chrono::seconds limit)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!fs::exists(m_dir / "marrow-output.done"))
        {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

    fs::path m_dir;
};

TEST_F(DemoEndToEndTest, RunsFramesOnJobsAndWritesItsTrace)
{
    const LauncherRun run = RunLauncherIn(OX_DEMO_EXE, m_dir.string(), {"-jobtrace", kTraceFile});
    ASSERT_TRUE(run.m_exited) << run.m_output;
    EXPECT_EQ(run.m_exitCode, 0) << run.m_output;
    DemoReport report;
    CheckDemoOutput(run.m_output, report);
    if (HasFatalFailure())
        return;
    // The copy in the run folder holds the same text, and the end mark is there.
    EXPECT_TRUE(fs::exists(m_dir / "marrow-output.done"));
    EXPECT_EQ(ReadFile(m_dir / "marrow-output.txt"), WithoutCarriageReturns(run.m_output));
    CheckTraceJson(m_dir / kTraceFile, report);
    CheckTimelinePage(m_dir / kPageFile, report);
}

TEST_F(DemoEndToEndTest, StartedByTheLauncher)
{
    // The launcher picks marrow.exe or marrow-l.exe by the processor; both are the demo.
    fs::copy_file(OX_DEMO_EXE, m_dir / "marrow.exe");
    fs::copy_file(OX_DEMO_EXE, m_dir / "marrow-l.exe");
    const LauncherRun run = RunLauncherIn(OX_LAUNCHER_EXE, m_dir.string(), {"-jobtrace", kTraceFile});
    ASSERT_TRUE(run.m_exited);
    EXPECT_EQ(run.m_exitCode, 0);
    ASSERT_TRUE(WaitForDone(std::chrono::seconds(60))) << ReadFile(m_dir / "marrow-output.txt");
    DemoReport report;
    CheckDemoOutput(ReadFile(m_dir / "marrow-output.txt"), report);
    if (HasFatalFailure())
        return;
    CheckTraceJson(m_dir / kTraceFile, report);
    CheckTimelinePage(m_dir / kPageFile, report);
}

TEST_F(DemoEndToEndTest, UnwritableTraceFileIsReported)
{
    const LauncherRun run =
        RunLauncherIn(OX_DEMO_EXE, m_dir.string(), {"-jobtrace", "no-such-folder/trace.json"});
    ASSERT_TRUE(run.m_exited);
    EXPECT_EQ(run.m_exitCode, 1);
    EXPECT_NE(run.m_output.find("Job trace: cannot write the trace-event file 'no-such-folder/trace.json'"),
              std::string::npos)
        << run.m_output;
    // The rest of the run is unaffected.
    EXPECT_NE(run.m_output.find("Simulation check: the results of the jobs match"), std::string::npos);
    EXPECT_NE(run.m_output.find("[ Job System Data]"), std::string::npos);
}

TEST_F(DemoEndToEndTest, IncompleteSwitchIsReported)
{
    const LauncherRun run = RunLauncherIn(OX_DEMO_EXE, m_dir.string(), {"-jobtrace"});
    ASSERT_TRUE(run.m_exited);
    EXPECT_EQ(run.m_exitCode, 2);
    EXPECT_NE(run.m_output.find("-jobtrace needs a file name"), std::string::npos) << run.m_output;
    EXPECT_EQ(run.m_output.find("Frame loop"), std::string::npos);
    EXPECT_TRUE(fs::exists(m_dir / "marrow-output.done"));
}
} // namespace
