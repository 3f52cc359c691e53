#include "demo/demo-trace-export.h"

#include "corelib/job/job-descriptor.h"
#include "corelib/job/job-system.h"
#include "corelib/job/job-time-critical.h"
#include "corelib/system/timing.h"

#include <algorithm>
#include <string>
#include <vector>

namespace
{
// Flow markers sit this far (in nanoseconds) inside the slice they belong to, so that a
// viewer binds them to that slice and not to its neighbour that ends or starts there.
constexpr U64 kFlowInset = 1;

// One end of a flow: a job's suspension or resumption on a worker.
struct FlowEnd
{
    U32 m_jobId;
    U64 m_worker;
    U64 m_timestamp;
    U64 m_markerTime; // where the marker goes, inside the slice (nanoseconds)
    bool m_isSuspension;
};

class JsonWriter
{
public:
    JsonWriter(FILE* pFile, U64 baseTimestamp, U64 ticksPerSecond)
        : m_pFile(pFile), m_base(baseTimestamp), m_ticksPerSecond(ticksPerSecond ? ticksPerSecond : 1)
    {
    }

    // Whole nanoseconds since the base. Times are kept in integers so that a slice's start
    // plus its duration is exactly its end, as the file says it.
    U64 Nanoseconds(U64 timestamp) const
    {
        const U64 delta = timestamp > m_base ? timestamp - m_base : 0;
        const F64 fraction = static_cast<F64>(delta % m_ticksPerSecond) / static_cast<F64>(m_ticksPerSecond);
        return delta / m_ticksPerSecond * 1000000000ull + static_cast<U64>(fraction * 1e9 + 0.5);
    }

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
    U64 m_base;
    U64 m_ticksPerSecond;
    U64 m_numEvents = 0;
};

void WriteThreadMetadata(JsonWriter& json, U64 worker, bool isEmergency)
{
    char name[48];
    snprintf(name, sizeof(name), "Worker %u%s", static_cast<unsigned>(worker),
             isEmergency ? " (emergency)" : "");
    json.BeginEvent();
    fprintf(json.File(), "{\"name\":\"thread_name\",\"ph\":\"M\",\"pid\":1,\"tid\":%u,\"args\":{\"name\":",
            static_cast<unsigned>(worker));
    json.String(name);
    fputs("}}", json.File());
    json.BeginEvent();
    fprintf(json.File(),
            "{\"name\":\"thread_sort_index\",\"ph\":\"M\",\"pid\":1,\"tid\":%u,\"args\":{\"sort_index\":%u}}",
            static_cast<unsigned>(worker), static_cast<unsigned>(worker));
}

void WriteSlice(JsonWriter& json, U64 worker, const char* pName, const oxjob::JobTraceElement& opening,
                U64 begin, U64 end)
{
    json.BeginEvent();
    fputs("{\"name\":", json.File());
    json.String(pName);
    fprintf(json.File(),
            ",\"cat\":\"job\",\"ph\":\"X\",\"pid\":1,\"tid\":%u,\"ts\":", static_cast<unsigned>(worker));
    json.Time(begin);
    fputs(",\"dur\":", json.File());
    json.Time(end - begin);
    fprintf(json.File(), ",\"args\":{\"job\":%u,\"flags\":\"0x%X\",\"resumed\":%s}}",
            static_cast<unsigned>(opening.m_jobId), static_cast<unsigned>(opening.m_flags),
            opening.m_kind == oxjob::kJobTraceResumeJob ? "true" : "false");
}

void WriteInstant(JsonWriter& json, U64 worker, const char* pCategory, const char* pName, U64 time,
                  const oxjob::JobTraceElement& record)
{
    json.BeginEvent();
    fputs("{\"name\":", json.File());
    json.String(pName);
    fprintf(json.File(), ",\"cat\":\"%s\",\"ph\":\"i\",\"s\":\"t\",\"pid\":1,\"tid\":%u,\"ts\":", pCategory,
            static_cast<unsigned>(worker));
    json.Time(time);
    if (record.m_kind == oxjob::kJobTraceSleepJob)
        fprintf(json.File(), ",\"args\":{\"job\":%u,\"counter\":\"0x%llX\",\"value\":%lld}}",
                static_cast<unsigned>(record.m_jobId),
                static_cast<unsigned long long>(reinterpret_cast<UPtr>(record.m_pCounter)),
                static_cast<long long>(record.m_value));
    else if (record.m_kind == oxjob::kJobTraceEvent)
        fputs("}", json.File());
    else
        fprintf(json.File(), ",\"args\":{\"job\":%u}}", static_cast<unsigned>(record.m_jobId));
}

void WriteFlow(JsonWriter& json, const FlowEnd& from, const FlowEnd& to)
{
    json.BeginEvent();
    fprintf(json.File(),
            "{\"name\":\"resume\",\"cat\":\"wait\",\"ph\":\"s\",\"id\":%u,\"pid\":1,\"tid\":%u,\"ts\":",
            static_cast<unsigned>(from.m_jobId), static_cast<unsigned>(from.m_worker));
    json.Time(from.m_markerTime);
    fputs("}", json.File());
    json.BeginEvent();
    fprintf(json.File(),
            "{\"name\":\"resume\",\"cat\":\"wait\",\"ph\":\"f\",\"bp\":\"e\",\"id\":%u,\"pid\":1,\"tid\":%u,"
            "\"ts\":",
            static_cast<unsigned>(to.m_jobId), static_cast<unsigned>(to.m_worker));
    json.Time(to.m_markerTime);
    fputs("}", json.File());
}

// Turns one worker's records into slices and instant marks, and collects the ends of flows.
void WriteWorkerRecords(JsonWriter& json, U64 worker, const WorkerTraceRecords& records,
                        TraceJobNameFn nameOf, std::vector<FlowEnd>& flowEnds, TraceExportSummary& summary)
{
    const oxjob::JobTraceElement* pOpen = nullptr; // the record that opened the running slice
    for (U64 i = 0; i < records.m_count; ++i)
    {
        const oxjob::JobTraceElement& record = records.m_pRecords[i];
        const U64 time = json.Nanoseconds(record.m_timestamp);
        switch (record.m_kind)
        {
        case oxjob::kJobTraceStartJob:
        case oxjob::kJobTraceResumeJob:
            // A slice still open here lost its end (a torn record): it is left out.
            pOpen = &record;
            break;
        case oxjob::kJobTraceCompleteJob:
        case oxjob::kJobTraceSuspendFiber:
        {
            const bool closesSlice = pOpen && pOpen->m_jobId == record.m_jobId;
            if (closesSlice)
            {
                // A worker's records are in time order; a torn one must not make a slice negative.
                const U64 begin = std::min(json.Nanoseconds(pOpen->m_timestamp), time);
                const U64 inset = std::min(kFlowInset, (time - begin) / 2);
                WriteSlice(json, worker, nameOf(pOpen->m_subject), *pOpen, begin, time);
                ++summary.m_slices;
                if (pOpen->m_kind == oxjob::kJobTraceStartJob)
                    ++summary.m_jobsStarted;
                if (pOpen->m_kind == oxjob::kJobTraceResumeJob)
                    flowEnds.push_back({pOpen->m_jobId, worker, pOpen->m_timestamp, begin + inset, false});
                if (record.m_kind == oxjob::kJobTraceSuspendFiber)
                    flowEnds.push_back({record.m_jobId, worker, record.m_timestamp, time - inset, true});
                pOpen = nullptr;
            }
            else if (record.m_kind == oxjob::kJobTraceSuspendFiber)
            {
                // The job left this fiber before it started: it moved to a fiber of the
                // stack size it needs.
                std::string name = std::string("Stack switch: ") + nameOf(record.m_subject);
                WriteInstant(json, worker, "fiber", name.c_str(), time, record);
                ++summary.m_instants;
            }
            // A completion whose start is older than the ring's oldest record has no slice.
            break;
        }
        case oxjob::kJobTraceSleepJob:
        {
            std::string name = std::string("Wait: ") + nameOf(record.m_subject);
            WriteInstant(json, worker, "wait", name.c_str(), time, record);
            ++summary.m_instants;
            break;
        }
        default: // kJobTraceEvent, and any kind this export does not know
            WriteInstant(json, worker, "event",
                         record.m_kind == oxjob::kJobTraceEvent
                             ? reinterpret_cast<const char*>(record.m_subject)
                             : "Unknown trace record",
                         time, record);
            ++summary.m_instants;
            break;
        }
    }
}

// Pairs every resumption with the latest earlier suspension of the same job that no
// other resumption took, and writes the arrows.
void WriteFlows(JsonWriter& json, std::vector<FlowEnd>& flowEnds, TraceExportSummary& summary)
{
    std::sort(flowEnds.begin(), flowEnds.end(),
              [](const FlowEnd& a, const FlowEnd& b)
              {
                  if (a.m_jobId != b.m_jobId)
                      return a.m_jobId < b.m_jobId;
                  if (a.m_timestamp != b.m_timestamp)
                      return a.m_timestamp < b.m_timestamp;
                  return a.m_isSuspension &&
                         !b.m_isSuspension; // a suspension comes before a resumption at the same time
              });
    const FlowEnd* pSuspension = nullptr;
    for (const FlowEnd& end : flowEnds)
    {
        if (pSuspension && pSuspension->m_jobId != end.m_jobId)
            pSuspension = nullptr;
        if (end.m_isSuspension)
        {
            pSuspension = &end;
        }
        else if (pSuspension)
        {
            WriteFlow(json, *pSuspension, end);
            ++summary.m_flows;
            pSuspension = nullptr;
        }
    }
}

const char* LiveJobName(U64 startFunction)
{
    return oxjob::GetJobName(reinterpret_cast<oxjob::JobEntryFunc>(startFunction));
}
} // namespace

