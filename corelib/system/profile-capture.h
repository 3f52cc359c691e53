// A capture of the profiler event markers: between StartProfileCapture and
// StopProfileCapture every job worker (with its first job) and every thread that calls
// JoinProfileCapture writes its markers into blocks carved from one buffer. A full block
// is replaced by the next free one through the replace-block callback, so nothing is
// allocated while capturing; once the buffer is used up a thread's further events are
// dropped and counted. The stop hands back each thread's chain of blocks, which
// profile-capture-reader.h turns into regions.
//
// Without a capture the markers are untouched: a thread without a block pays one
// thread-local read and a branch per marker.
#pragma once

#include "corelib/system/profiler-events.h"
#include "corelib/util/types.h"

// Words per block: a link word (the address of the thread's next block, 0 for none),
// the events, and the slack that takes the rest of an event begun just below the limit.
inline constexpr U64 kProfileCaptureEventWords = 2048;
inline constexpr U64 kProfileCaptureBlockWords = 1 + kProfileCaptureEventWords + kProfileEventBlockSlackWords;
inline constexpr U64 kProfileCaptureBlockBytes = kProfileCaptureBlockWords * sizeof(U64);
// Threads one capture can take; later ones are refused (and counted).
inline constexpr U32 kMaxProfileCaptureThreads = 96;

// One thread's part of a capture.
struct ProfileCaptureThread
{
    U32 m_threadId = 0;                 // the operating system's thread id
    bool m_isWorker = false;            // a job worker thread
    const U64* m_pFirstBlock = nullptr; // its first block (see kProfileCaptureBlockWords)
    U64 m_droppedEvents = 0;            // events that found the buffer used up
};

// What a stopped capture holds. The blocks live in the capture's buffer: read them before
// the buffer is freed or the next capture starts.
struct ProfileCaptureData
{
    U64 m_startTime = 0; // counter values (GetTimeNow) at the start and the stop
    U64 m_stopTime = 0;
    U32 m_numThreads = 0;
    const ProfileCaptureThread* m_pThreads = nullptr;
    U64 m_droppedEvents = 0;  // all threads' dropped events
    U32 m_refusedThreads = 0; // threads that asked when all kMaxProfileCaptureThreads were taken
    U64 m_usedBytes = 0;      // of the buffer
    U64 m_bufferBytes = 0;
};

// Starts a capture into the caller's buffer (8-byte aligned; it must stay valid until
// the capture has stopped and been read). False when a capture runs already or the
// buffer cannot hold one block.
bool StartProfileCapture(void* pBuffer, U64 sizeInBytes);
// Starts a capture into a buffer of the given size that the capture allocates now and
// keeps until the next capture starts or ReleaseProfileCaptureBuffer.
bool StartProfileCapture(U64 sizeInBytes);
// Gives the calling thread a block of the running capture (job workers join by
// themselves). True when the thread writes into the capture.
bool JoinProfileCapture();
// Stops the capture: every thread's block is taken back (a thread still writing an event
// is waited for; each lets go of its block with its next marker) and the events written
// are handed back. Null when no capture runs.
const ProfileCaptureData* StopProfileCapture();
// Frees the buffer that StartProfileCapture(size) allocated.
void ReleaseProfileCaptureBuffer();

// True while a capture runs.
bool IsProfileCaptureRunning();
// For the markers: a job worker without a block joins the running capture; returns its
// block, or null when it could not join.
ProfileEventBlock* JoinProfileCaptureAsWorker();
