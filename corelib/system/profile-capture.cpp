#include "corelib/system/profile-capture.h"

#include "corelib/system/platform/cpu-pause.h"
#include "corelib/system/platform/thread.h"
#include "corelib/system/running-job.h"
#include "corelib/system/timing.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace
{
// A thread's place in the capture: the block it writes into (lent under the guard), the
// block of the buffer that holds it, and what the stop hands back.
struct CaptureSlot
{
    ProfileEventBlock m_block;
    ProfileEventBlockGuard m_guard;
    U64* m_pCurrentBlock = nullptr;
    ProfileCaptureThread m_thread;
};

// Slots are never freed: a thread may still point at its slot after the stop, until its
// next marker lets go of it (the guard's state is then free and the slot may be lent again).
CaptureSlot s_slots[kMaxProfileCaptureThreads];

std::atomic<bool> s_running{false};
// Serialises start, stop and joining; none of them is on a marker's path.
std::atomic<bool> s_controlLock{false};

U64* s_pBuffer = nullptr;
U64 s_bufferWords = 0;
std::atomic<U64> s_nextWord{0};
void* s_pOwnedBuffer = nullptr;
ProfileEventReplaceBlockFn s_previousReplaceBlock = nullptr;

// Filled under the control lock.
U32 s_joinedSlots[kMaxProfileCaptureThreads];
U32 s_numJoined = 0;
U32 s_refusedThreads = 0;
U64 s_startTime = 0;
ProfileCaptureThread s_stoppedThreads[kMaxProfileCaptureThreads];
ProfileCaptureData s_stopped;

class ControlLockScope
{
public:
    ControlLockScope()
    {
        while (s_controlLock.exchange(true, std::memory_order_acquire))
            oxsys::CpuPause();
    }
    ~ControlLockScope() { s_controlLock.store(false, std::memory_order_release); }
};

CaptureSlot* SlotOfBlock(ProfileEventBlock* pBlock)
{
    for (CaptureSlot& slot : s_slots)
        if (&slot.m_block == pBlock)
            return &slot;
    return nullptr;
}

// The next free block of the buffer, its link word cleared; null once it is used up.
U64* CarveBlock()
{
    const U64 at = s_nextWord.fetch_add(kProfileCaptureBlockWords, std::memory_order_relaxed);
    if (at + kProfileCaptureBlockWords > s_bufferWords)
        return nullptr;
    U64* pBlock = s_pBuffer + at;
    pBlock[0] = 0;
    pBlock[1] = kProfileEventEndOfBlock;
    return pBlock;
}

void LendBlock(CaptureSlot& slot, U64* pBlock)
{
    slot.m_pCurrentBlock = pBlock;
    slot.m_block.m_pDestination = pBlock + 1;
    slot.m_block.m_pLimit = pBlock + 1 + kProfileCaptureEventWords;
}

// The replace-block callback: a capture's full block is followed by the next free one of
// the buffer (linked from the full one); other blocks go to the callback installed before.
U64 ReplaceCaptureBlock(ProfileEventBlock* pBlock)
{
    CaptureSlot* pSlot = pBlock->m_pGuard ? SlotOfBlock(pBlock) : nullptr;
    if (!pSlot)
        return s_previousReplaceBlock ? s_previousReplaceBlock(pBlock) : GetTimeNow();
    U64* pNext = CarveBlock();
    if (!pNext)
    {
        ++pSlot->m_thread.m_droppedEvents;
        return GetTimeNow();
    }
    if (pSlot->m_pCurrentBlock)
        pSlot->m_pCurrentBlock[0] = reinterpret_cast<U64>(pNext);
    else
        pSlot->m_thread.m_pFirstBlock = pNext;
    LendBlock(*pSlot, pNext);
    return GetTimeNow();
}

// Lends the calling thread a slot; null when all are taken. Under the control lock.
CaptureSlot* JoinLocked(bool isWorker)
{
    ProfileEventBlock* pCurrent = SetProfileEventBlock(nullptr);
    SetProfileEventBlock(pCurrent);
    if (CaptureSlot* pHeld = pCurrent ? SlotOfBlock(pCurrent) : nullptr)
    {
        if (pHeld->m_guard.m_state.load(std::memory_order_relaxed) == ProfileEventBlockGuard::kOpen)
            return pHeld;
        // A block of an earlier capture that this thread has not let go of yet.
        pCurrent = pHeld->m_guard.m_pRestore;
        pHeld->m_guard.m_pRestore = nullptr;
        pHeld->m_guard.m_state.store(ProfileEventBlockGuard::kFree, std::memory_order_release);
        SetProfileEventBlock(pCurrent);
    }
    for (U32 i = 0; i < kMaxProfileCaptureThreads; ++i)
    {
        CaptureSlot& slot = s_slots[i];
        if (slot.m_guard.m_state.load(std::memory_order_acquire) != ProfileEventBlockGuard::kFree)
            continue;
        slot.m_thread = ProfileCaptureThread{};
        slot.m_thread.m_threadId = oxsys::CurrentThreadId();
        slot.m_thread.m_isWorker = isWorker;
        slot.m_pCurrentBlock = nullptr;
        slot.m_block.m_pDestination = nullptr;
        slot.m_block.m_pLimit = nullptr;
        slot.m_block.m_pGuard = &slot.m_guard;
        if (U64* pFirst = CarveBlock())
        {
            slot.m_thread.m_pFirstBlock = pFirst;
            LendBlock(slot, pFirst);
        }
        slot.m_guard.m_pRestore = pCurrent;
        slot.m_guard.m_state.store(ProfileEventBlockGuard::kOpen, std::memory_order_release);
        s_joinedSlots[s_numJoined++] = i;
        SetProfileEventBlock(&slot.m_block);
        return &slot;
    }
    ++s_refusedThreads;
    return nullptr;
}

bool StartLocked(void* pBuffer, U64 sizeInBytes)
{
    if (s_running.load(std::memory_order_relaxed) || !pBuffer || (reinterpret_cast<UPtr>(pBuffer) & 7) != 0 ||
        sizeInBytes < kProfileCaptureBlockBytes)
        return false;
    s_pBuffer = static_cast<U64*>(pBuffer);
    s_bufferWords = sizeInBytes / sizeof(U64);
    s_nextWord.store(0, std::memory_order_relaxed);
    s_numJoined = 0;
    s_refusedThreads = 0;
    const ProfileEventReplaceBlockFn current = GetProfileEventReplaceBlock();
    if (current != ReplaceCaptureBlock)
    {
        s_previousReplaceBlock = current;
        SetProfileEventReplaceBlock(ReplaceCaptureBlock);
    }
    s_startTime = GetTimeNow();
    s_running.store(true, std::memory_order_release);
    return true;
}
} // namespace

