#include "corelib/timeline/trace-export.h"

#include "corelib/timeline/timeline-file.h"

#include <algorithm>
#include <string>

namespace
{
// Flow markers sit this far (in nanoseconds) inside the slice they belong to, so that a
// viewer binds them to that slice and not to its neighbour that ends or starts there.
constexpr U64 kFlowInset = 1;

class JsonWriter
{
public:
    explicit JsonWriter(FILE* pFile) : m_pFile(pFile) {}

    // Writes a time or a duration as microseconds with three decimals.
    void Time(U64 nanoseconds)
    {
        fprintf(m_pFile, "%llu.%03llu", static_cast<unsigned long long>(nanoseconds / 1000),
                static_cast<unsigned long long>(nanoseconds % 1000));
    }

    // Starts the next event of the traceEvents array.
    void BeginEvent() { fputs(m_numEvents++ ? ",\n" : "\n", m_pFile); }

    void String(const char* pText)
    {
        std::string escaped = "\"";
        for (const char* p = pText ? pText : ""; *p; ++p)
        {
            const unsigned char c = static_cast<unsigned char>(*p);
            if (c == '"' || c == '\\')
            {
                escaped += '\\';
                escaped += static_cast<char>(c);
            }
            else if (c < 0x20)
            {
                char code[8];
                snprintf(code, sizeof(code), "\\u%04x", c);
                escaped += code;
            }
            else
            {
                escaped += static_cast<char>(c);
            }
        }
        escaped += '"';
        fputs(escaped.c_str(), m_pFile);
    }

    FILE* File() const { return m_pFile; }

private:
    FILE* m_pFile;
    U64 m_numEvents = 0;
};

void WriteTrackMetadata(JsonWriter& json, U64 tid, const char* pName, long long sortIndex)
{
    json.BeginEvent();
    fprintf(json.File(), "{\"name\":\"thread_name\",\"ph\":\"M\",\"pid\":1,\"tid\":%u,\"args\":{\"name\":",
            static_cast<unsigned>(tid));
    json.String(pName);
    fputs("}}", json.File());
    json.BeginEvent();
    fprintf(
        json.File(),
        "{\"name\":\"thread_sort_index\",\"ph\":\"M\",\"pid\":1,\"tid\":%u,\"args\":{\"sort_index\":%lld}}",
        static_cast<unsigned>(tid), sortIndex);
}

void WriteSlice(JsonWriter& json, const TraceSlice& slice)
{
    json.BeginEvent();
    fputs("{\"name\":", json.File());
    json.String(slice.m_pName);
    fprintf(json.File(), ",\"cat\":\"job\",\"ph\":\"X\",\"pid\":1,\"tid\":%u,\"ts\":",
            static_cast<unsigned>(slice.m_worker));
    json.Time(slice.m_begin);
    fputs(",\"dur\":", json.File());
    json.Time(slice.m_end - slice.m_begin);
    fprintf(json.File(), ",\"args\":{\"job\":%u,\"flags\":\"0x%X\",\"resumed\":%s,\"suspended\":%s}}",
            static_cast<unsigned>(slice.m_jobId), static_cast<unsigned>(slice.m_flags),
            slice.m_resumed ? "true" : "false", slice.m_suspended ? "true" : "false");
}

void WriteFrame(JsonWriter& json, U64 tid, const TraceFrame& frame)
{
    json.BeginEvent();
    fputs("{\"name\":", json.File());
    json.String(frame.m_name.c_str());
    fprintf(json.File(),
            ",\"cat\":\"frame\",\"ph\":\"X\",\"pid\":1,\"tid\":%u,\"ts\":", static_cast<unsigned>(tid));
    json.Time(frame.m_begin);
    fputs(",\"dur\":", json.File());
    json.Time(frame.m_end - frame.m_begin);
    fprintf(json.File(), ",\"args\":{\"frame\":%llu,\"job\":%u,\"worker\":%u}}",
            static_cast<unsigned long long>(frame.m_number), static_cast<unsigned>(frame.m_jobId),
            static_cast<unsigned>(frame.m_worker));
}

const char* MarkCategory(TraceMarkKind kind)
{
    switch (kind)
    {
    case TraceMarkKind::kWait:
        return "wait";
    case TraceMarkKind::kStackSwitch:
        return "fiber";
    default:
        return "event";
    }
}

void WriteMark(JsonWriter& json, const TraceMark& mark)
{
    json.BeginEvent();
    fputs("{\"name\":", json.File());
    json.String(mark.m_name.c_str());
    fprintf(json.File(), ",\"cat\":\"%s\",\"ph\":\"i\",\"s\":\"t\",\"pid\":1,\"tid\":%u,\"ts\":",
            MarkCategory(mark.m_kind), static_cast<unsigned>(mark.m_worker));
    json.Time(mark.m_time);
    const oxjob::JobTraceElement& record = *mark.m_pRecord;
    if (mark.m_kind == TraceMarkKind::kWait)
        fprintf(json.File(), ",\"args\":{\"job\":%u,\"counter\":\"0x%llX\",\"value\":%lld}}",
                static_cast<unsigned>(record.m_jobId),
                static_cast<unsigned long long>(reinterpret_cast<UPtr>(record.m_pCounter)),
                static_cast<long long>(record.m_value));
    else if (mark.m_kind == TraceMarkKind::kEvent)
        fputs("}", json.File());
    else
        fprintf(json.File(), ",\"args\":{\"job\":%u}}", static_cast<unsigned>(record.m_jobId));
}

// A capture's region: a slice nested by time inside the job slice (or the region) around it.
void WriteRegion(JsonWriter& json, U64 tid, const TraceRegion& region)
{
    json.BeginEvent();
    fputs("{\"name\":", json.File());
    json.String(region.m_name.c_str());
    fprintf(json.File(), ",\"cat\":\"%s\",\"ph\":\"X\",\"pid\":1,\"tid\":%u,\"ts\":",
            region.m_isWait ? "lock wait" : "region", static_cast<unsigned>(tid));
    json.Time(region.m_begin);
    fputs(",\"dur\":", json.File());
    json.Time(region.m_end - std::min(region.m_end, region.m_begin));
    fprintf(json.File(), ",\"args\":{\"depth\":%u,\"color\":\"0x%08X\"}}",
            static_cast<unsigned>(region.m_row), static_cast<unsigned>(region.m_color));
}

// The arrow of a wait: from just before the end of the slice where the job was suspended
// to just after the start of the slice where it resumed.
void WriteFlow(JsonWriter& json, const TraceModel& model, const TraceFlow& flow)
{
    const TraceSlice& from = model.m_slices[flow.m_fromSlice];
    const TraceSlice& to = model.m_slices[flow.m_toSlice];
    json.BeginEvent();
    fprintf(json.File(),
            "{\"name\":\"resume\",\"cat\":\"wait\",\"ph\":\"s\",\"id\":%u,\"pid\":1,\"tid\":%u,\"ts\":",
            static_cast<unsigned>(flow.m_jobId), static_cast<unsigned>(from.m_worker));
    json.Time(from.m_end - std::min(kFlowInset, (from.m_end - from.m_begin) / 2));
    fputs("}", json.File());
    json.BeginEvent();
    fprintf(json.File(),
            "{\"name\":\"resume\",\"cat\":\"wait\",\"ph\":\"f\",\"bp\":\"e\",\"id\":%u,\"pid\":1,\"tid\":%u,"
            "\"ts\":",
            static_cast<unsigned>(flow.m_jobId), static_cast<unsigned>(to.m_worker));
    json.Time(to.m_begin + std::min(kFlowInset, (to.m_end - to.m_begin) / 2));
    fputs("}", json.File());
}
} // namespace

