#include "corelib/system/profiler-events.h"

#include "corelib/system/platform/platform.h"
#include "corelib/system/profile-capture.h"
#include "corelib/system/running-job.h"
#include "corelib/system/timing.h"

namespace
{
thread_local ProfileEventBlock* s_pThreadEventBlock = nullptr;
std::atomic<ProfileEventReplaceBlockFn> s_replaceBlock{nullptr};

// Regions may open in a job that resumes on another thread after a fiber switch, so the
// block is always looked up through a call rather than a cached thread-local address.
OX_NOINLINE ProfileEventBlock* CurrentEventBlock()
{
    return s_pThreadEventBlock;
}

// The thread's block with room for an event, and the event's time stamp: the
// counter when the block has room, else the time the replace callback returns with a
// fresh block. Null when there is no block or no room (the event is dropped).
ProfileEventBlock* BlockWithRoom(ProfileEventBlock* pBlock, U64* pTime)
{
    if (pBlock->m_pDestination && pBlock->m_pDestination < pBlock->m_pLimit)
    {
        *pTime = GetTimeNow();
        return pBlock;
    }
    const ProfileEventReplaceBlockFn replaceBlock = s_replaceBlock.load(std::memory_order_relaxed);
    if (!replaceBlock)
        return nullptr;
    *pTime = replaceBlock(pBlock);
    return (pBlock->m_pDestination && pBlock->m_pDestination < pBlock->m_pLimit) ? pBlock : nullptr;
}

// Copies the name with its terminating zero, a marker word first. Words are assembled
// byte by byte so that no byte past the terminator is read: the name may end just
// before unreadable memory. Returns the position after the copy, never beyond pEnd.
U64* CopyName(U64* pDestination, U64* pEnd, const char* name)
{
    bool wide = (reinterpret_cast<UPtr>(name) & 15) == 0;
    U64 wordsPerChunk = wide ? 2 : 1;
    if (pDestination + 1 + wordsPerChunk > pEnd)
        return pDestination;
    *pDestination++ = wide ? kProfileEventString16 : kProfileEventString8;
    bool ended = false;
    while (!ended && pDestination + wordsPerChunk <= pEnd)
    {
        for (U64 w = 0; w < wordsPerChunk; ++w)
        {
            U64 word = 0;
            for (int i = 0; i < 8 && !ended; ++i)
            {
                U8 c = static_cast<U8>(*name++);
                word |= static_cast<U64>(c) << (8 * i);
                ended = (c == 0);
            }
            *pDestination++ = word;
        }
    }
    return pDestination;
}

void WriteBeginEvent(ProfileEventBlock* pBlock, U64 time, U32 color, const char* name)
{
    U64* pDestination = pBlock->m_pDestination;
    // The slack beyond the limit holds the rest of the event; one word stays free for
    // the end-of-block word.
    U64* pEnd = pBlock->m_pLimit + kProfileEventBlockSlackWords - 1;
    *pDestination++ = (time << kProfileEventTimeShift) | kProfileEventBeginNoArgs;
    *pDestination++ = color;
    pDestination = CopyName(pDestination, pEnd, name);
    *pDestination = kProfileEventEndOfBlock;
    pBlock->m_pDestination = pDestination;
}

void WriteEndEvent(ProfileEventBlock* pBlock, U64 time)
{
    U64* pDestination = pBlock->m_pDestination;
    *pDestination++ = time << kProfileEventTimeShift;
    *pDestination = kProfileEventEndOfBlock;
    pBlock->m_pDestination = pDestination;
}

void WriteBegin(ProfileEventBlock* pBlock, U32 color, const char* name)
{
    U64 time;
    if (BlockWithRoom(pBlock, &time) != nullptr)
        WriteBeginEvent(pBlock, time, color, name);
}

void WriteEnd(ProfileEventBlock* pBlock)
{
    U64 time;
    if (BlockWithRoom(pBlock, &time) != nullptr)
        WriteEndEvent(pBlock, time);
}

// Writes into a lent block while it is open. The busy mark is set before the state is
// read and the owner closes the state before it reads the mark (both sequentially
// consistent), so either the owner waits for this event or this thread sees the block
// closed. A closed block is let go: the thread's own block returns and the guard is free.
template <typename Write>
OX_NOINLINE void WriteGuarded(ProfileEventBlock* pBlock, Write write)
{
    ProfileEventBlockGuard& guard = *pBlock->m_pGuard;
    guard.m_writing.store(1, std::memory_order_seq_cst);
    const U32 state = guard.m_state.load(std::memory_order_seq_cst);
    if (state == ProfileEventBlockGuard::kOpen)
        write(pBlock);
    guard.m_writing.store(0, std::memory_order_release);
    if (state != ProfileEventBlockGuard::kOpen)
    {
        s_pThreadEventBlock = guard.m_pRestore;
        guard.m_pRestore = nullptr;
        guard.m_state.store(ProfileEventBlockGuard::kFree, std::memory_order_release);
    }
}
} // namespace

