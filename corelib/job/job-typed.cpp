// The untyped part of the typed layer: the records that carry the callables in the job
// declaration pool, the jobs that run them, and the submission and wait.
//
// A loop is one record: the chunk range, one share of the chunks per participant (the
// caller and at most one helper job per other worker, fewer when there are fewer chunks)
// and a copy of the body. Each participant claims the chunks of its own share front to
// back, so it streams through one contiguous part of the range, then helps with what is
// left of the others'; the submission stays far below the 32 jobs that may wait. The
// caller waits only for the chunks: the participant that completes the last one counts
// the loop's counter down, often the caller itself, so it need not wait for a helper
// that has yet to start (a sleeping worker woken late on a busy machine). A helper that
// starts after the last chunk was claimed still reads the record, so the record lives
// until the last participant has left it, and that one frees it.
//
// Started work (StartParallelFor, Start) is a record in the same pool: the counter its
// jobs count down, then the loop or the callables' slots. Its jobs go into a job array
// that depends on the previous work's counter when there is one, so the workers start
// them once that counter reads 0 and no thread waits in between. A record lives while its
// handle or work started after it may still look at it: the later work's job array reads
// its counter until it starts, and a host thread's Wait helps with its loop. So each record
// counts its holders (its handle and each record started after it); Wait ends the
// handle's hold and, once its own work has run, the hold on the record before it, and the
// last holder frees the record and its counter.
//
// A host thread that waits for started work runs chunks of the started loop it waits for
// and of the loop right before it, once they may run, instead of sleeping while a single
// worker, or none yet awake, runs them.
//
// Misuse is reported at the caller's position, which every call carries.
#include "corelib/job/job-typed.h"

#include "corelib/job/job-assert.h"
#include "corelib/job/job-descriptor.h"
#include "corelib/job/job-host-wait.h"
#include "corelib/job/job-system-priv.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>

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

// Reports a misuse of the typed layer at the caller's position (the assertion report
// with the condition's text and a message), after the recent job trace when the job
// system runs.
OX_COLD void ReportMisuse(const char* condition, const typed::CallSite& where, const char* format, ...)
    OX_PRINTF_FORMAT(3, 4);
void ReportMisuse(const char* condition, const typed::CallSite& where, const char* format, ...)
{
    if (IsInitialized())
        DumpJobTraceForAssert();
    OxAssertBegin();
    char message[512];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof(message), format, args);
    va_end(args);
    OxAssertReport(condition, where.m_file, where.m_function, static_cast<int>(where.m_line),
                   OxAssertHasReportHandler() ? message : nullptr);
}

