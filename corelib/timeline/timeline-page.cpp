#include "corelib/timeline/timeline-page.h"

#include "corelib/timeline/timeline-file.h"
#include "corelib/util/fnv-hash.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <map>

namespace
{
// The layout of the whole-trace view, in pixels.
constexpr F64 kLabelWidth = 190;
constexpr F64 kPlotWidth = 1500;
constexpr F64 kAxisHeight = 28;
constexpr F64 kFrameRowHeight = 24;
constexpr F64 kLaneGap = 6;
constexpr F64 kLaneHeight = 28;
constexpr F64 kBarInset = 3;
// A row of a capture's regions below a lane's job row.
constexpr F64 kRegionRowHeight = 12;
constexpr const char* kLockWaitColour = "#d62728";
constexpr F64 kMinBarWidth = 1;

// Distinct colours for the job names in alphabetical order, so that a job keeps its colour
// from one run to the next; more names cycle hues.
constexpr const char* kPalette[] = {"#4e79a7", "#f28e2b", "#59a14f", "#b07aa1", "#76b7b2",
                                    "#edc948", "#e15759", "#ff9da7", "#9c755f", "#bab0ac"};

std::string Escape(const std::string& text)
{
    std::string out;
    for (const char c : text)
    {
        switch (c)
        {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string JobColour(size_t index)
{
    if (index < std::size(kPalette))
        return kPalette[index];
    char colour[32];
    snprintf(colour, sizeof(colour), "hsl(%u,55%%,55%%)", static_cast<unsigned>((index * 47) % 360));
    return colour;
}

// Microseconds with three decimals, as the data attributes carry them.
std::string Us(U64 nanoseconds)
{
    char text[32];
    snprintf(text, sizeof(text), "%llu.%03llu", static_cast<unsigned long long>(nanoseconds / 1000),
             static_cast<unsigned long long>(nanoseconds % 1000));
    return text;
}

std::string Ms(U64 nanoseconds)
{
    char text[32];
    snprintf(text, sizeof(text), "%.3f", static_cast<F64>(nanoseconds) / 1e6);
    return text;
}

class PageWriter
{
public:
    PageWriter(FILE* pFile, const TraceModel& model, const TraceSummary& summary)
        : m_pFile(pFile), m_model(model), m_summary(summary)
    {
        for (const TraceFrame& frame : model.m_frames)
            m_end = std::max(m_end, frame.m_end);
        m_end = std::max<U64>(std::max(m_end, model.m_end), 1);
        for (const JobNameFigures& job : summary.m_jobs)
            m_colours[job.m_name];
        size_t index = 0;
        for (auto& [name, colour] : m_colours) // a map: in alphabetical order
            colour = JobColour(index++);
    }

    void Write()
    {
        WriteHead();
        WriteControls();
        WriteChart();
        WriteTables();
        fputs("<script>\n", m_pFile);
        fputs(kScript, m_pFile);
        fputs("</script>\n</body>\n</html>\n", m_pFile);
    }

private:
    F64 X(U64 time) const { return static_cast<F64>(time) / static_cast<F64>(m_end) * kPlotWidth; }
    F64 Width(U64 begin, U64 end) const { return std::max(X(end) - X(begin), kMinBarWidth); }
    F64 FrameRowTop(U32 row) const { return kAxisHeight + row * kFrameRowHeight; }
    F64 LanesTop() const { return FrameRowTop(m_model.m_frameRows) + kLaneGap; }
    F64 LaneHeight(U64 lane) const { return kLaneHeight + (m_model.LaneRows(lane) - 1) * kRegionRowHeight; }
    F64 LaneTop(U64 lane) const
    {
        F64 top = LanesTop();
        for (U64 i = 0; i < lane; ++i)
            top += LaneHeight(i);
        return top;
    }
    F64 ChartHeight() const { return LaneTop(m_model.NumLanes()) + kLaneGap; }
    bool IsEmergency(U64 lane) const { return lane < m_model.NumWorkers() && m_model.m_emergency[lane]; }
    // A region's row: the job row (inset like the bars), or a thinner row below it.
    F64 RegionTop(const TraceRegion& region) const
    {
        if (region.m_row == 0)
            return LaneTop(region.m_lane) + kBarInset;
        return LaneTop(region.m_lane) + kLaneHeight - kBarInset + (region.m_row - 1) * kRegionRowHeight;
    }
    F64 RegionHeight(const TraceRegion& region) const
    {
        return region.m_row == 0 ? kLaneHeight - 2 * kBarInset : kRegionRowHeight - 2;
    }
    // A step's colour: a hue from its name, so a step keeps it from one run to the next.
    static std::string StepColour(const std::string& name)
    {
        const U32 hash = Fnv1aHash32(name.data(), name.size(), kFnv32OffsetBasis);
        char colour[40];
        snprintf(colour, sizeof(colour), "hsl(%u,45%%,62%%)", static_cast<unsigned>(hash % 360));
        return colour;
    }

    void Print(const char* pFormat, ...)
    {
        va_list args;
        va_start(args, pFormat);
        vfprintf(m_pFile, pFormat, args);
        va_end(args);
    }

    void WriteHead()
    {
        U64 emergency = 0;
        for (const bool isEmergency : m_model.m_emergency)
            emergency += isEmergency;
        Print("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
              "<title>Job timeline - %s</title>\n<style>\n",
              Escape(m_model.m_title).c_str());
        fputs(kStyle, m_pFile);
        fputs("</style>\n</head>\n<body>\n<h1>Job timeline</h1>\n", m_pFile);
        Print("<p class=\"sub\">%llu workers (%llu emergency), %llu frames, %llu job slices, %llu waits; "
              "%s ms of trace. Click a frame band to zoom to it; the wheel zooms, dragging pans, Esc shows "
              "everything. Hover over a bar for its job.</p>\n",
              static_cast<unsigned long long>(m_model.NumWorkers()),
              static_cast<unsigned long long>(emergency),
              static_cast<unsigned long long>(m_model.m_frames.size()),
              static_cast<unsigned long long>(m_model.m_slices.size()),
              static_cast<unsigned long long>(m_model.m_flows.size()), Ms(m_end).c_str());
    }

    void WriteControls()
    {
        fputs("<div class=\"controls\"><button id=\"prev\" title=\"previous frame\">&#9664;</button>"
              "<select id=\"frame\"><option value=\"-1\">All frames</option>",
              m_pFile);
        for (size_t i = 0; i < m_model.m_frames.size(); ++i)
        {
            const TraceFrame& frame = m_model.m_frames[i];
            Print("<option value=\"%u\">%s (%s ms)</option>", static_cast<unsigned>(i),
                  Escape(frame.m_name).c_str(), Ms(frame.m_end - frame.m_begin).c_str());
        }
        fputs("</select><button id=\"next\" title=\"next frame\">&#9654;</button>"
              "<button id=\"all\">Whole trace</button><span id=\"view\"></span></div>\n",
              m_pFile);
    }

    void WriteChart()
    {
        Print("<div id=\"chart\"><svg id=\"timeline\" xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" "
              "height=\"%.0f\" data-plot-width=\"%.0f\" data-label-width=\"%.0f\" data-end=\"%s\">\n",
              kLabelWidth + kPlotWidth + 10, ChartHeight(), kPlotWidth, kLabelWidth, Us(m_end).c_str());
        Print("<defs><clipPath id=\"clip\"><rect id=\"clipRect\" x=\"0\" y=\"0\" width=\"%.0f\" "
              "height=\"%.0f\"/></clipPath>"
              "<marker id=\"arrow\" viewBox=\"0 0 8 8\" refX=\"7\" refY=\"4\" markerWidth=\"7\" "
              "markerHeight=\"7\" "
              "orient=\"auto-start-reverse\"><path d=\"M0,0 L8,4 L0,8 z\" fill=\"#222\"/></marker></defs>\n",
              kPlotWidth, ChartHeight());
        WriteLaneLabels();
        Print("<g id=\"plot\" transform=\"translate(%.0f,0)\">\n<g id=\"axis\"></g>\n", kLabelWidth);
        WriteLanes();
        fputs("<g clip-path=\"url(#clip)\">\n", m_pFile);
        WriteFrames();
        WriteBars();
        WriteRegions();
        WriteMarks();
        WriteWaits();
        fputs("<g id=\"barLabels\"></g>\n</g>\n</g>\n</svg></div>\n", m_pFile);
    }

    void WriteLaneLabels()
    {
        fputs("<g id=\"labels\">\n", m_pFile);
        for (U32 row = 0; row < m_model.m_frameRows; ++row)
            Print("<text class=\"lane-label frames-label\" x=\"8\" y=\"%.1f\">%s</text>\n",
                  FrameRowTop(row) + kFrameRowHeight / 2 + 4,
                  row == 0 ? "Frames" : ("Frames " + std::to_string(row + 1)).c_str());
        for (U64 lane = 0; lane < m_model.NumLanes(); ++lane)
            Print("<text class=\"lane-label%s\" x=\"8\" y=\"%.1f\">%s</text>\n",
                  IsEmergency(lane) ? " emergency" : (lane >= m_model.NumWorkers() ? " host" : ""),
                  LaneTop(lane) + kLaneHeight / 2 + 4, Escape(TraceWorkerName(m_model, lane)).c_str());
        fputs("</g>\n", m_pFile);
    }

    void WriteLanes()
    {
        fputs("<g id=\"lanes\">\n", m_pFile);
        for (U64 lane = 0; lane < m_model.NumLanes(); ++lane)
            Print("<rect class=\"lane%s%s\" data-worker=\"%u\" x=\"0\" y=\"%.1f\" width=\"%.0f\" "
                  "height=\"%.0f\"/>\n",
                  IsEmergency(lane) ? " emergency" : (lane >= m_model.NumWorkers() ? " host" : ""),
                  lane % 2 ? " odd" : "", static_cast<unsigned>(lane), LaneTop(lane), kPlotWidth,
                  LaneHeight(lane));
        fputs("</g>\n", m_pFile);
    }

    // Each frame: a band across the lanes (every other one shaded) and a labelled box on its row.
    void WriteFrames()
    {
        fputs("<g id=\"bands\">\n", m_pFile);
        for (size_t i = 0; i < m_model.m_frames.size(); ++i)
        {
            const TraceFrame& frame = m_model.m_frames[i];
            Print(
                "<rect class=\"band%s\" data-frame=\"%u\" data-b=\"%s\" data-e=\"%s\" x=\"%.2f\" y=\"%.1f\" "
                "width=\"%.2f\" height=\"%.1f\"/>\n",
                i % 2 ? " odd" : "", static_cast<unsigned>(i), Us(frame.m_begin).c_str(),
                Us(frame.m_end).c_str(), X(frame.m_begin), LanesTop(), Width(frame.m_begin, frame.m_end),
                LaneTop(m_model.NumLanes()) - LanesTop());
        }
        fputs("</g>\n<g id=\"frames\">\n", m_pFile);
        for (size_t i = 0; i < m_model.m_frames.size(); ++i)
        {
            const TraceFrame& frame = m_model.m_frames[i];
            Print("<rect class=\"frame\" data-frame=\"%u\" data-name=\"%s\" data-b=\"%s\" data-e=\"%s\" "
                  "x=\"%.2f\" "
                  "y=\"%.1f\" width=\"%.2f\" height=\"%.0f\"><title>%s: %s ms, from %s ms (%s, job "
                  "%u)</title></rect>\n",
                  static_cast<unsigned>(i), Escape(frame.m_name).c_str(), Us(frame.m_begin).c_str(),
                  Us(frame.m_end).c_str(), X(frame.m_begin), FrameRowTop(frame.m_row) + 2,
                  Width(frame.m_begin, frame.m_end), kFrameRowHeight - 4, Escape(frame.m_name).c_str(),
                  Ms(frame.m_end - frame.m_begin).c_str(), Ms(frame.m_begin).c_str(),
                  Escape(TraceWorkerName(m_model, frame.m_worker)).c_str(),
                  static_cast<unsigned>(frame.m_jobId));
        }
        fputs("</g>\n", m_pFile);
    }

    void WriteBars()
    {
        fputs("<g id=\"bars\">\n", m_pFile);
        for (const TraceSlice& slice : m_model.m_slices)
        {
            const std::string name = Escape(slice.m_pName);
            Print("<rect class=\"bar\" data-job=\"%s\" data-worker=\"%u\" data-b=\"%s\" data-e=\"%s\" "
                  "x=\"%.2f\" "
                  "y=\"%.1f\" width=\"%.2f\" height=\"%.0f\" fill=\"%s\"><title>%s (job %u) on %s: %s ms "
                  "from %s ms"
                  "%s%s</title></rect>\n",
                  name.c_str(), static_cast<unsigned>(slice.m_worker), Us(slice.m_begin).c_str(),
                  Us(slice.m_end).c_str(), X(slice.m_begin), LaneTop(slice.m_worker) + kBarInset,
                  Width(slice.m_begin, slice.m_end), kLaneHeight - 2 * kBarInset,
                  m_colours[slice.m_pName].c_str(), name.c_str(), static_cast<unsigned>(slice.m_jobId),
                  Escape(TraceWorkerName(m_model, slice.m_worker)).c_str(),
                  Ms(slice.m_end - slice.m_begin).c_str(), Ms(slice.m_begin).c_str(),
                  slice.m_resumed ? "; resumed" : "", slice.m_suspended ? "; then suspended" : "");
        }
        fputs("</g>\n", m_pFile);
    }

    // A capture's regions: a job's steps in rows below its bar, lock waits in their own
    // colour, a host thread's regions on its lane.
    void WriteRegions()
    {
        fputs("<g id=\"regions\">\n", m_pFile);
        for (const TraceRegion& region : m_model.m_regions)
        {
            const std::string name = Escape(region.m_name);
            Print("<rect class=\"region%s\" data-name=\"%s\" data-b=\"%s\" data-e=\"%s\" x=\"%.2f\" "
                  "y=\"%.1f\" width=\"%.2f\" height=\"%.0f\" fill=\"%s\"><title>%s on %s: %s ms from %s "
                  "ms%s</title></rect>\n",
                  region.m_isWait ? " lockwait" : "", name.c_str(), Us(region.m_begin).c_str(),
                  Us(region.m_end).c_str(), X(region.m_begin), RegionTop(region),
                  Width(region.m_begin, region.m_end), RegionHeight(region),
                  region.m_isWait ? kLockWaitColour : StepColour(region.m_name).c_str(), name.c_str(),
                  Escape(TraceWorkerName(m_model, region.m_lane)).c_str(),
                  Ms(region.m_end - std::min(region.m_end, region.m_begin)).c_str(),
                  Ms(region.m_begin).c_str(),
                  region.m_isWait ? (region.m_inJob ? "; a lock wait inside a job" : "; a lock wait") : "");
        }
        fputs("</g>\n", m_pFile);
    }

    // Named events other than frames: a small tick on their worker's lane.
    void WriteMarks()
    {
        fputs("<g id=\"marks\">\n", m_pFile);
        for (const TraceMark& mark : m_model.m_marks)
        {
            if (mark.m_kind != TraceMarkKind::kEvent || mark.m_name.compare(0, 6, "Frame ") == 0)
                continue;
            Print("<rect class=\"mark\" data-b=\"%s\" data-e=\"%s\" x=\"%.2f\" y=\"%.1f\" width=\"2\" "
                  "height=\"%.0f\"><title>%s at %s ms on %s</title></rect>\n",
                  Us(mark.m_time).c_str(), Us(mark.m_time).c_str(), X(mark.m_time), LaneTop(mark.m_worker),
                  kLaneHeight - kBarInset, Escape(mark.m_name).c_str(), Ms(mark.m_time).c_str(),
                  Escape(TraceWorkerName(m_model, mark.m_worker)).c_str());
        }
        fputs("</g>\n", m_pFile);
    }

    void WriteWaits()
    {
        fputs("<g id=\"waits\">\n", m_pFile);
        for (const TraceFlow& flow : m_model.m_flows)
        {
            const TraceSlice& from = m_model.m_slices[flow.m_fromSlice];
            const TraceSlice& to = m_model.m_slices[flow.m_toSlice];
            const F64 y0 = LaneTop(from.m_worker) + kLaneHeight / 2;
            const F64 y1 = LaneTop(to.m_worker) + kLaneHeight / 2;
            const F64 x0 = X(from.m_end);
            const F64 x1 = X(to.m_begin);
            // A wait that resumes on the same worker arcs above its lane.
            const F64 lift = from.m_worker == to.m_worker ? kLaneHeight * 0.8 : 0;
            Print("<path class=\"wait\" data-job=\"%u\" data-b=\"%s\" data-e=\"%s\" data-y0=\"%.1f\" "
                  "data-y1=\"%.1f\" data-lift=\"%.1f\" d=\"M%.2f,%.1f C%.2f,%.1f %.2f,%.1f %.2f,%.1f\" "
                  "marker-end=\"url(#arrow)\"><title>%s (job %u) waited %s ms: suspended on %s at %s ms, "
                  "resumed on "
                  "%s</title></path>\n",
                  static_cast<unsigned>(flow.m_jobId), Us(from.m_end).c_str(), Us(to.m_begin).c_str(), y0, y1,
                  lift, x0, y0, x0 + (x1 - x0) / 3, y0 - lift, x1 - (x1 - x0) / 3, y1 - lift, x1, y1,
                  Escape(from.m_pName).c_str(), static_cast<unsigned>(flow.m_jobId),
                  Ms(to.m_begin - std::min(to.m_begin, from.m_end)).c_str(),
                  Escape(TraceWorkerName(m_model, from.m_worker)).c_str(), Ms(from.m_end).c_str(),
                  Escape(TraceWorkerName(m_model, to.m_worker)).c_str());
        }
        fputs("</g>\n", m_pFile);
    }

    void WriteTables()
    {
        fputs(
            "<div class=\"tables\">\n<table id=\"legend\"><caption>Jobs</caption>\n<tr><th></th><th>job</th>"
            "<th>jobs</th><th>run ms</th><th>longest ms</th><th>waits</th><th>waiting ms</th></tr>\n",
            m_pFile);
        for (const JobNameFigures& job : m_summary.m_jobs)
            Print("<tr class=\"legend-entry\" data-job=\"%s\"><td><span class=\"swatch\" "
                  "style=\"background:%s\">"
                  "</span></td><td>%s</td><td>%llu</td><td>%s</td><td>%s</td><td>%llu</td><td>%s</td></tr>\n",
                  Escape(job.m_name).c_str(), m_colours[job.m_name].c_str(), Escape(job.m_name).c_str(),
                  static_cast<unsigned long long>(job.m_jobs), Ms(job.m_runTime).c_str(),
                  Ms(job.m_longest).c_str(), static_cast<unsigned long long>(job.m_waits),
                  Ms(job.m_waitTime).c_str());
        Print("<tr><td><svg width=\"26\" height=\"10\"><path class=\"wait\" d=\"M1,5 L22,5\" "
              "marker-end=\"url(#arrow)\"/></svg></td><td colspan=\"6\">a wait: from the job's suspension to "
              "its "
              "resumption</td></tr>\n"
              "<tr><td><svg width=\"26\" height=\"14\"><rect class=\"mark\" x=\"10\" y=\"0\" width=\"2\" "
              "height=\"14\"/></svg></td><td colspan=\"6\">a named event, such as the audio mix's submission "
              "(hover for its name)</td></tr>\n");
        if (m_summary.m_captured)
            Print("<tr><td><span class=\"swatch\" style=\"background:%s\"></span></td><td colspan=\"6\">a "
                  "job's step (a profiler region it opened), in rows below the job's bar</td></tr>\n"
                  "<tr><td><span class=\"swatch\" style=\"background:%s\"></span></td><td colspan=\"6\">a "
                  "lock wait (hover for the lock and its caller)</td></tr>\n",
                  StepColour("step").c_str(), kLockWaitColour);
        fputs("</table>\n", m_pFile);
        WriteWorkersTable();
        if (m_summary.m_captured)
            WriteLocksTable();
        fputs("</div>\n", m_pFile);
        const std::string why = ExplainTimeCriticalJob(m_summary);
        if (!why.empty())
            Print("<p id=\"why\">%s</p>\n", Escape(why).c_str());
    }

    F64 Share(U64 time) const
    {
        return m_summary.m_window ? 100.0 * static_cast<F64>(time) / static_cast<F64>(m_summary.m_window)
                                  : 0.0;
    }

    void WriteLocksTable()
    {
        fputs("<table id=\"locks\"><caption>Lock waits</caption>\n<tr><th></th><th>lock</th><th>waits</th>"
              "<th>total ms</th><th>longest ms</th></tr>\n",
              m_pFile);
        for (const LockWaitFigures& lock : m_summary.m_locks)
            Print("<tr><td></td><td>%s</td><td>%llu</td><td>%s</td><td>%s</td></tr>\n",
                  Escape(lock.m_lock).c_str(), static_cast<unsigned long long>(lock.m_waits),
                  Ms(lock.m_total).c_str(), Ms(lock.m_longest).c_str());
        if (m_summary.m_locks.empty())
            fputs("<tr><td></td><td colspan=\"4\">no lock waited in the capture</td></tr>\n", m_pFile);
        if (m_summary.m_droppedEvents)
            Print("<tr><td></td><td colspan=\"4\">the capture's buffer was full: %llu events "
                  "dropped</td></tr>\n",
                  static_cast<unsigned long long>(m_summary.m_droppedEvents));
        fputs("</table>\n", m_pFile);
    }

    void WriteWorkersTable()
    {
        if (m_summary.m_captured)
        {
            fputs("<table id=\"workers\"><caption>Workers (share of the frames' time)</caption>\n"
                  "<tr><th>worker</th><th>running</th><th>waiting</th><th>idle</th><th></th><th>slices</th></"
                  "tr>\n",
                  m_pFile);
            for (const WorkerFigures& worker : m_summary.m_workers)
                Print(
                    "<tr%s><td>%s</td><td>%.1f%%</td><td>%.1f%%</td><td>%.1f%%</td><td><span class=\"share\" "
                    "style=\"width:%.0fpx\"></span><span class=\"share lockwait\" "
                    "style=\"width:%.0fpx\"></span>"
                    "</td><td>%llu</td></tr>\n",
                    worker.m_isEmergency ? " class=\"emergency\"" : "", Escape(worker.m_name).c_str(),
                    Share(worker.m_running), Share(worker.m_waiting), Share(worker.m_idle),
                    std::min(Share(worker.m_running), 100.0) * 1.5,
                    std::min(Share(worker.m_waiting), 100.0) * 1.5,
                    static_cast<unsigned long long>(worker.m_slices));
            fputs("</table>\n", m_pFile);
            return;
        }
        fputs("<table id=\"workers\"><caption>Workers (busy: share of the frames' time running "
              "jobs)</caption>\n"
              "<tr><th>worker</th><th>busy</th><th></th><th>slices</th></tr>\n",
              m_pFile);
        for (const WorkerFigures& worker : m_summary.m_workers)
        {
            const F64 share = m_summary.m_window ? 100.0 * static_cast<F64>(worker.m_busy) /
                                                       static_cast<F64>(m_summary.m_window)
                                                 : 0.0;
            Print("<tr%s><td>%s</td><td>%.1f%%</td><td><span class=\"share\" "
                  "style=\"width:%.0fpx\"></span></td>"
                  "<td>%llu</td></tr>\n",
                  worker.m_isEmergency ? " class=\"emergency\"" : "", Escape(worker.m_name).c_str(), share,
                  std::min(share, 100.0) * 1.5, static_cast<unsigned long long>(worker.m_slices));
        }
        fputs("</table>\n", m_pFile);
    }

    static const char* const kStyle;
    static const char* const kScript;

    FILE* m_pFile;
    const TraceModel& m_model;
    const TraceSummary& m_summary;
    U64 m_end = 0;
    std::map<std::string, std::string> m_colours;
};

const char* const PageWriter::kStyle =
    R"CSS(body{font:13px/1.4 system-ui,-apple-system,"Segoe UI",sans-serif;margin:16px;color:#1d1d1f;background:#fafafa}
h1{font-size:18px;margin:0 0 4px}
.sub{margin:0 0 10px;color:#555}
.controls{margin:0 0 8px;display:flex;gap:6px;align-items:center}
.controls button,.controls select{font:inherit;padding:2px 8px}
#view{margin-left:12px;color:#555;font-variant-numeric:tabular-nums}
#chart{overflow-x:auto;background:#fff;border:1px solid #ddd}
svg text{font:12px system-ui,-apple-system,"Segoe UI",sans-serif}
.lane{fill:#fff}.lane.odd{fill:#f4f5f7}
.lane.emergency{fill:#fdf0ee}
.lane-label{fill:#333}.lane-label.emergency{fill:#b3261e;font-weight:600}
.frames-label{font-weight:600}
.band{fill:transparent;stroke:#c9ced6;stroke-width:.5}.band.odd{fill:rgba(80,100,140,.06)}
.frame{fill:#dfe6f0;stroke:#8a99b0;stroke-width:.6;cursor:zoom-in}.frame:hover{fill:#c4d2e6}
.frame-label{fill:#223;font-size:11px;pointer-events:none}
.bar{stroke:rgba(0,0,0,.25);stroke-width:.5}.bar:hover{stroke:#000;stroke-width:1.5}
.bar-label{fill:#fff;font-size:11px;pointer-events:none}
.mark{fill:#111;opacity:.8}
.wait{fill:none;stroke:#222;stroke-width:1;stroke-dasharray:3 2}
.tick{stroke:#bbb;stroke-width:.5}.tick-label{fill:#555;font-size:11px}
.tables{display:flex;gap:32px;flex-wrap:wrap;margin-top:12px;align-items:flex-start}
table{border-collapse:collapse;font-variant-numeric:tabular-nums}
caption{text-align:left;font-weight:600;padding-bottom:4px}
th,td{padding:2px 8px;text-align:right}th:nth-child(2),td:nth-child(2),#workers td:first-child{text-align:left}
tr.emergency td:first-child{color:#b3261e}
.swatch{display:inline-block;width:14px;height:14px;border-radius:2px;vertical-align:middle}
.share{display:inline-block;height:10px;background:#4e79a7}.share.lockwait{background:#d62728}
.region{stroke:rgba(0,0,0,.2);stroke-width:.4}.region:hover{stroke:#000;stroke-width:1}
.region.lockwait{stroke:#7a0e0e}
.region-label{fill:#111;font-size:9px;pointer-events:none}
.lane.host{fill:#eef6ee}.lane-label.host{fill:#2b6b2b;font-weight:600}
#why{max-width:1100px;background:#fff;border-left:3px solid #e15759;padding:6px 10px}
)CSS";

const char* const PageWriter::kScript = R"JS((function () {
  var svg = document.getElementById('timeline');
  var W = +svg.getAttribute('data-plot-width'), END = +svg.getAttribute('data-end');
  var LW = +svg.getAttribute('data-label-width'), chart = document.getElementById('chart');
  var NS = 'http://www.w3.org/2000/svg';
  var axis = document.getElementById('axis'), labels = document.getElementById('barLabels');
  var select = document.getElementById('frame'), viewText = document.getElementById('view');
  var height = +svg.getAttribute('height');
  var items = Array.prototype.map.call(svg.querySelectorAll('[data-b]'), function (el) {
    return { el: el, b: +el.getAttribute('data-b'), e: +el.getAttribute('data-e'), cls: el.getAttribute('class') };
  });
  var frames = items.filter(function (r) { return r.cls === 'frame'; });
  var v0 = 0, v1 = END, current = -1;
  function X(t) { return (t - v0) / (v1 - v0) * W; }
  function make(tag, attrs, text) {
    var el = document.createElementNS(NS, tag);
    for (var k in attrs) el.setAttribute(k, attrs[k]);
    if (text !== undefined) el.textContent = text;
    return el;
  }
  function drawAxis() {
    while (axis.firstChild) axis.removeChild(axis.firstChild);
    var span = v1 - v0, raw = span / 10, p = Math.pow(10, Math.floor(Math.log10(raw)));
    var step = [1, 2, 5, 10].map(function (m) { return m * p; }).filter(function (s) { return s >= raw; })[0];
    var decimals = Math.max(0, -Math.floor(Math.log10(step / 1000)));
    for (var t = Math.ceil(v0 / step) * step; t <= v1; t += step) {
      var x = X(t);
      axis.appendChild(make('line', { 'class': 'tick', x1: x, x2: x, y1: 18, y2: height }));
      axis.appendChild(make('text', { 'class': 'tick-label', x: x + 2, y: 14 }, (t / 1000).toFixed(decimals) + ' ms'));
    }
  }
  function layout() {
    items.forEach(function (r) {
      var x0 = X(r.b), x1 = X(r.e), el = r.el;
      var outside = x1 < -50 || x0 > W + 50;
      el.style.display = outside ? 'none' : '';
      if (outside) return;
      if (r.cls === 'wait') {
        var y0 = +el.getAttribute('data-y0'), y1 = +el.getAttribute('data-y1'), lift = +el.getAttribute('data-lift');
        var d = (x1 - x0) / 3;
        el.setAttribute('d', 'M' + x0 + ',' + y0 + ' C' + (x0 + d) + ',' + (y0 - lift) + ' ' + (x1 - d) + ',' +
          (y1 - lift) + ' ' + x1 + ',' + y1);
      } else if (r.cls === 'mark') {
        el.setAttribute('x', x0);
      } else {
        el.setAttribute('x', x0);
        el.setAttribute('width', Math.max(x1 - x0, 1));
      }
    });
    while (labels.firstChild) labels.removeChild(labels.firstChild);
    items.forEach(function (r) {
      var region = r.cls.indexOf('region') === 0;
      if (r.cls !== 'bar' && r.cls !== 'frame' && !region) return;
      var x0 = Math.max(X(r.b), 0), x1 = Math.min(X(r.e), W);
      var name = r.cls === 'bar' ? r.el.getAttribute('data-job') : r.el.getAttribute('data-name');
      if (x1 - x0 < name.length * (region ? 5 : 6.5) + 8) return;
      var y = +r.el.getAttribute('y') + +r.el.getAttribute('height') / 2 + (region ? 3 : 4);
      var cls = r.cls === 'bar' ? 'bar-label' : (region ? 'region-label' : 'frame-label');
      labels.appendChild(make('text', { 'class': cls, x: x0 + 3, y: y }, name));
    });
    drawAxis();
    viewText.textContent = (v0 / 1000).toFixed(3) + ' .. ' + (v1 / 1000).toFixed(3) + ' ms (' +
      ((v1 - v0) / 1000).toFixed(3) + ' ms shown)';
  }
  function show(a, b) { v0 = Math.max(a, 0); v1 = Math.min(Math.max(b, v0 + 1), END); layout(); }
  function showFrame(i) {
    current = i;
    select.value = String(i);
    if (i < 0) { show(0, END); return; }
    var f = frames[i], pad = (f.e - f.b) * 0.03;
    show(f.b - pad, f.e + pad);
  }
  frames.forEach(function (f, i) { f.el.addEventListener('click', function () { showFrame(i); }); });
  select.addEventListener('change', function () { showFrame(+select.value); });
  document.getElementById('prev').addEventListener('click', function () { showFrame(Math.max(current - 1, 0)); });
  document.getElementById('next').addEventListener('click', function () {
    showFrame(Math.min(current + 1, frames.length - 1));
  });
  document.getElementById('all').addEventListener('click', function () { showFrame(-1); });
  document.addEventListener('keydown', function (ev) {
    if (ev.key === 'Escape') showFrame(-1);
    if (ev.key === 'ArrowLeft') showFrame(Math.max(current - 1, 0));
    if (ev.key === 'ArrowRight') showFrame(Math.min(current + 1, frames.length - 1));
  });
  function timeAt(ev) {
    var box = svg.getBoundingClientRect();
    return v0 + (ev.clientX - box.left - (box.width - W - 10)) / W * (v1 - v0);
  }
  svg.addEventListener('wheel', function (ev) {
    ev.preventDefault();
    var t = timeAt(ev), k = ev.deltaY > 0 ? 1.25 : 0.8;
    show(t - (t - v0) * k, t + (v1 - t) * k);
  }, { passive: false });
  var drag = null;
  svg.addEventListener('mousedown', function (ev) { drag = { x: ev.clientX, v0: v0, v1: v1 }; });
  window.addEventListener('mouseup', function () { drag = null; });
  window.addEventListener('mousemove', function (ev) {
    if (!drag) return;
    var dt = (drag.x - ev.clientX) / W * (drag.v1 - drag.v0);
    if (drag.v0 + dt < 0) dt = -drag.v0;
    if (drag.v1 + dt > END) dt = END - drag.v1;
    v0 = drag.v0 + dt; v1 = drag.v1 + dt; layout();
  });
  // The plot takes the window's width (less the labels), so nothing is cut off on the right.
  function fit() {
    W = Math.max(200, chart.clientWidth - LW - 12);
    svg.setAttribute('width', LW + W + 10);
    document.getElementById('clipRect').setAttribute('width', W);
    Array.prototype.forEach.call(document.querySelectorAll('#lanes rect'), function (el) {
      el.setAttribute('width', W);
    });
  }
  window.addEventListener('resize', function () { fit(); layout(); });
  fit();
  var start = /[?#&]frame=(\d+)/.exec(location.hash + location.search);
  if (start && frames.length) showFrame(Math.min(+start[1], frames.length - 1)); else layout();
})();
)JS";
} // namespace

std::string TimelinePagePath(const char* pTracePath)
{
    std::string path = pTracePath ? pTracePath : "";
    constexpr const char kJson[] = ".json";
    const size_t length = sizeof(kJson) - 1;
    if (path.size() >= length)
    {
        std::string extension = path.substr(path.size() - length);
        std::transform(extension.begin(), extension.end(), extension.begin(),
                       [](char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
        if (extension == kJson)
            path.resize(path.size() - length);
    }
    return path + ".html";
}

bool WriteTimelinePage(FILE* pFile, const TraceModel& model, const TraceSummary& summary)
{
    PageWriter(pFile, model, summary).Write();
    return ferror(pFile) == 0;
}

bool WriteTimelinePageFile(const char* pPath, const TraceModel& model, const TraceSummary& summary)
{
    return WriteWholeFile(pPath, [&](FILE* pFile) { return WriteTimelinePage(pFile, model, summary); });
}
