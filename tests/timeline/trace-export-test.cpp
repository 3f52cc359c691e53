// The job trace's trace-event JSON export, fed with made-up records: slices from a job's
// start or resumption to its completion or suspension on each worker, flows from a
// suspension to the next resumption of the same job on whichever worker, instant marks
// for waits, stack-size switches and named events, frame slices on a "Frames" track of
// their own, and what a torn or truncated ring leaves out. Every document is read back
// with a strict JSON reader.
#include "corelib/timeline/trace-export.h"
#include "tests/demo/mini-json.h"
#include "tests/timeline/synthetic-trace.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace
{
using oxjob::JobTraceElement;

// Stand-ins for start functions: only their names matter to the export.
constexpr U64 kJobA = 0x1000;
constexpr U64 kJobB = 0x2000;
constexpr U64 kJobC = 0x3000;
constexpr U64 kJobD = 0x4000;

const char* NameOf(U64 startFunction)
{
    switch (startFunction)
    {
    case kJobA:
        return "JobA";
    case kJobB:
        return "JobB";
    case kJobC:
        return "JobC";
    case kJobD:
        return "JobD";
    default:
        return "<<<BARRIER>>>";
    }
}

using synthetic::EventRecord;
using synthetic::Record;

// One event of the document, as the checks need it.
struct ExportedEvent
{
    std::string m_phase;
    std::string m_name;
    std::string m_category;
    double m_tid = -1;
    double m_ts = -1;
    double m_dur = -1;
    double m_id = -1;
    const JsonValue* m_pArgs = nullptr;
};

class TraceExportTest : public testing::Test
{
protected:
    // Exports with one tick a microsecond, reads the document back and keeps its events.
    void Export(const std::vector<std::vector<JobTraceElement>>& records,
                const std::vector<bool>& emergency = {})
    {
        std::vector<WorkerTraceRecords> workers;
        for (size_t i = 0; i < records.size(); ++i)
            workers.push_back({records[i].data(), records[i].size(), i < emergency.size() && emergency[i]});
        const char* kPath = "trace-export-test.json";
        FILE* pFile = fopen(kPath, "wb");
        ASSERT_NE(pFile, nullptr);
        ASSERT_TRUE(WriteTraceEventJson(pFile, workers.data(), workers.size(), 1000000, NameOf, &m_summary));
        ASSERT_EQ(fclose(pFile), 0);
        std::ifstream in(kPath, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        in.close();
        std::remove(kPath);
        std::string error;
        ASSERT_TRUE(ParseJson(text.str(), &m_document, &error)) << error << "\n" << text.str();
        const JsonValue* pEvents = m_document.Find("traceEvents");
        ASSERT_TRUE(pEvents && pEvents->m_kind == JsonValue::kArray);
        for (const JsonValue& value : pEvents->m_items)
        {
            ExportedEvent event;
            auto text = [&](const char* key)
            {
                const JsonValue* p = value.Find(key);
                return p ? p->m_string : std::string();
            };
            auto number = [&](const char* key)
            {
                const JsonValue* p = value.Find(key);
                return p ? p->m_number : -1.0;
            };
            event.m_phase = text("ph");
            event.m_name = text("name");
            event.m_category = text("cat");
            event.m_tid = number("tid");
            event.m_ts = number("ts");
            event.m_dur = number("dur");
            event.m_id = number("id");
            event.m_pArgs = value.Find("args");
            m_events.push_back(event);
        }
    }

    // The events of a phase; for slices ("X"), only those of the category.
    std::vector<ExportedEvent> Phase(const std::string& phase, const std::string& sliceCategory = "job") const
    {
        std::vector<ExportedEvent> events;
        for (const ExportedEvent& event : m_events)
            if (event.m_phase == phase && (phase != "X" || event.m_category == sliceCategory))
                events.push_back(event);
        return events;
    }

    // The names of the tracks, by track id.
    std::map<double, std::string> TrackNames() const
    {
        std::map<double, std::string> names;
        for (const ExportedEvent& event : Phase("M"))
            if (event.m_name == "thread_name")
                names[event.m_tid] = event.m_pArgs->Find("name")->m_string;
        return names;
    }

    TraceExportSummary m_summary;
    JsonValue m_document;
    std::vector<ExportedEvent> m_events;
};

TEST_F(TraceExportTest, SlicesFlowsAndMarksOfTwoWorkers)
{
    const std::vector<std::vector<JobTraceElement>> records = {
        {
            Record(100, oxjob::kJobTraceStartJob, kJobA, 10),
            Record(150, oxjob::kJobTraceSleepJob, kJobA, 10),
            Record(200, oxjob::kJobTraceSuspendFiber, kJobA, 10),
            Record(300, oxjob::kJobTraceStartJob, kJobB, 11),
            Record(400, oxjob::kJobTraceCompleteJob, kJobB, 11),
            EventRecord(450, "Frame 1"),
        },
        {
            // The ring lost D's start: its completion makes no slice.
            Record(20, oxjob::kJobTraceCompleteJob, kJobD, 13),
            // C moved to a fiber of its stack size before it started.
            Record(50, oxjob::kJobTraceSuspendFiber, kJobC, 12),
            Record(60, oxjob::kJobTraceStartJob, kJobC, 12),
            Record(90, oxjob::kJobTraceCompleteJob, kJobC, 12),
            Record(250, oxjob::kJobTraceResumeJob, kJobA, 10),
            Record(500, oxjob::kJobTraceCompleteJob, kJobA, 10),
        },
    };
    Export(records, {false, true});

    EXPECT_EQ(m_summary.m_workers, 2u);
    EXPECT_EQ(m_summary.m_records, 12u);
    EXPECT_EQ(m_summary.m_slices, 4u);
    EXPECT_EQ(m_summary.m_jobsStarted, 3u);
    EXPECT_EQ(m_summary.m_flows, 1u);
    EXPECT_EQ(m_summary.m_instants, 3u);

    // A track per worker, named, and the frames' track after them.
    EXPECT_EQ(TrackNames(),
              (std::map<double, std::string>{{0, "Worker 0"}, {1, "Worker 1 (emergency)"}, {2, "Frames"}}));
    EXPECT_EQ(m_summary.m_frames, 1u);
    // "Frame 1" was marked outside a job: the frame lasts until the trace ends.
    const std::vector<ExportedEvent> frames = Phase("X", "frame");
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].m_name, "Frame 1");
    EXPECT_EQ(frames[0].m_tid, 2);
    EXPECT_DOUBLE_EQ(frames[0].m_ts, 430);
    EXPECT_DOUBLE_EQ(frames[0].m_dur, 50);

    // Times in microseconds from the oldest record (20).
    struct ExpectedSlice
    {
        double m_tid;
        const char* m_name;
        double m_ts;
        double m_dur;
        double m_job;
        bool m_resumed;
    };
    const ExpectedSlice kSlices[] = {
        {0, "JobA", 80, 100, 10, false},
        {0, "JobB", 280, 100, 11, false},
        {1, "JobC", 40, 30, 12, false},
        {1, "JobA", 230, 250, 10, true},
    };
    const std::vector<ExportedEvent> slices = Phase("X");
    ASSERT_EQ(slices.size(), std::size(kSlices));
    for (size_t i = 0; i < slices.size(); ++i)
    {
        SCOPED_TRACE(i);
        EXPECT_EQ(slices[i].m_tid, kSlices[i].m_tid);
        EXPECT_EQ(slices[i].m_name, kSlices[i].m_name);
        EXPECT_DOUBLE_EQ(slices[i].m_ts, kSlices[i].m_ts);
        EXPECT_DOUBLE_EQ(slices[i].m_dur, kSlices[i].m_dur);
        EXPECT_EQ(slices[i].m_pArgs->Find("job")->m_number, kSlices[i].m_job);
        EXPECT_EQ(slices[i].m_pArgs->Find("resumed")->m_bool, kSlices[i].m_resumed);
        EXPECT_EQ(slices[i].m_pArgs->Find("suspended")->m_bool, i == 0)
            << "only A's first slice ends in a wait";
    }

    // The flow leaves A's first slice just before its end and enters the resumed one just
    // after its start.
    const std::vector<ExportedEvent> starts = Phase("s");
    const std::vector<ExportedEvent> ends = Phase("f");
    ASSERT_EQ(starts.size(), 1u);
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(starts[0].m_id, 10);
    EXPECT_EQ(ends[0].m_id, 10);
    EXPECT_EQ(starts[0].m_tid, 0);
    EXPECT_EQ(ends[0].m_tid, 1);
    EXPECT_DOUBLE_EQ(starts[0].m_ts, 179.999);
    EXPECT_DOUBLE_EQ(ends[0].m_ts, 230.001);

    const std::vector<ExportedEvent> instants = Phase("i");
    ASSERT_EQ(instants.size(), 3u);
    EXPECT_EQ(instants[0].m_name, "Wait: JobA");
    EXPECT_DOUBLE_EQ(instants[0].m_ts, 130);
    EXPECT_EQ(instants[1].m_name, "Frame 1");
    EXPECT_DOUBLE_EQ(instants[1].m_ts, 430);
    EXPECT_EQ(instants[2].m_name, "Stack switch: JobC");
    EXPECT_EQ(instants[2].m_tid, 1);
}