#define OX_TYPED_CHECK(condition, where, ...)                                                                \
    do                                                                                                       \
    {                                                                                                        \
        if (OX_UNLIKELY(!(condition)))                                                                       \
            ReportMisuse(#condition, where, __VA_ARGS__);                                                    \
    } while (0)

// What every typed call checks first.
void CheckCall(const JobOptions& options)
{
    OX_TYPED_CHECK(IsInitialized(), options.m_where, "The job system is not initialised");
    OX_TYPED_CHECK((options.m_flags & ~U64{kLargeStack}) == 0, options.m_where,
                   "A typed call's jobs take kLargeStack only (flags 0x%llX)",
                   static_cast<unsigned long long>(options.m_flags));
}

void CheckRange(U64 begin, U64 end, U64 grain, const typed::CallSite& where)
{
    OX_TYPED_CHECK(grain > 0, where, "A loop's grain (indices per chunk) must be at least 1");
    OX_TYPED_CHECK(begin <= end, where, "A loop's begin (%llu) is past its end (%llu)",
                   static_cast<unsigned long long>(begin), static_cast<unsigned long long>(end));
}

U64 CountChunks(U64 begin, U64 end, U64 grain)
{
    const U64 length = end - begin;
    return length / grain + (length % grain != 0 ? 1 : 0);
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
void* AllocateRecord(U64 size, const typed::CallSite& where)
{
    JobSysData& data = *g_pJobSysData;
    data.m_jobArrayLock.Lock("AllocateTypedJobRecord");
    void* pRecord = size < 0x7FFFFFFF
                        ? data.m_jobDeclAllocator.Malloc(static_cast<I32>(size), kRecordAlignment, 0)
                        : nullptr;
    data.m_jobArrayLock.Unlock();
    OX_TYPED_CHECK(pRecord, where,
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

// Submits count jobs of pStartFunc whose start arguments argOf(i) gives, with the
// flags, counting done down, at the caller's priority on any worker, in small batches;
// once after reads 0 when it is given.
template <typename ArgOf>
void SubmitJobs(JobEntryFunc pStartFunc, U64 count, ArgOf argOf, CounterHandle done, Priority priority,
                const JobOptions& options, CounterHandle after = CounterHandle{})
{
    JobArray* pJobArray = BeginJobArray(count, after, 0, kCompareEqual, priority);
    OX_TYPED_CHECK(
        pJobArray, options.m_where,
        "The job array pool is exhausted (InitParams::m_numJobArrays: one per typed call in flight)");
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
            batch[i].m_flags = options.m_flags;
        }
        AddJobs(pJobArray, batch, batchSize);
    }
    CommitJobArray(pJobArray);
}

// Waits for the counter to read 0: by fiber switch in a job, asleep on a host thread.
void WaitForZero(CounterHandle done, const CallerInfo& caller, const typed::CallSite& where)
{
    if (caller.m_onWorker)
        WaitForCounter(done, 0);
    else
        HostWaitForCounter(done, 0, kCompareEqual, where);
}

void WaitAndFree(CounterHandle done, const CallerInfo& caller, const typed::CallSite& where)
{
    WaitForZero(done, caller, where);
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
    std::atomic<U64> m_nextParticipant;
    // A loop the caller runs too: the chunks not yet completed, the counter the last one
    // counts down, and the participants still to leave the record.
    std::atomic<U64> m_chunksLeft;
    std::atomic<U64> m_participantsLeft;
    // A started loop: set by its first job, which runs once the work before it is done.
    std::atomic<bool> m_jobsStarted;
    CounterHandle m_chunksDone;
    U64 m_begin;
    U64 m_end;
    U64 m_grain;
    U64 m_numShares;
    LoopShare* m_pShares;
    void (*m_pCallRange)(const void* pCallable, U64 begin, U64 end);
    void (*m_pDestroy)(void* pCallable);
    void* m_pCallable;
};

// Runs chunks until none is left to claim; returns how many it ran.
U64 RunChunks(LoopRecord& loop, U64 participant)
{
    U64 ran = 0;
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
            ++ran;
        }
    }
    return ran;
}

// A participant of a loop the caller runs too: the one that completes the last chunk
// counts the loop's counter down.
void ParticipateInLoop(LoopRecord& loop, U64 participant)
{
    const U64 ran = RunChunks(loop, participant);
    if (ran != 0 && loop.m_chunksLeft.fetch_sub(ran, std::memory_order_acq_rel) == ran)
        AddToCounter(loop.m_chunksDone, -1);
}

// Leaves the record; the last participant out frees it (the body is gone already).
void LeaveLoop(LoopRecord* pLoop)
{
    if (pLoop->m_participantsLeft.fetch_sub(1, std::memory_order_acq_rel) != 1)
        return;
    pLoop->~LoopRecord();
    FreeRecord(pLoop);
}

// A helper of a loop the caller runs too.
void ParallelForJob(U64 startArg)
{
    LoopRecord* pLoop = reinterpret_cast<LoopRecord*>(static_cast<UPtr>(startArg));
    ParticipateInLoop(*pLoop, pLoop->m_nextParticipant.fetch_add(1, std::memory_order_relaxed));
    LeaveLoop(pLoop);
}
OX_JOB_DESCRIPTOR(ParallelForJob);

// A participant of a started loop. The loop's counter counts its jobs and one more for
// its chunks, which the participant that completes the last chunk counts down: a host
// thread that helps is a participant too, so the counter reads 0 only once every chunk
// has run, wherever it ran.
void StartedParallelForJob(U64 startArg)
{
    LoopRecord& loop = *reinterpret_cast<LoopRecord*>(static_cast<UPtr>(startArg));
    loop.m_jobsStarted.store(true, std::memory_order_release);
    ParticipateInLoop(loop, loop.m_nextParticipant.fetch_add(1, std::memory_order_relaxed));
}
OX_JOB_DESCRIPTOR(StartedParallelForJob);