bool WriteTraceEventJson(FILE* pFile, const WorkerTraceRecords* pWorkers, U64 numWorkers, U64 ticksPerSecond,
                         TraceJobNameFn nameOf, TraceExportSummary* pSummary)
{
    TraceExportSummary summary;
    summary.m_workers = numWorkers;
    U64 base = ~0ull;
    for (U64 worker = 0; worker < numWorkers; ++worker)
    {
        summary.m_records += pWorkers[worker].m_count;
        if (pWorkers[worker].m_count)
            base = std::min(base, pWorkers[worker].m_pRecords[0].m_timestamp);
    }
    JsonWriter json(pFile, base == ~0ull ? 0 : base, ticksPerSecond);
    fputs("{\"displayTimeUnit\":\"ms\",\"traceEvents\":[", pFile);
    json.BeginEvent();
    fputs("{\"name\":\"process_name\",\"ph\":\"M\",\"pid\":1,\"args\":{\"name\":\"marrow demo job system\"}}",
          pFile);
    for (U64 worker = 0; worker < numWorkers; ++worker)
        WriteThreadMetadata(json, worker, pWorkers[worker].m_isEmergency);
    std::vector<FlowEnd> flowEnds;
    for (U64 worker = 0; worker < numWorkers; ++worker)
        WriteWorkerRecords(json, worker, pWorkers[worker], nameOf, flowEnds, summary);
    WriteFlows(json, flowEnds, summary);
    fputs("\n]}\n", pFile);
    *pSummary = summary;
    return ferror(pFile) == 0;
}

bool ExportJobTrace(const char* pPath, TraceExportSummary* pSummary)
{
    const U64 numWorkers = oxjob::GetTotalNumWorkerThreads();
    std::vector<std::vector<oxjob::JobTraceElement>> copies(numWorkers);
    std::vector<WorkerTraceRecords> workers(numWorkers);
    bool wrapped = false;
    for (U64 worker = 0; worker < numWorkers; ++worker)
    {
        const U64 capacity = oxjob::GetJobTraceThreadData(worker)->m_capacity;
        copies[worker].resize(capacity);
        const U64 count = capacity ? oxjob::CopyJobTrace(worker, copies[worker].data(), capacity) : 0;
        wrapped |= capacity != 0 && count == capacity;
        workers[worker] = {copies[worker].data(), count, oxjob::IsEmergencyWorkerThread(worker)};
    }
    FILE* pFile = fopen(pPath, "wb");
    if (!pFile)
        return false;
    const bool written =
        WriteTraceEventJson(pFile, workers.data(), numWorkers, GetTimerFrequency(), LiveJobName, pSummary);
    const bool closed = fclose(pFile) == 0;
    pSummary->m_wrapped = wrapped;
    return written && closed;
}