TEST_F(TraceExportTest, AJobThatWaitsTwiceGivesTwoFlowsInTimeOrder)
{
    // Suspended on worker 0, resumed on 1, suspended there, resumed on 0 again.
    const std::vector<std::vector<JobTraceElement>> records = {
        {
            Record(0, oxjob::kJobTraceStartJob, kJobA, 7),
            Record(10, oxjob::kJobTraceSuspendFiber, kJobA, 7),
            Record(40, oxjob::kJobTraceResumeJob, kJobA, 7),
            Record(50, oxjob::kJobTraceCompleteJob, kJobA, 7),
        },
        {
            Record(20, oxjob::kJobTraceResumeJob, kJobA, 7),
            Record(30, oxjob::kJobTraceSuspendFiber, kJobA, 7),
        },
    };
    Export(records);
    EXPECT_EQ(m_summary.m_slices, 3u);
    EXPECT_EQ(m_summary.m_jobsStarted, 1u);
    ASSERT_EQ(m_summary.m_flows, 2u);
    const std::vector<ExportedEvent> starts = Phase("s");
    const std::vector<ExportedEvent> ends = Phase("f");
    ASSERT_EQ(starts.size(), 2u);
    ASSERT_EQ(ends.size(), 2u);
    EXPECT_EQ(starts[0].m_tid, 0);
    EXPECT_DOUBLE_EQ(starts[0].m_ts, 9.999);
    EXPECT_EQ(ends[0].m_tid, 1);
    EXPECT_DOUBLE_EQ(ends[0].m_ts, 20.001);
    EXPECT_EQ(starts[1].m_tid, 1);
    EXPECT_DOUBLE_EQ(starts[1].m_ts, 29.999);
    EXPECT_EQ(ends[1].m_tid, 0);
    EXPECT_DOUBLE_EQ(ends[1].m_ts, 40.001);
}

