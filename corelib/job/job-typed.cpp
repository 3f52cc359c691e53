// The untyped part of the typed layer: the records that carry the callables in the job
// declaration pool, the jobs that run them, and the submission and wait.
//
// A loop is one record: the chunk range, one share of the chunks per participant (the
// caller and at most one helper job per other worker, fewer when there are fewer chunks)
// and a copy of the body. Each participant claims the chunks of its own share front to
// back, so it streams through one contiguous part of the range, then helps with what is
// left of the others'; the submission stays far below the 32 jobs that may wait. The
// caller then waits for the helpers' counter: a helper that starts after the last chunk
// was claimed still reads the record, which therefore lives until every helper has
// finished.
#include "corelib/job/job-typed.h"

#include "corelib/job/job-assert.h"
#include "corelib/job/job-descriptor.h"
#include "corelib/job/job-host-wait.h"
#include "corelib/job/job-system-priv.h"

#include <algorithm>
#include <atomic>

namespace oxjob
{
namespace
{
// Declarations added per AddJobs call, kept small: they live on the caller's stack, which
// may be a 16 KiB job fiber stack.
constexpr U64 kSubmitBatch = 8;
static_assert(kSubmitBatch <= kMaxSleepingJobsPerSubmit,
              "helpers may wait, so a batch stays within the limit");

constexpr U64 kRecordAlignment = 64;
constexpr Priority kHostPriority = Priority{3};

constexpr U64 AlignUp(U64 value, U64 alignment)
{
    return (value + alignment - 1) & ~(alignment - 1);
}

// How a typed call runs its work from the calling thread.
struct CallerInfo
{
    bool m_onWorker;
    bool m_maySleep; // false in a job with kDisallowSleep: it runs all the work itself
    Priority m_priority;
};

CallerInfo DescribeCaller()
{
    CallerInfo info{IsWorkerThread(), true, kHostPriority};
    if (info.m_onWorker)
    {
        JobDecl active;
        if (GetActiveJobDecl(&active))
            info.m_maySleep = (active.m_flags & kDisallowSleep) == 0;
        const Priority priority = GetActiveJobPriority();
        if (IsValidPriority(priority))
            info.m_priority = priority;
    }
    return info;
}

// Records come from the job declaration pool, under the lock that guards it.
void* AllocateRecord(U64 size)
{
    OX_JOB_ASSERT_MSG(IsInitialized(), "The job system is not initialised");
    JobSysData& data = *g_pJobSysData;
    data.m_jobArrayLock.Lock("AllocateTypedJobRecord");
    void* pRecord = size < 0x7FFFFFFF
                        ? data.m_jobDeclAllocator.Malloc(static_cast<I32>(size), kRecordAlignment, 0)
                        : nullptr;
    data.m_jobArrayLock.Unlock();
    OX_JOB_ASSERT_MSG(pRecord,
                      "The job declaration pool has no room for %llu bytes of typed job callables "
                      "(size it with FillDefaultInitParams or a larger memory block)",
                      static_cast<unsigned long long>(size));
    return pRecord;
}

void FreeRecord(void* pRecord)
{
    JobSysData& data = *g_pJobSysData;
    data.m_jobArrayLock.Lock("FreeTypedJobRecord");
    data.m_jobDeclAllocator.Free(pRecord);
    data.m_jobArrayLock.Unlock();
}

// Submits count jobs of pStartFunc whose start arguments argOf(i) gives, counting
// done down, at the caller's priority on any worker, in small batches.
template <typename ArgOf>
void SubmitJobs(JobEntryFunc pStartFunc, U64 count, ArgOf argOf, CounterHandle done, Priority priority)
{
    JobArray* pJobArray = BeginJobArray(count, priority);
    JobDecl batch[kSubmitBatch];
    for (U64 first = 0; first < count; first += kSubmitBatch)
    {
        const U64 batchSize = std::min<U64>(kSubmitBatch, count - first);
        for (U64 i = 0; i < batchSize; ++i)
        {
            batch[i].Reset();
            batch[i].m_pStartFunc = pStartFunc;
            batch[i].m_startArg = argOf(first + i);
            batch[i].m_associatedCounter = done.m_pCounter;
        }
        AddJobs(pJobArray, batch, batchSize);
    }
    CommitJobArray(pJobArray);
}

void WaitAndFree(CounterHandle done, const CallerInfo& caller)
{
    if (caller.m_onWorker)
        WaitForCounter(done, 0);
    else
        HostWaitForCounter(done, 0);
    FreeCounter(done);
}

// --- Loops -------------------------------------------------------------------------------------

// The chunks of one participant: it claims them front to back, and so do the others once
// their own are gone. Each on a cache line of its own.
struct alignas(kRecordAlignment) LoopShare
{
    std::atomic<U64> m_nextChunk;
    U64 m_endChunk;
};

struct alignas(kRecordAlignment) LoopRecord
{
    std::atomic<U64> m_nextParticipant; // the caller is participant 0
    U64 m_begin;
    U64 m_end;
    U64 m_grain;
    U64 m_numShares;
    LoopShare* m_pShares;
    void (*m_pCallRange)(const void* pCallable, U64 begin, U64 end);
    void* m_pCallable;
};

void RunChunks(LoopRecord& loop, U64 participant)
{
    // Its own share first, then whatever is left of the others' in turn: a participant
    // streams through one contiguous part of the range while all are busy.
    for (U64 k = 0; k < loop.m_numShares; ++k)
    {
        LoopShare& share = loop.m_pShares[(participant + k) % loop.m_numShares];
        for (;;)
        {
            const U64 chunk = share.m_nextChunk.fetch_add(1, std::memory_order_relaxed);
            if (chunk >= share.m_endChunk)
                break;
            // chunk * grain stays below the range's length, so nothing here overflows.
            const U64 chunkBegin = loop.m_begin + chunk * loop.m_grain;
            loop.m_pCallRange(loop.m_pCallable, chunkBegin,
                              chunkBegin + std::min<U64>(loop.m_grain, loop.m_end - chunkBegin));
        }
    }
}

void ParallelForJob(U64 startArg)
{
    LoopRecord& loop = *reinterpret_cast<LoopRecord*>(static_cast<UPtr>(startArg));
    RunChunks(loop, loop.m_nextParticipant.fetch_add(1, std::memory_order_relaxed));
}
OX_JOB_DESCRIPTOR(ParallelForJob);

// --- Callables run and waited for --------------------------------------------------------------

// A callable's copy follows its slot; the slots of one call are linked in job order.
struct alignas(kRecordAlignment) CallSlot
{
    void (*m_pCall)(const void* pCallable);
    void* m_pCallable;
    CallSlot* m_pNext;
};

void RunAndWaitJob(U64 startArg)
{
    const CallSlot& slot = *reinterpret_cast<const CallSlot*>(static_cast<UPtr>(startArg));
    slot.m_pCall(slot.m_pCallable);
}
OX_JOB_DESCRIPTOR(RunAndWaitJob);

} // namespace

namespace typed
{
SourceLocation ToSourceLocation(const CallSite& where)
{
    return SourceLocation{where.m_file, where.m_function, where.m_line};
}

void RunLoop(U64 begin, U64 end, U64 grain, const CallableDesc& body, const SourceLocation& location)
{
    OX_JOB_ASSERT(grain > 0);
    OX_JOB_ASSERT(begin <= end);
    const U64 length = end - begin;
    const U64 numChunks = length / grain + (length % grain != 0 ? 1 : 0);
    const CallerInfo caller = DescribeCaller();
    U64 helpers = 0;
    if (numChunks > 1 && caller.m_maySleep)
    {
        OX_JOB_ASSERT_MSG(IsInitialized(), "The job system is not initialised");
        // The caller works on the chunks too and takes the place of one worker: a job
        // its own worker's, a host thread a processor's. More helpers would only share
        // the processors with it (with a single worker a host thread still gets one).
        const U64 workers = GetNumWorkerThreads();
        const U64 others = caller.m_onWorker ? workers - 1 : (workers > 1 ? workers - 1 : 1);
        helpers = std::min<U64>(numChunks - 1, others);
    }
    if (helpers == 0)
    {
        // One chunk, a single worker or a job that may not wait: no job to hand over.
        for (U64 chunkBegin = begin; chunkBegin < end; chunkBegin += std::min<U64>(grain, end - chunkBegin))
            body.m_pCallRange(body.m_pSource, chunkBegin,
                              chunkBegin + std::min<U64>(grain, end - chunkBegin));
        return;
    }

    // The record, a share per participant, then the body.
    const U64 numShares = helpers + 1;
    const U64 sharesOffset = AlignUp(sizeof(LoopRecord), kRecordAlignment);
    const U64 callableOffset = sharesOffset + numShares * sizeof(LoopShare);
    U8* pMemory = static_cast<U8*>(AllocateRecord(callableOffset + body.m_size));
    auto* pLoop = new (pMemory) LoopRecord();
    pLoop->m_nextParticipant.store(1, std::memory_order_relaxed);
    pLoop->m_begin = begin;
    pLoop->m_end = end;
    pLoop->m_grain = grain;
    pLoop->m_numShares = numShares;
    pLoop->m_pShares = new (pMemory + sharesOffset) LoopShare[numShares];
    // Equal shares, the first ones a chunk longer when they do not divide evenly.
    const U64 shareChunks = numChunks / numShares;
    const U64 longerShares = numChunks % numShares;
    U64 firstChunk = 0;
    for (U64 i = 0; i < numShares; ++i)
    {
        pLoop->m_pShares[i].m_nextChunk.store(firstChunk, std::memory_order_relaxed);
        firstChunk += shareChunks + (i < longerShares ? 1 : 0);
        pLoop->m_pShares[i].m_endChunk = firstChunk;
    }
    pLoop->m_pCallRange = body.m_pCallRange;
    pLoop->m_pCallable = pMemory + callableOffset;
    body.m_pCopy(pLoop->m_pCallable, body.m_pSource);

    const CounterHandle done = AllocateCounter(static_cast<I64>(helpers), kWaitForZeroOnly, location);
    const U64 loopArg = static_cast<U64>(reinterpret_cast<UPtr>(pLoop));
    SubmitJobs(
        ParallelForJob, helpers, [loopArg](U64) { return loopArg; }, done, caller.m_priority);
    RunChunks(*pLoop, 0);
    WaitAndFree(done, caller);

    body.m_pDestroy(pLoop->m_pCallable);
    pLoop->~LoopRecord();
    FreeRecord(pMemory);
}

void RunCallables(const CallableDesc* pCallables, U64 count)
{
    const CallerInfo caller = DescribeCaller();
    if (!caller.m_maySleep || (caller.m_onWorker && count == 1))
    {
        for (U64 i = 0; i < count; ++i)
            pCallables[i].m_pCall(pCallables[i].m_pSource);
        return;
    }

    // Inside a job the first callable runs on the caller as it is; every other one (from
    // a host thread, every one) is copied behind a slot that its job's start argument
    // points to.
    const U64 numInline = caller.m_onWorker ? 1 : 0;
    const U64 slotSize = AlignUp(sizeof(CallSlot), kRecordAlignment);
    U64 size = 0;
    for (U64 i = numInline; i < count; ++i)
        size += slotSize + AlignUp(pCallables[i].m_size, kRecordAlignment);
    U8* pRecord = static_cast<U8*>(AllocateRecord(size));
    CallSlot* pFirstSlot = nullptr;
    CallSlot** ppLink = &pFirstSlot;
    U8* pNext = pRecord;
    for (U64 i = numInline; i < count; ++i)
    {
        auto* pSlot = new (pNext) CallSlot();
        pSlot->m_pCall = pCallables[i].m_pCall;
        pSlot->m_pCallable = pNext + slotSize;
        pCallables[i].m_pCopy(pSlot->m_pCallable, pCallables[i].m_pSource);
        *ppLink = pSlot;
        ppLink = &pSlot->m_pNext;
        pNext += slotSize + AlignUp(pCallables[i].m_size, kRecordAlignment);
    }

    const U64 numJobs = count - numInline;
    const CounterHandle done =
        AllocateCounter(static_cast<I64>(numJobs), kWaitForZeroOnly, OX_JOB_SOURCE_LOCATION);
    CallSlot* pSubmitted = pFirstSlot;
    SubmitJobs(
        RunAndWaitJob, numJobs,
        [&pSubmitted](U64)
        {
            const U64 arg = static_cast<U64>(reinterpret_cast<UPtr>(pSubmitted));
            pSubmitted = pSubmitted->m_pNext;
            return arg;
        },
        done, caller.m_priority);
    if (numInline)
        pCallables[0].m_pCall(pCallables[0].m_pSource);
    WaitAndFree(done, caller);

    CallSlot* pSlot = pFirstSlot;
    for (U64 i = numInline; i < count; ++i)
    {
        CallSlot* pFollowing = pSlot->m_pNext;
        pCallables[i].m_pDestroy(pSlot->m_pCallable);
        pSlot->~CallSlot();
        pSlot = pFollowing;
    }
    FreeRecord(pRecord);
}
} // namespace typed

// --- ScopedCounter -------------------------------------------------------------------------------

ScopedCounter::ScopedCounter(I64 initialValue, WaitRestriction waitRestriction, typed::CallSite where)
    : m_counter(AllocateCounter(initialValue, waitRestriction, typed::ToSourceLocation(where)))
{
}

ScopedCounter::~ScopedCounter()
{
    Wait(0);
    FreeCounter(m_counter);
}

I64 ScopedCounter::GetValue() const
{
    return GetCounterValue(m_counter);
}

I64 ScopedCounter::Add(I64 delta)
{
    return AddToCounter(m_counter, delta);
}

void ScopedCounter::Wait(I64 value, U32 compare) const
{
    WaitForCounterOnAnyThread(m_counter, value, compare);
}
} // namespace oxjob