// The bytes of a loop's record, a share per participant and its body, from pMemory.
U64 LoopBytes(U64 numShares, const typed::CallableDesc& body)
{
    return AlignUp(sizeof(LoopRecord), kRecordAlignment) + numShares * sizeof(LoopShare) + body.m_size;
}

// Builds the loop at pMemory (LoopBytes long): numChunks in numShares equal shares (the
// first ones a chunk longer when they do not divide evenly), the body copied; the
// participant numbers handed out start at firstParticipant.
LoopRecord* BuildLoop(U8* pMemory, U64 begin, U64 end, U64 grain, U64 numShares, U64 firstParticipant,
                      const typed::CallableDesc& body)
{
    const U64 sharesOffset = AlignUp(sizeof(LoopRecord), kRecordAlignment);
    auto* pLoop = new (pMemory) LoopRecord();
    pLoop->m_nextParticipant.store(firstParticipant, std::memory_order_relaxed);
    pLoop->m_begin = begin;
    pLoop->m_end = end;
    pLoop->m_grain = grain;
    pLoop->m_numShares = numShares;
    pLoop->m_pShares = new (pMemory + sharesOffset) LoopShare[numShares];
    const U64 numChunks = CountChunks(begin, end, grain);
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
    pLoop->m_pDestroy = body.m_pDestroy;
    pLoop->m_pCallable = pMemory + sharesOffset + numShares * sizeof(LoopShare);
    body.m_pCopy(pLoop->m_pCallable, body.m_pSource);
    return pLoop;
}

void DestroyBody(LoopRecord* pLoop)
{
    pLoop->m_pDestroy(pLoop->m_pCallable);
}

void DestroyLoop(LoopRecord* pLoop)
{
    DestroyBody(pLoop);
    pLoop->~LoopRecord();
}

U64 LoopArg(const LoopRecord* pLoop)
{
    return static_cast<U64>(reinterpret_cast<UPtr>(pLoop));
}

// --- Callables ---------------------------------------------------------------------------------

// A callable's copy follows its slot; the slots of one call are linked in job order.
struct alignas(kRecordAlignment) CallSlot
{
    void (*m_pCall)(const void* pCallable);
    void (*m_pDestroy)(void* pCallable);
    void* m_pCallable;
    CallSlot* m_pNext;
};

void RunAndWaitJob(U64 startArg)
{
    const CallSlot& slot = *reinterpret_cast<const CallSlot*>(static_cast<UPtr>(startArg));
    slot.m_pCall(slot.m_pCallable);
}
OX_JOB_DESCRIPTOR(RunAndWaitJob);

constexpr U64 kSlotBytes = AlignUp(sizeof(CallSlot), kRecordAlignment);

U64 SlotsBytes(const typed::CallableDesc* pCallables, U64 count)
{
    U64 size = 0;
    for (U64 i = 0; i < count; ++i)
        size += kSlotBytes + AlignUp(pCallables[i].m_size, kRecordAlignment);
    return size;
}

// Copies the callables behind linked slots at pMemory (SlotsBytes long); returns the first.
CallSlot* BuildSlots(U8* pMemory, const typed::CallableDesc* pCallables, U64 count)
{
    CallSlot* pFirstSlot = nullptr;
    CallSlot** ppLink = &pFirstSlot;
    for (U64 i = 0; i < count; ++i)
    {
        auto* pSlot = new (pMemory) CallSlot();
        pSlot->m_pCall = pCallables[i].m_pCall;
        pSlot->m_pDestroy = pCallables[i].m_pDestroy;
        pSlot->m_pCallable = pMemory + kSlotBytes;
        pCallables[i].m_pCopy(pSlot->m_pCallable, pCallables[i].m_pSource);
        *ppLink = pSlot;
        ppLink = &pSlot->m_pNext;
        pMemory += kSlotBytes + AlignUp(pCallables[i].m_size, kRecordAlignment);
    }
    return pFirstSlot;
}