TEST_F(TraceExportTest, TornAndTruncatedRingsLeaveIncompleteSlicesOut)
{
    const std::vector<std::vector<JobTraceElement>> records = {{
        Record(0, oxjob::kJobTraceResumeJob, kJobA, 1),    // its suspension is not in any ring
        Record(5, oxjob::kJobTraceStartJob, kJobB, 2),     // A's end was lost: A has no slice
        Record(9, oxjob::kJobTraceCompleteJob, kJobC, 3),  // not the open job: ignored
        Record(12, oxjob::kJobTraceCompleteJob, kJobB, 2), // B: 5 .. 12
        Record(20, oxjob::kJobTraceStartJob, kJobD, 4),    // still running when copied
    }};
    Export(records);
    EXPECT_EQ(m_summary.m_slices, 1u);
    EXPECT_EQ(m_summary.m_flows, 0u);
    const std::vector<ExportedEvent> slices = Phase("X");
    ASSERT_EQ(slices.size(), 1u);
    EXPECT_EQ(slices[0].m_name, "JobB");
    EXPECT_DOUBLE_EQ(slices[0].m_ts, 5);
    EXPECT_DOUBLE_EQ(slices[0].m_dur, 7);
    EXPECT_TRUE(Phase("s").empty());
    EXPECT_TRUE(Phase("f").empty());
}

TEST_F(TraceExportTest, EventTextsAreEscaped)
{
    const char* kText = "say \"hi\" \\ back\tslash\nnew line \x01 caf\xC3\xA9";
    Export({{EventRecord(3, kText)}});
    const std::vector<ExportedEvent> instants = Phase("i");
    ASSERT_EQ(instants.size(), 1u);
    EXPECT_EQ(instants[0].m_name, kText);
}

TEST_F(TraceExportTest, WorkersWithoutRecordsStillHaveTracks)
{
    Export({{}, {}, {}});
    EXPECT_EQ(m_summary.m_records, 0u);
    EXPECT_EQ(m_summary.m_slices, 0u);
    EXPECT_EQ(TrackNames().size(), 3u);
}