bool StartProfileCapture(void* pBuffer, U64 sizeInBytes)
{
    ControlLockScope lock;
    return StartLocked(pBuffer, sizeInBytes);
}

bool StartProfileCapture(U64 sizeInBytes)
{
    ControlLockScope lock;
    if (s_running.load(std::memory_order_relaxed))
        return false;
    std::free(s_pOwnedBuffer);
    s_pOwnedBuffer = sizeInBytes >= kProfileCaptureBlockBytes ? std::malloc(sizeInBytes) : nullptr;
    // Touched now, so that no page of it is first faulted in while the threads capture.
    if (s_pOwnedBuffer)
        std::memset(s_pOwnedBuffer, 0, sizeInBytes);
    return StartLocked(s_pOwnedBuffer, sizeInBytes);
}

void ReleaseProfileCaptureBuffer()
{
    ControlLockScope lock;
    if (s_running.load(std::memory_order_relaxed) || !s_pOwnedBuffer)
        return;
    if (s_pBuffer == s_pOwnedBuffer)
        s_stopped = ProfileCaptureData{};
    std::free(s_pOwnedBuffer);
    s_pOwnedBuffer = nullptr;
}

bool IsProfileCaptureRunning()
{
    return s_running.load(std::memory_order_relaxed);
}

bool JoinProfileCapture()
{
    if (!IsProfileCaptureRunning())
        return false;
    ControlLockScope lock;
    return s_running.load(std::memory_order_relaxed) && JoinLocked(oxsys::IsJobWorkerThread()) != nullptr;
}

ProfileEventBlock* JoinProfileCaptureAsWorker()
{
    ControlLockScope lock;
    if (!s_running.load(std::memory_order_relaxed))
        return nullptr;
    CaptureSlot* pSlot = JoinLocked(true);
    return pSlot ? &pSlot->m_block : nullptr;
}

const ProfileCaptureData* StopProfileCapture()
{
    ControlLockScope lock;
    if (!s_running.load(std::memory_order_relaxed))
        return nullptr;
    s_running.store(false, std::memory_order_relaxed);
    const U64 stopTime = GetTimeNow();
    ProfileCaptureData data;
    data.m_startTime = s_startTime;
    data.m_stopTime = stopTime;
    data.m_refusedThreads = s_refusedThreads;
    data.m_bufferBytes = s_bufferWords * sizeof(U64);
    const U64 used = s_nextWord.load(std::memory_order_relaxed);
    const U64 wholeBlocks = s_bufferWords / kProfileCaptureBlockWords * kProfileCaptureBlockWords;
    data.m_usedBytes = (used < wholeBlocks ? used : wholeBlocks) * sizeof(U64);
    ProfileEventBlock* pOwn = SetProfileEventBlock(nullptr);
    SetProfileEventBlock(pOwn);
    for (U32 i = 0; i < s_numJoined; ++i)
    {
        CaptureSlot& slot = s_slots[s_joinedSlots[i]];
        // Closed before the busy mark is read: a thread either finishes the event it is
        // writing, which is waited for here, or sees the block closed.
        slot.m_guard.m_state.store(ProfileEventBlockGuard::kClosed, std::memory_order_seq_cst);
        while (slot.m_guard.m_writing.load(std::memory_order_seq_cst) != 0)
            oxsys::CpuPause();
        s_stoppedThreads[i] = slot.m_thread;
        data.m_droppedEvents += slot.m_thread.m_droppedEvents;
        if (pOwn == &slot.m_block)
        {
            // The stopping thread lets go of its own block at once.
            SetProfileEventBlock(slot.m_guard.m_pRestore);
            slot.m_guard.m_pRestore = nullptr;
            slot.m_guard.m_state.store(ProfileEventBlockGuard::kFree, std::memory_order_release);
        }
    }
    data.m_numThreads = s_numJoined;
    data.m_pThreads = s_stoppedThreads;
    s_stopped = data;
    return &s_stopped;
}