void DestroySlots(CallSlot* pSlot)
{
    while (pSlot)
    {
        CallSlot* pFollowing = pSlot->m_pNext;
        pSlot->m_pDestroy(pSlot->m_pCallable);
        pSlot->~CallSlot();
        pSlot = pFollowing;
    }
}

// Submits a job per slot, in slot order.
void SubmitSlots(CallSlot* pFirstSlot, U64 count, CounterHandle done, Priority priority,
                 const JobOptions& options, CounterHandle after = CounterHandle{})
{
    CallSlot* pSubmitted = pFirstSlot;
    SubmitJobs(
        RunAndWaitJob, count,
        [&pSubmitted](U64)
        {
            const U64 arg = static_cast<U64>(reinterpret_cast<UPtr>(pSubmitted));
            pSubmitted = pSubmitted->m_pNext;
            return arg;
        },
        done, priority, options, after);
}
} // namespace

// --- Started work ------------------------------------------------------------------------------

namespace typed
{
// The counter the work's jobs count down, then the loop or the slots behind it.
struct alignas(kRecordAlignment) StartedRecord
{
    CounterHandle m_done;
    LoopRecord* m_pLoop;
    CallSlot* m_pFirstSlot;
    // The work this one starts after (held until this one's work has run), or null; only
    // this record's own Wait clears it. Whether there was one stays in m_startsAfterOther.
    StartedRecord* m_pAfter;
    bool m_startsAfterOther;
    // The handle and the records started after this one that still hold it.
    mutable std::atomic<U32> m_holders;
};
} // namespace typed

namespace
{
constexpr U64 kStartedBytes = AlignUp(sizeof(typed::StartedRecord), kRecordAlignment);

// Allocates the record with room for workBytes behind it, and its counter at jobs.
typed::StartedRecord* NewStartedRecord(U64 workBytes, U64 jobs, const JobOptions& options)
{
    auto* pRecord = new (AllocateRecord(kStartedBytes + workBytes, options.m_where)) typed::StartedRecord();
    pRecord->m_done =
        AllocateCounter(static_cast<I64>(jobs), kWaitForZeroOnly, typed::ToSourceLocation(options.m_where));
    pRecord->m_pLoop = nullptr;
    pRecord->m_pFirstSlot = nullptr;
    pRecord->m_pAfter = nullptr;
    pRecord->m_startsAfterOther = false;
    pRecord->m_holders.store(1, std::memory_order_relaxed);
    return pRecord;
}

// Makes pRecord's work start after pAfter's, holding pAfter until pRecord's work has run.
CounterHandle StartAfter(typed::StartedRecord* pRecord, const typed::StartedRecord* pAfter)
{
    if (!pAfter)
        return CounterHandle{};
    pAfter->m_holders.fetch_add(1, std::memory_order_relaxed);
    pRecord->m_pAfter = const_cast<typed::StartedRecord*>(pAfter);
    pRecord->m_startsAfterOther = true;
    return pAfter->m_done;
}

// Ends one hold on the record; the last one frees it, its work (which has run) and its
// counter.
void ReleaseStarted(typed::StartedRecord* pRecord)
{
    if (pRecord->m_holders.fetch_sub(1, std::memory_order_acq_rel) != 1)
        return;
    OX_JOB_ASSERT(!pRecord->m_pAfter);
    FreeCounter(pRecord->m_done);
    if (pRecord->m_pLoop)
        DestroyLoop(pRecord->m_pLoop);
    DestroySlots(pRecord->m_pFirstSlot);
    pRecord->~StartedRecord();
    FreeRecord(pRecord);
}

// Whether a started loop's chunks may run: nothing before it, or its jobs have started
// (they start once the work before it is done), or, for the record whose holder asks, the
// work before it is done.
bool IsLoopReady(const typed::StartedRecord* pRecord, bool holdsAfter)
{
    if (!pRecord->m_startsAfterOther || pRecord->m_pLoop->m_jobsStarted.load(std::memory_order_acquire))
        return true;
    return holdsAfter && GetCounterValue(pRecord->m_pAfter->m_done) == 0;
}

void HelpWithLoopOf(typed::StartedRecord* pRecord, bool holdsAfter)
{
    if (!pRecord || !pRecord->m_pLoop || GetCounterValue(pRecord->m_done) == 0 ||
        !IsLoopReady(pRecord, holdsAfter))
        return;
    LoopRecord& loop = *pRecord->m_pLoop;
    ParticipateInLoop(loop, loop.m_nextParticipant.fetch_add(1, std::memory_order_relaxed));
}

// A host thread's help before it sleeps: the chunks of the started loop it waits for and
// of the loop right before it (which the waited record holds, so it lives), the earlier
// first, each once it may run. Records further back may be waited for and freed by other
// threads meanwhile, so the help stops there.
void HelpWithStartedLoops(typed::StartedRecord* pRecord)
{
    HelpWithLoopOf(pRecord->m_pAfter, false);
    HelpWithLoopOf(pRecord, true);
}

U8* WorkMemory(typed::StartedRecord* pRecord)
{
    return reinterpret_cast<U8*>(pRecord) + kStartedBytes;
}
} // namespace