U32 ProfileEventColorForJobFlags(U32 jobFlags)
{
    if (jobFlags & 64)
        return kProfileColorJobFlag64;
    if (jobFlags & 4)
        return kProfileColorJobFlag4;
    if (jobFlags & 8)
        return kProfileColorJobFlag8;
    return kProfileColorNoJob;
}

namespace
{
void BeginOnBlock(ProfileEventBlock* pBlock, U32 color, const char* name)
{
    if (OX_UNLIKELY(pBlock->m_pGuard != nullptr))
    {
        WriteGuarded(pBlock, [&](ProfileEventBlock* pOpen) { WriteBegin(pOpen, color, name); });
        return;
    }
    WriteBegin(pBlock, color, name);
}
} // namespace

// The colour is looked up only once there is a block to write into.
void BeginProfileEvent(const char* name)
{
    if (ProfileEventBlock* pBlock = CurrentEventBlock())
        BeginOnBlock(pBlock, ProfileEventColorForJobFlags(oxsys::GetRunningJobFlags()), name);
}

void BeginProfileEvent(U32 color, const char* name)
{
    if (ProfileEventBlock* pBlock = CurrentEventBlock())
        BeginOnBlock(pBlock, color, name);
}

void EndProfileEvent()
{
    ProfileEventBlock* pBlock = CurrentEventBlock();
    if (!pBlock)
        return;
    if (OX_UNLIKELY(pBlock->m_pGuard != nullptr))
    {
        WriteGuarded(pBlock, [](ProfileEventBlock* pOpen) { WriteEnd(pOpen); });
        return;
    }
    WriteEnd(pBlock);
}

ProfileEventBlock* SetProfileEventBlock(ProfileEventBlock* pBlock)
{
    ProfileEventBlock* pPrevious = s_pThreadEventBlock;
    s_pThreadEventBlock = pBlock;
    return pPrevious;
}

ProfileEventBlock* GetProfileEventBlock()
{
    ProfileEventBlock* pBlock = CurrentEventBlock();
    // A worker still holding the block of a stopped capture joins the running one too.
    const bool joinable = pBlock == nullptr || (pBlock->m_pGuard != nullptr &&
                                                pBlock->m_pGuard->m_state.load(std::memory_order_relaxed) ==
                                                    ProfileEventBlockGuard::kClosed);
    if (OX_UNLIKELY(joinable) && IsProfileCaptureRunning() && oxsys::IsJobWorkerThread())
        return JoinProfileCaptureAsWorker();
    return pBlock;
}

void SetProfileEventReplaceBlock(ProfileEventReplaceBlockFn replaceBlock)
{
    s_replaceBlock.store(replaceBlock, std::memory_order_relaxed);
}

ProfileEventReplaceBlockFn GetProfileEventReplaceBlock()
{
    return s_replaceBlock.load(std::memory_order_relaxed);
}
