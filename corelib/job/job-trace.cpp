// The job trace: per-worker rings of records written without locks, and the dumps that
// merge them in time order.
#include "corelib/job/job-trace.h"

#include "corelib/job/job-assert.h"
#include "corelib/job/job-descriptor.h"
#include "corelib/job/job-system-priv.h"
#include "corelib/system/timing.h"
#include "corelib/util/atomic-relaxed.h"
#include "corelib/util/msg.h"
#include "corelib/util/static-init-order.h"

#include <atomic>

namespace oxjob
{
namespace
{
// Records are written by their worker and read by dumps on any thread at the same time;
// every field is accessed atomically (relaxed), so a dump may see a record half
// overwritten, never undefined behaviour.
// The two descriptor tables, the shadow table's one-record rings, the active table and
// the redirect flag.
struct JobTraceTables
{
    JobTraceThreadData m_real[kMaxWorkerThreads];
    JobTraceThreadData m_shadow[kMaxWorkerThreads];
    JobTraceElement m_shadowSlots[kMaxWorkerThreads];
    std::atomic<JobTraceThreadData*> m_pActive;
    std::atomic<bool> m_redirected;

    JobTraceTables() : m_real{}, m_shadow{}, m_shadowSlots{}, m_pActive(m_real), m_redirected(false) {}
};

JobTraceTables s_traceTables OX_INIT_PRIORITY(kInitRankJobTraceTables);

void SelectActiveTable(bool redirected)
{
    s_traceTables.m_redirected.store(redirected, std::memory_order_relaxed);
    s_traceTables.m_pActive.store(redirected ? s_traceTables.m_shadow : s_traceTables.m_real,
                                  std::memory_order_relaxed);
}

// Redirects tracing for a dump's lifetime and restores what was there before.
class DumpRedirection
{
public:
    DumpRedirection() : m_wasRedirected(IsJobTraceRedirected()) { SelectActiveTable(true); }
    ~DumpRedirection() { SelectActiveTable(m_wasRedirected); }
    DumpRedirection(const DumpRedirection&) = delete;
    DumpRedirection& operator=(const DumpRedirection&) = delete;

private:
    bool m_wasRedirected;
};

JobTraceElement LoadElement(const JobTraceElement& slot)
{
    JobTraceElement element;
    element.m_timestamp = LoadRelaxed(slot.m_timestamp);
    element.m_kind = LoadRelaxed(slot.m_kind);
    element.m_subject = LoadRelaxed(slot.m_subject);
    element.m_pCounter = LoadRelaxed(slot.m_pCounter);
    element.m_value = LoadRelaxed(slot.m_value);
    element.m_jobId = LoadRelaxed(slot.m_jobId);
    element.m_flags = LoadRelaxed(slot.m_flags);
    return element;
}

// A consistent view of one ring's descriptor, read once.
struct RingView
{
    const JobTraceElement* m_pBuffer = nullptr;
    U64 m_capacity = 0;
    U64 m_count = 0;
    U64 m_writeIndex = 0;

    explicit RingView(const JobTraceThreadData& ring)
        : m_pBuffer(LoadRelaxed(ring.m_pBuffer)), m_capacity(LoadRelaxed(ring.m_capacity)),
          m_count(LoadRelaxed(ring.m_count)), m_writeIndex(LoadRelaxed(ring.m_writeIndex))
    {
        // A ring that was just given away or replaced may show a mix of old and new
        // fields; never index past the buffer because of it.
        if (m_capacity == 0 || !m_pBuffer)
            m_count = 0;
        if (m_count > m_capacity)
            m_count = m_capacity;
        if (m_writeIndex >= m_capacity)
            m_writeIndex = 0;
    }
    // The slot of the oldest record.
    U64 OldestSlot() const { return m_count == m_capacity ? m_writeIndex : 0; }
    // The slot of the newest record.
    U64 NewestSlot() const { return (m_writeIndex == 0 ? m_capacity : m_writeIndex) - 1; }
};

// A cursor walking one ring from its newest record back to its oldest.
struct BackwardCursor
{
    const JobTraceElement* m_pBuffer;
    U64 m_capacity;
    U64 m_slot;
    U64 m_remaining;