U64 TraceFramesTrack(const TraceModel& model, U32 row)
{
    return model.NumWorkers() + row;
}

U64 TraceLaneTrack(const TraceModel& model, U64 lane)
{
    return lane < model.NumWorkers() ? lane : lane + model.m_frameRows;
}

bool WriteTraceEventJson(FILE* pFile, const TraceModel& model, TraceExportSummary* pSummary)
{
    TraceExportSummary summary;
    summary.m_workers = model.NumWorkers();
    summary.m_records = model.m_records;
    JsonWriter json(pFile);
    fputs("{\"displayTimeUnit\":\"ms\",\"traceEvents\":[", pFile);
    json.BeginEvent();
    fputs("{\"name\":\"process_name\",\"ph\":\"M\",\"pid\":1,\"args\":{\"name\":", pFile);
    json.String((model.m_title + " job system").c_str());
    fputs("}}", pFile);
    // The frames' tracks sort before the workers'.
    for (U32 row = 0; row < model.m_frameRows; ++row)
    {
        const std::string name = row == 0 ? std::string("Frames") : "Frames " + std::to_string(row + 1);
        WriteTrackMetadata(json, TraceFramesTrack(model, row), name.c_str(),
                           static_cast<long long>(row) - static_cast<long long>(model.m_frameRows));
    }
    for (U64 worker = 0; worker < model.NumWorkers(); ++worker)
        WriteTrackMetadata(json, worker, TraceWorkerName(model, worker).c_str(),
                           static_cast<long long>(worker));
    for (const TraceFrame& frame : model.m_frames)
        WriteFrame(json, TraceFramesTrack(model, frame.m_row), frame);
    summary.m_frames = model.m_frames.size();
    // Worker by worker: its slices, then its marks.
    size_t slice = 0;
    size_t mark = 0;
    for (U64 worker = 0; worker < model.NumWorkers(); ++worker)
    {
        for (; slice < model.m_slices.size() && model.m_slices[slice].m_worker == worker; ++slice)
        {
            WriteSlice(json, model.m_slices[slice]);
            ++summary.m_slices;
            summary.m_jobsStarted += !model.m_slices[slice].m_resumed;
        }
        for (; mark < model.m_marks.size() && model.m_marks[mark].m_worker == worker; ++mark)
        {
            WriteMark(json, model.m_marks[mark]);
            ++summary.m_instants;
        }
    }
    for (const TraceFlow& flow : model.m_flows)
        WriteFlow(json, model, flow);
    summary.m_flows = model.m_flows.size();
    // The host lanes sort after the workers.
    for (U64 lane = model.NumWorkers(); lane < model.NumLanes(); ++lane)
        WriteTrackMetadata(json, TraceLaneTrack(model, lane), TraceWorkerName(model, lane).c_str(),
                           static_cast<long long>(lane));
    for (const TraceRegion& region : model.m_regions)
    {
        WriteRegion(json, TraceLaneTrack(model, region.m_lane), region);
        ++summary.m_regions;
        summary.m_lockWaits += region.m_isWait;
    }
    fputs("\n]}\n", pFile);
    *pSummary = summary;
    return ferror(pFile) == 0;
}

bool WriteTraceEventJson(FILE* pFile, const WorkerTraceRecords* pWorkers, U64 numWorkers, U64 ticksPerSecond,
                         TraceJobNameFn nameOf, TraceExportSummary* pSummary)
{
    return WriteTraceEventJson(pFile, BuildTraceModel(pWorkers, numWorkers, ticksPerSecond, nameOf),
                               pSummary);
}

bool WriteTraceEventFile(const char* pPath, const TraceModel& model, TraceExportSummary* pSummary)
{
    return WriteWholeFile(pPath, [&](FILE* pFile) { return WriteTraceEventJson(pFile, model, pSummary); });
}