TEST_F(TraceExportTest, FramesSpanTheJobsThatMarkedThem)
{
    static const char* const kFrameTexts[] = {"Frame 7", "Frame 8", "Frame 9", "Frame x", "Frames 10"};
    const std::vector<std::vector<JobTraceElement>> records = {
        {
            // Frame 7: job 1 from 0 to its completion on worker 1 at 90.
            Record(0, oxjob::kJobTraceStartJob, kJobA, 1),
            EventRecord(2, kFrameTexts[0]),
            Record(10, oxjob::kJobTraceSuspendFiber, kJobA, 1),
            // Frame 8: job 2 from 50 to 120, overlapping frame 7: a second row.
            Record(50, oxjob::kJobTraceStartJob, kJobB, 2),
            EventRecord(51, kFrameTexts[1]),
            EventRecord(52, kFrameTexts[3]), // not a frame
            EventRecord(53, kFrameTexts[4]), // not a frame
            Record(120, oxjob::kJobTraceCompleteJob, kJobB, 2),
            // Frame 9: job 3 never completes in the trace: no frame.
            Record(130, oxjob::kJobTraceStartJob, kJobC, 3),
            EventRecord(131, kFrameTexts[2]),
        },
        {
            Record(80, oxjob::kJobTraceResumeJob, kJobA, 1),
            Record(90, oxjob::kJobTraceCompleteJob, kJobA, 1),
        },
    };
    Export(records);
    EXPECT_EQ(m_summary.m_frames, 2u);
    EXPECT_EQ(TrackNames(), (std::map<double, std::string>{
                                {0, "Worker 0"}, {1, "Worker 1"}, {2, "Frames"}, {3, "Frames 2"}}));
    // The frames' tracks sort before the workers'.
    std::map<double, double> sortIndex;
    for (const ExportedEvent& event : Phase("M"))
        if (event.m_name == "thread_sort_index")
            sortIndex[event.m_tid] = event.m_pArgs->Find("sort_index")->m_number;
    EXPECT_LT(sortIndex[2], sortIndex[3]);
    EXPECT_LT(sortIndex[3], sortIndex[0]);
    EXPECT_LT(sortIndex[0], sortIndex[1]);

    const std::vector<ExportedEvent> frames = Phase("X", "frame");
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].m_name, "Frame 7");
    EXPECT_EQ(frames[0].m_tid, 2);
    EXPECT_DOUBLE_EQ(frames[0].m_ts, 0);
    EXPECT_DOUBLE_EQ(frames[0].m_dur, 90);
    EXPECT_EQ(frames[0].m_pArgs->Find("frame")->m_number, 7);
    EXPECT_EQ(frames[0].m_pArgs->Find("job")->m_number, 1);
    EXPECT_EQ(frames[1].m_name, "Frame 8");
    EXPECT_EQ(frames[1].m_tid, 3);
    EXPECT_DOUBLE_EQ(frames[1].m_ts, 50);
    EXPECT_DOUBLE_EQ(frames[1].m_dur, 70);
    // The marks stay marks; the job slices stay named by job.
    EXPECT_EQ(Phase("i").size(), 5u);
    EXPECT_EQ(Phase("X").size(), 3u);
}

// The e2e checks rely on the reader refusing what a viewer would refuse.
TEST(MiniJsonTest, AcceptsValidAndRejectsBrokenDocuments)
{
    struct Case
    {
        const char* m_pText;
        bool m_valid;
    };
    const Case kCases[] = {
        {"{\"a\":[1,-2.5e3,true,false,null,\"x\\u00e9\\ud83d\\ude00\"]}", true},
        {" [ ] ", true},
        {"{\"a\":1,}", false},
        {"[1,2", false},
        {"[1] x", false},
        {"[01]", false},
        {"[1.]", false},
        {"[NaN]", false},
        {"[\"tab\there\"]", false},
        {"[\"\\x\"]", false},
        {"[\"\\ud83d\"]", false},
        {"{a:1}", false},
        {"", false},
    };
    for (const Case& c : kCases)
    {
        JsonValue value;
        std::string error;
        EXPECT_EQ(ParseJson(c.m_pText, &value, &error), c.m_valid) << c.m_pText << " " << error;
    }
    JsonValue value;
    ASSERT_TRUE(ParseJson("{\"s\":\"x\\u00e9\\ud83d\\ude00\"}", &value, nullptr));
    EXPECT_EQ(value.Find("s")->m_string, "x\xC3\xA9\xF0\x9F\x98\x80");
}
} // namespace