    void StepBack()
    {
        m_slot = m_slot == 0 ? m_capacity - 1 : m_slot - 1;
        --m_remaining;
    }
};

// Walks the N newest records of all rings newest first (on equal timestamps the lower
// worker index first) and calls visit(foundIndex, worker, slot) for each. Returns how many
// it found; stops early at a record with timestamp 0 or when every ring is exhausted.
template <typename Visitor>
U64 MergeNewestFirst(U64 count, Visitor&& visit)
{
    BackwardCursor cursors[kMaxWorkerThreads];
    for (U64 t = 0; t < kMaxWorkerThreads; ++t)
    {
        const RingView ring(s_traceTables.m_real[t]);
        cursors[t] = {ring.m_pBuffer, ring.m_capacity, ring.m_count ? ring.NewestSlot() : 0, ring.m_count};
    }
    U64 found = 0;
    while (found < count)
    {
        U64 bestWorker = kMaxWorkerThreads;
        U64 bestTimestamp = 0;
        for (U64 t = 0; t < kMaxWorkerThreads; ++t)
        {
            if (cursors[t].m_remaining == 0)
                continue;
            const U64 timestamp = LoadRelaxed(cursors[t].m_pBuffer[cursors[t].m_slot].m_timestamp);
            if (bestWorker == kMaxWorkerThreads || timestamp > bestTimestamp)
            {
                bestWorker = t;
                bestTimestamp = timestamp;
            }
        }
        if (bestWorker == kMaxWorkerThreads || bestTimestamp == 0)
            break;
        visit(found, bestWorker, cursors[bestWorker].m_pBuffer + cursors[bestWorker].m_slot);
        cursors[bestWorker].StepBack();
        ++found;
    }
    return found;
}

// How many merged records a dump remembers at a time; a larger count is printed in
// batches, each found by merging again, so a dump needs little stack on a job's fiber.
constexpr U64 kDumpBatchSize = 64;

// Set while the calling thread prints the trace for an assertion.
thread_local bool t_dumpingForAssert = false;
} // namespace

void SetupThreadJobTrace(U64 threadIndex, void* pBuffer, U64 sizeInBytes)
{
    OX_JOB_ASSERT(threadIndex < kMaxWorkerThreads);
    // A share too small for one record gives no ring at all: the worker records nothing
    // and span dumps say that it has no buffer.
    const U64 capacity = pBuffer ? sizeInBytes / sizeof(JobTraceElement) : 0;
    JobTraceThreadData& real = s_traceTables.m_real[threadIndex];
    StoreRelaxed(real.m_capacity, U64{0});
    StoreRelaxed(real.m_count, U64{0});
    StoreRelaxed(real.m_writeIndex, U64{0});
    StoreRelaxed(real.m_pBuffer, capacity ? static_cast<JobTraceElement*>(pBuffer) : nullptr);
    StoreRelaxed(real.m_capacity, capacity);

    JobTraceThreadData& shadow = s_traceTables.m_shadow[threadIndex];
    StoreRelaxed(shadow.m_count, U64{0});
    StoreRelaxed(shadow.m_writeIndex, U64{0});
    StoreRelaxed(shadow.m_pBuffer, capacity ? &s_traceTables.m_shadowSlots[threadIndex] : nullptr);
    StoreRelaxed(shadow.m_capacity, capacity ? U64{1} : U64{0});
}

void AddTraceElementAtTime(JobTraceThreadData* pThreadData, const JobTraceElement& element, U64 timestamp)
{
    JobTraceElement* pBuffer = pThreadData->m_pBuffer;
    const U64 capacity = pThreadData->m_capacity;
    if (!pBuffer || capacity == 0)
        return;
    const U64 index = pThreadData->m_writeIndex;
    JobTraceElement& slot = pBuffer[index];
    StoreRelaxed(slot.m_timestamp, timestamp);
    StoreRelaxed(slot.m_kind, element.m_kind);
    StoreRelaxed(slot.m_subject, element.m_subject);
    StoreRelaxed(slot.m_pCounter, element.m_pCounter);
    StoreRelaxed(slot.m_value, element.m_value);
    StoreRelaxed(slot.m_jobId, element.m_jobId);
    StoreRelaxed(slot.m_flags, element.m_flags);
    StoreRelaxed(pThreadData->m_writeIndex, index + 1 == capacity ? 0 : index + 1);
    if (pThreadData->m_count != capacity)
        StoreRelaxed(pThreadData->m_count, pThreadData->m_count + 1);
}

void AddTraceElementAtTime(U64 threadIndex, const JobTraceElement& element, U64 timestamp)
{
    if (threadIndex >= kMaxWorkerThreads)
        return;
    AddTraceElementAtTime(s_traceTables.m_pActive.load(std::memory_order_relaxed) + threadIndex, element,
                          timestamp);
}

void AddTraceElement(const JobTraceElement& element)
{
    const I64 workerIndex = ReadWorkerIndex();
    if (static_cast<U64>(workerIndex) >= kMaxWorkerThreads)
        return;
    JobTraceThreadData* pThreadData = s_traceTables.m_pActive.load(std::memory_order_relaxed) + workerIndex;
    if (!pThreadData->m_pBuffer)
        return;
    AddTraceElementAtTime(pThreadData, element, GetTimeNow());
}

void AddTraceEvent(const char* text)
{
    JobTraceElement element;
    element.m_kind = kJobTraceEvent;
    element.m_subject = reinterpret_cast<U64>(text);
    AddTraceElement(element);
}

const JobTraceThreadData* GetJobTraceThreadData(U64 threadIndex)
{
    return threadIndex < kMaxWorkerThreads ? &s_traceTables.m_real[threadIndex] : nullptr;
}

void SetJobTraceRedirected(bool redirected)
{
    SelectActiveTable(redirected);
}

bool IsJobTraceRedirected()
{
    return s_traceTables.m_redirected.load(std::memory_order_relaxed);
}

U64 CopyJobTrace(U64 threadIndex, JobTraceElement* pOut, U64 maxCount)
{
    if (threadIndex >= kMaxWorkerThreads || !pOut)
        return 0;
    const RingView ring(s_traceTables.m_real[threadIndex]);
    const U64 count = ring.m_count < maxCount ? ring.m_count : maxCount;
    // The newest count records, oldest first.
    U64 slot = (ring.OldestSlot() + (ring.m_count - count)) % (ring.m_capacity ? ring.m_capacity : 1);
    for (U64 i = 0; i < count; ++i)
    {
        pOut[i] = LoadElement(ring.m_pBuffer[slot]);
        slot = slot + 1 == ring.m_capacity ? 0 : slot + 1;
    }
    return count;
}

void PrintTraceElement(U64 threadIndex, const JobTraceElement& element, U32 channel)
{
    const int ch = static_cast<int>(channel);
    const unsigned long long timestamp = element.m_timestamp;
    const int thread = static_cast<int>(threadIndex);
    if (element.m_kind == kJobTraceEvent)
    {
        const char* pText = reinterpret_cast<const char*>(element.m_subject);
        PrintToMsgOutput(ch, "(0x%016llX) - Thread [%d]: Event \"%s\"\n", timestamp, thread,
                         pText ? pText : "");
        return;
    }
    const char* pName = GetJobName(reinterpret_cast<JobEntryFunc>(element.m_subject));
    const unsigned jobId = element.m_jobId;
    switch (element.m_kind)
    {
    case kJobTraceStartJob:
        PrintToMsgOutput(ch, "(0x%016llX) - Thread [%d]: Starting job %u \"%s\"\n", timestamp, thread, jobId,
                         pName);
        break;
    case kJobTraceCompleteJob:
        PrintToMsgOutput(ch, "(0x%016llX) - Thread [%d]: Completed job %u \"%s\"\n", timestamp, thread, jobId,
                         pName);
        break;
    case kJobTraceSleepJob:
        PrintToMsgOutput(
            ch, "(0x%016llX) - Thread [%d]: Sleep job %u \"%s\" waiting for counter [0x%012llX] to be %lli\n",
            timestamp, thread, jobId, pName,
            static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(element.m_pCounter)),
            static_cast<long long>(element.m_value));
        break;
    case kJobTraceResumeJob:
        PrintToMsgOutput(ch, "(0x%016llX) - Thread [%d]: Resuming job %u \"%s\"\n", timestamp, thread, jobId,
                         pName);
        break;
    case kJobTraceSuspendFiber:
        PrintToMsgOutput(ch, "(0x%016llX) - Thread [%d]: Suspending fiber job %u \"%s\"\n", timestamp, thread,
                         jobId, pName);
        break;
    default:
        OX_JOB_ASSERT_FAIL("Unhandled job trace event.");
        break;
    }
}

