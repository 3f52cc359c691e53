// The timeline page, read back from the file written for a small made-up trace: a lane
// per worker with the emergency one marked, a bar per job slice at its times in its job's
// legend colour, a legend entry per job name, a band and a box per frame, an arrow per
// wait from the suspension to the resumption, and nothing that reaches outside the file.
#include "corelib/timeline/timeline-page.h"
#include "tests/timeline/synthetic-trace.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace
{
using namespace synthetic;

using Attributes = std::map<std::string, std::string>;

// The attributes of every start tag <element ...> whose class attribute begins with the
// class name given (all of them for an empty one). The page writes every attribute
// double-quoted.
std::vector<Attributes> FindTags(const std::string& html, const std::string& element,
                                 const std::string& className = "")
{
    std::vector<Attributes> tags;
    const std::string open = "<" + element + " ";
    for (size_t at = html.find(open); at != std::string::npos; at = html.find(open, at + 1))
    {
        const size_t end = html.find('>', at);
        Attributes attributes;
        size_t pos = at + open.size();
        while (pos < end)
        {
            const size_t equals = html.find("=\"", pos);
            if (equals == std::string::npos || equals > end)
                break;
            const size_t close = html.find('"', equals + 2);
            std::string name = html.substr(pos, equals - pos);
            name.erase(0, name.find_first_not_of(' '));
            attributes[name] = html.substr(equals + 2, close - equals - 2);
            pos = close + 1;
        }
        if (attributes["class"].compare(0, className.size(), className) == 0)
            tags.push_back(attributes);
    }
    return tags;
}

// The text of every element of the class (the first text after its start tag).
std::vector<std::string> TextsOfClass(const std::string& html, const std::string& className)
{
    std::vector<std::string> texts;
    const std::string marker = "class=\"" + className + "\"";
    for (size_t at = html.find(marker); at != std::string::npos; at = html.find(marker, at + 1))
    {
        const size_t begin = html.find('>', at) + 1;
        texts.push_back(html.substr(begin, html.find('<', begin) - begin));
    }
    return texts;
}

class TimelinePageTest : public testing::Test
{
protected:
    void SetUp() override
    {
        m_records = TwoFrames();
        m_model = Model(m_records, {false, false, true});
        m_summary = SummariseTrace(m_model, {"AudioJob", kAudioSubmitted, 1000000});
        const char* kPath = "timeline-page-test.html";
        ASSERT_TRUE(WriteTimelinePageFile(kPath, m_model, m_summary));
        std::ifstream in(kPath, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        in.close();
        std::remove(kPath);
        m_html = text.str();
        ASSERT_FALSE(m_html.empty());
    }

    std::vector<std::vector<oxjob::JobTraceElement>> m_records;
    TraceModel m_model;
    TraceSummary m_summary;
    std::string m_html;
};

TEST_F(TimelinePageTest, LanesPerWorkerWithTheEmergencyOneMarked)
{
    const std::vector<Attributes> lanes = FindTags(m_html, "rect", "lane");
    ASSERT_EQ(lanes.size(), 3u);
    for (size_t i = 0; i < lanes.size(); ++i)
    {
        EXPECT_EQ(lanes[i].at("data-worker"), std::to_string(i));
        EXPECT_EQ(lanes[i].at("class").find("emergency") != std::string::npos, i == 2)
            << lanes[i].at("class");
    }
    EXPECT_EQ(TextsOfClass(m_html, "lane-label frames-label"), std::vector<std::string>{"Frames"});
    EXPECT_EQ(TextsOfClass(m_html, "lane-label"), (std::vector<std::string>{"Worker 0", "Worker 1"}));
    EXPECT_EQ(TextsOfClass(m_html, "lane-label emergency"), std::vector<std::string>{"Worker 2 (emergency)"});
}

TEST_F(TimelinePageTest, ABarPerSliceInItsJobsLegendColour)
{
    // The legend: one entry per job name, most running time first, each with its colour.
    const std::vector<Attributes> legend = FindTags(m_html, "tr", "legend-entry");
    std::vector<std::string> legendNames;
    for (const Attributes& entry : legend)
        legendNames.push_back(entry.at("data-job"));
    EXPECT_EQ(legendNames, (std::vector<std::string>{"FrameJob", "Work&lt;Job&gt;", "AudioJob"}));
    const std::vector<Attributes> swatches = FindTags(m_html, "span", "swatch");
    ASSERT_EQ(swatches.size(), legend.size());
    std::map<std::string, std::string> colours;
    for (size_t i = 0; i < legend.size(); ++i)
        colours[legend[i].at("data-job")] = swatches[i].at("style").substr(std::string("background:").size());
    EXPECT_EQ(
        std::set<std::string>({colours["FrameJob"], colours["Work&lt;Job&gt;"], colours["AudioJob"]}).size(),
        3u)
        << "distinct colours";

    // The bars: worker, times (microseconds) and colour of each slice, in the model's order.
    struct ExpectedBar
    {
        const char* m_job;
        const char* m_worker;
        const char* m_begin;
        const char* m_end;
    };
    const ExpectedBar kBars[] = {
        {"FrameJob", "0", "0.000", "6.000"},          {"Work&lt;Job&gt;", "0", "10.000", "30.000"},
        {"Work&lt;Job&gt;", "0", "40.000", "45.000"}, {"FrameJob", "0", "100.000", "105.000"},
        {"AudioJob", "1", "12.000", "20.000"},        {"FrameJob", "1", "50.000", "60.000"},
        {"FrameJob", "1", "1215.000", "1220.000"},    {"AudioJob", "2", "1202.000", "1210.000"},
    };
    const std::vector<Attributes> bars = FindTags(m_html, "rect", "bar");
    ASSERT_EQ(bars.size(), std::size(kBars));
    ASSERT_EQ(bars.size(), m_model.m_slices.size());
    const std::vector<Attributes> lanes = FindTags(m_html, "rect", "lane");
    for (size_t i = 0; i < bars.size(); ++i)
    {
        SCOPED_TRACE(i);
        EXPECT_EQ(bars[i].at("data-job"), kBars[i].m_job);
        EXPECT_EQ(bars[i].at("data-worker"), kBars[i].m_worker);
        EXPECT_EQ(bars[i].at("data-b"), kBars[i].m_begin);
        EXPECT_EQ(bars[i].at("data-e"), kBars[i].m_end);
        EXPECT_EQ(bars[i].at("fill"), colours[kBars[i].m_job]);
        // Drawn inside its worker's lane, at least a pixel wide.
        const Attributes& lane = lanes[std::stoul(kBars[i].m_worker)];
        const double y = std::stod(bars[i].at("y"));
        EXPECT_GT(y, std::stod(lane.at("y")));
        EXPECT_LT(y + std::stod(bars[i].at("height")),
                  std::stod(lane.at("y")) + std::stod(lane.at("height")));
        EXPECT_GE(std::stod(bars[i].at("width")), 1.0);
    }
}

TEST_F(TimelinePageTest, FramesAsBandsAndWaitsAsArrows)
{
    // The attributes of the elements of a class that carry times (not the legend's samples).
    auto timed = [&](const char* pElement, const char* pClass, const char* pLabel)
    {
        std::vector<std::vector<std::string>> found;
        for (const Attributes& tag : FindTags(m_html, pElement, pClass))
            if (tag.count("data-b"))
                found.push_back(
                    {tag.count(pLabel) ? tag.at(pLabel) : "", tag.at("data-b"), tag.at("data-e")});
        return found;
    };
    using Rows = std::vector<std::vector<std::string>>;
    // Frame 0 spans FrameJob 1 (0..60), frame 1 FrameJob 5 (100..1220): a box on the frames'
    // row and a band across the lanes each.
    EXPECT_EQ(timed("rect", "frame", "data-name"),
              (Rows{{"Frame 0", "0.000", "60.000"}, {"Frame 1", "100.000", "1220.000"}}));
    EXPECT_EQ(timed("rect", "band", "data-frame"),
              (Rows{{"0", "0.000", "60.000"}, {"1", "100.000", "1220.000"}}));
    // The frame selector offers each frame.
    EXPECT_NE(m_html.find("<option value=\"1\">Frame 1 (1.120 ms)</option>"), std::string::npos);
    // Each wait from the end of the suspended slice to the start of the resumed one.
    EXPECT_EQ(timed("path", "wait", "data-job"),
              (Rows{{"1", "6.000", "50.000"}, {"5", "105.000", "1215.000"}}));
    EXPECT_EQ(FindTags(m_html, "path", "wait")[0].at("marker-end"), "url(#arrow)");
    // The submission marks.
    EXPECT_EQ(timed("rect", "mark", "data-none"), (Rows{{"", "2.000", "2.000"}, {"", "102.000", "102.000"}}));

    // The sentence on the time-critical job.
    EXPECT_NE(m_html.find("<p id=\"why\">AudioJob ran on an emergency worker in 1 of 2 runs"),
              std::string::npos);
}

TEST_F(TimelinePageTest, SelfContained)
{
    EXPECT_EQ(m_html.compare(0, 15, "<!DOCTYPE html>"), 0);
    EXPECT_NE(m_html.find("</html>"), std::string::npos);
    // The one address is the SVG namespace name, which is never fetched.
    std::string rest = m_html;
    for (size_t at; (at = rest.find("http://www.w3.org/2000/svg")) != std::string::npos;)
        rest.erase(at, 26);
    for (const char* pRemote : {"http:", "https:", "//cdn", "<link", "src=", "@import", "@font-face"})
        EXPECT_EQ(rest.find(pRemote), std::string::npos) << pRemote;
    EXPECT_NE(m_html.find("<script>"), std::string::npos);
}

TEST(TimelinePagePathTest, BesideTheTraceFile)
{
    const std::pair<const char*, const char*> kCases[] = {
        {"trace.json", "trace.html"}, {"run/trace.JSON", "run/trace.html"},
        {"trace", "trace.html"},      {"my.json.txt", "my.json.txt.html"},
        {".json", ".html"},
    };
    for (const auto& [from, to] : kCases)
        EXPECT_EQ(TimelinePagePath(from), to) << from;
}
} // namespace