namespace typed
{
SourceLocation ToSourceLocation(const CallSite& where)
{
    return SourceLocation{where.m_file, where.m_function, where.m_line};
}

void RunLoop(U64 begin, U64 end, U64 grain, const CallableDesc& body, const JobOptions& options)
{
    CheckCall(options);
    CheckRange(begin, end, grain, options.m_where);
    const U64 numChunks = CountChunks(begin, end, grain);
    const CallerInfo caller = DescribeCaller();
    if ((options.m_flags & kLargeStack) && caller.m_onWorker && caller.m_maySleep && numChunks > 0)
    {
        // A job's own stack may be a small one: every chunk runs in a large-stack job.
        WaitAndFreeStarted(StartLoop(begin, end, grain, body, nullptr, options), options.m_where);
        return;
    }
    U64 helpers = 0;
    if (numChunks > 1 && caller.m_maySleep)
    {
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

    // The caller is participant 0, the helpers take 1 and up; the helper jobs count no
    // counter down (the chunks do).
    U8* pMemory = static_cast<U8*>(AllocateRecord(LoopBytes(helpers + 1, body), options.m_where));
    LoopRecord* pLoop = BuildLoop(pMemory, begin, end, grain, helpers + 1, 1, body);
    const CounterHandle done = AllocateCounter(1, kWaitForZeroOnly, ToSourceLocation(options.m_where));
    pLoop->m_chunksLeft.store(numChunks, std::memory_order_relaxed);
    pLoop->m_participantsLeft.store(helpers + 1, std::memory_order_relaxed);
    pLoop->m_chunksDone = done;
    const U64 loopArg = LoopArg(pLoop);
    SubmitJobs(
        ParallelForJob, helpers, [loopArg](U64) { return loopArg; }, CounterHandle{}, caller.m_priority,
        options);
    ParticipateInLoop(*pLoop, 0);
    WaitAndFree(done, caller, options.m_where);
    DestroyBody(pLoop);
    LeaveLoop(pLoop);
}

void RunCallables(const CallableDesc* pCallables, U64 count, const JobOptions& options)
{
    CheckCall(options);
    const CallerInfo caller = DescribeCaller();
    if (!caller.m_maySleep || (caller.m_onWorker && count == 1 && !(options.m_flags & kLargeStack)))
    {
        for (U64 i = 0; i < count; ++i)
            pCallables[i].m_pCall(pCallables[i].m_pSource);
        return;
    }

    // Inside a job the first callable runs on the caller as it is (unless it asks for a
    // large stack); every other one (from a host thread, every one) is copied behind a
    // slot that its job's start argument points to.
    const U64 numInline = caller.m_onWorker && !(options.m_flags & kLargeStack) ? 1 : 0;
    const U64 numJobs = count - numInline;
    U8* pMemory =
        static_cast<U8*>(AllocateRecord(SlotsBytes(pCallables + numInline, numJobs), options.m_where));
    CallSlot* pFirstSlot = BuildSlots(pMemory, pCallables + numInline, numJobs);
    const CounterHandle done =
        AllocateCounter(static_cast<I64>(numJobs), kWaitForZeroOnly, ToSourceLocation(options.m_where));
    SubmitSlots(pFirstSlot, numJobs, done, caller.m_priority, options);
    if (numInline)
        pCallables[0].m_pCall(pCallables[0].m_pSource);
    WaitAndFree(done, caller, options.m_where);
    DestroySlots(pFirstSlot);
    FreeRecord(pMemory);
}

StartedRecord* StartLoop(U64 begin, U64 end, U64 grain, const CallableDesc& body, const StartedRecord* pAfter,
                         const JobOptions& options)
{
    CheckCall(options);
    CheckRange(begin, end, grain, options.m_where);
    // Every participant is a job, at most one per worker.
    const U64 numChunks = CountChunks(begin, end, grain);
    const U64 jobs = std::min<U64>(numChunks, GetNumWorkerThreads());
    StartedRecord* pRecord = NewStartedRecord(jobs ? LoopBytes(jobs, body) : 0, jobs ? jobs + 1 : 0, options);
    if (jobs == 0)
        return pRecord;
    pRecord->m_pLoop = BuildLoop(WorkMemory(pRecord), begin, end, grain, jobs, 0, body);
    pRecord->m_pLoop->m_chunksLeft.store(numChunks, std::memory_order_relaxed);
    pRecord->m_pLoop->m_chunksDone = pRecord->m_done;
    const U64 loopArg = LoopArg(pRecord->m_pLoop);
    const CounterHandle after = StartAfter(pRecord, pAfter);
    SubmitJobs(
        StartedParallelForJob, jobs, [loopArg](U64) { return loopArg; }, pRecord->m_done,
        DescribeCaller().m_priority, options, after);
    return pRecord;
}

StartedRecord* StartCallables(const CallableDesc* pCallables, U64 count, const StartedRecord* pAfter,
                              const JobOptions& options)
{
    CheckCall(options);
    StartedRecord* pRecord = NewStartedRecord(SlotsBytes(pCallables, count), count, options);
    pRecord->m_pFirstSlot = BuildSlots(WorkMemory(pRecord), pCallables, count);
    const CounterHandle after = StartAfter(pRecord, pAfter);
    SubmitSlots(pRecord->m_pFirstSlot, count, pRecord->m_done, DescribeCaller().m_priority, options, after);
    return pRecord;
}

void WaitAndFreeStarted(StartedRecord* pRecord, const CallSite& where)
{
    OX_TYPED_CHECK(IsInitialized(), where,
                   "Started work is waited for after Shutdown: wait for it (or end its scope) before");
    const CallerInfo caller = DescribeCaller();
    if (!caller.m_onWorker)
        HelpWithStartedLoops(pRecord);
    WaitForZero(pRecord->m_done, caller, where);
    // Its work has run, so it has started: the work before it is no longer looked at.
    if (typed::StartedRecord* pAfter = pRecord->m_pAfter)
    {
        pRecord->m_pAfter = nullptr;
        ReleaseStarted(pAfter);
    }
    ReleaseStarted(pRecord);
}

void CheckStarted(const StartedRecord* pRecord, const CallSite& where)
{
    OX_TYPED_CHECK(
        pRecord, where,
        "This StartedWork holds no work (already waited for, or moved from): nothing to start after");
}
} // namespace typed

// --- ScopedCounter -------------------------------------------------------------------------------

ScopedCounter::ScopedCounter(I64 initialValue, WaitRestriction waitRestriction, typed::CallSite where)
    : m_counter(AllocateCounter(initialValue, waitRestriction, typed::ToSourceLocation(where))),
      m_where(where)
{
}

ScopedCounter::~ScopedCounter()
{
    // The scope's own line names the wait.
    Wait(0, kCompareEqual, m_where);
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

void ScopedCounter::Wait(I64 value, U32 compare, typed::CallSite where) const
{
    WaitForCounterOnAnyThread(m_counter, value, compare, where);
}
} // namespace oxjob