void DumpRecentJobTrace(U64 count, U32 channel)
{
    DumpRedirection redirection;
    const U64 total = MergeNewestFirst(count, [](U64, U64, const JobTraceElement*) {});
    // Oldest first: the batch found last is printed first, each batch in reverse order of finding.
    for (U64 batchEnd = total; batchEnd > 0;)
    {
        const U64 batchBegin = batchEnd > kDumpBatchSize ? batchEnd - kDumpBatchSize : 0;
        const JobTraceElement* pFound[kDumpBatchSize];
        U8 foundWorker[kDumpBatchSize];
        U64 numInBatch = 0;
        MergeNewestFirst(batchEnd,
                         [&](U64 index, U64 worker, const JobTraceElement* pElement)
                         {
                             if (index < batchBegin)
                                 return;
                             pFound[index - batchBegin] = pElement;
                             foundWorker[index - batchBegin] = static_cast<U8>(worker);
                             ++numInBatch;
                         });
        // Rings are not written while the dump redirects them, so a second merge finds the
        // same records; should one have been written meanwhile, print what was found.
        for (U64 i = numInBatch; i-- > 0;)
            PrintTraceElement(foundWorker[i], LoadElement(*pFound[i]), channel);
        batchEnd = batchBegin;
    }
}

void DumpJobTraceSpan(U64 from, U64 to)
{
    DumpRedirection redirection;
    for (U64 t = 0; t < kMaxWorkerThreads; ++t)
    {
        const RingView ring(s_traceTables.m_real[t]);
        if (!ring.m_pBuffer)
        {
            SetMsgOutputTextColor(GetActiveMsgOutput(), 1);
            PrintToActiveMsgOutput("[JOB TRACE DUMP WARNING] - Thread [%d]: NO TRACE BUFFER FOUND\n",
                                   static_cast<int>(t));
            continue;
        }
        U64 slot = ring.OldestSlot();
        U64 remaining = ring.m_count;
        while (remaining > 0 && LoadRelaxed(ring.m_pBuffer[slot].m_timestamp) < from)
        {
            slot = slot + 1 == ring.m_capacity ? 0 : slot + 1;
            --remaining;
        }
        if (remaining == 0)
        {
            SetMsgOutputTextColor(GetActiveMsgOutput(), 1);
            PrintToActiveMsgOutput(
                "[JOB TRACE DUMP WARNING] - Thread [%d]: NO TRACE ELEMENTS FOUND IN SPAN %u -> %u\n",
                static_cast<int>(t), static_cast<U32>(from), static_cast<U32>(to));
            continue;
        }
        for (; remaining > 0; --remaining)
        {
            const JobTraceElement element = LoadElement(ring.m_pBuffer[slot]);
            if (element.m_timestamp >= to)
                break;
            PrintTraceElement(t, element, 1);
            slot = slot + 1 == ring.m_capacity ? 0 : slot + 1;
        }
    }
}

void DumpJobTraceForAssert()
{
    if (t_dumpingForAssert)
        return;
    t_dumpingForAssert = true;
    DumpRecentJobTrace(100, 1);
    t_dumpingForAssert = false;
}

void TraceJob(U8 kind, const RunnableJob& job, const Counter* pCounter, I64 value)
{
    JobTraceElement element;
    element.m_kind = kind;
    element.m_subject = reinterpret_cast<U64>(job.m_jobDecl.m_pStartFunc);
    element.m_pCounter = pCounter;
    element.m_value = value;
    element.m_jobId = static_cast<U32>(job.m_jobId);
    element.m_flags = static_cast<U32>(job.m_jobDecl.m_flags);
    AddTraceElement(element);
}

void ShutdownJobTrace()
{
    for (U64 t = 0; t < kMaxWorkerThreads; ++t)
        SetupThreadJobTrace(t, nullptr, 0);
}
} // namespace oxjob
