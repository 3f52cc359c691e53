// oxsys::Thread: a small value handle on an operating-system thread. CreateThread makes
// a named, prioritised, affinity-bound thread that starts running only after all three
// are applied; the handle joins, suspends and resumes it and is closed with
// ReleaseThreadHandle. All functions may be called from any thread.
#pragma once

#include "corelib/util/types.h"

namespace oxsys
{
// Thread priorities, in the operating system's numbering (Windows thread priorities).
constexpr I32 kThreadPriorityIdle = -15;
constexpr I32 kThreadPriorityLowest = -2;
constexpr I32 kThreadPriorityBelowNormal = -1;
constexpr I32 kThreadPriorityNormal = 0;
constexpr I32 kThreadPriorityAboveNormal = 1;
constexpr I32 kThreadPriorityHighest = 2;
constexpr I32 kThreadPriorityTimeCritical = 15;

// Flag bit 0 of a handle: the thread can be joined.
constexpr U32 kThreadFlagJoinable = 1;

// Longest name a description keeps (without the terminating zero).
constexpr U32 kMaxThreadNameLength = 255;

// Entry function of a thread; its result is the thread's exit code.
using ThreadFunction = U32 (*)(void* pArgument);

// What CreateThread needs to know about a new thread.
struct ThreadDesc
{
    U32 m_stackSize = 0; // bytes; 0 for the platform default
    U32 m_reserved = 0;  // not used by creation
    I32 m_priority = kThreadPriorityNormal;
    U32 m_affinityMask = 0xFFFFFFFFu; // bit i allows processor i
    U32 m_flags = 0;                  // kept in the handle's flags (bit 0 is always set there)
    char m_name[kMaxThreadNameLength + 1] = {};

    // Copies at most 255 characters of name; null clears it.
    void SetName(const char* name);
};

class alignas(16) Thread
{
public:
    // An empty handle (all zero).
    Thread();

    // Waits without time-out for the thread to end; the handle must be joinable. A
    // thread cannot join itself.
    void Join();

    // Two handles name the same thread when their thread ids are equal.
    bool operator==(const Thread& other) const { return m_threadId == other.m_threadId; }
    bool operator!=(const Thread& other) const { return m_threadId != other.m_threadId; }

    bool IsJoinable() const { return (m_flags & kThreadFlagJoinable) != 0; }
    bool IsEmpty() const { return nativeThread == 0; }
    U32 GetThreadId() const { return m_threadId; }
    U32 GetFlags() const { return m_flags; }

    U64 nativeThread; // the platform handle; 0 when empty
    U32 m_threadId;   // the operating system's thread id
    U32 m_flags;      // bit 0 joinable, the other bits the description's flags
};
static_assert(sizeof(Thread) == 16, "a thread handle is two 64-bit words");

// Creates the thread and fills outThread; the thread runs only after its name, priority
// and affinity are applied. A priority the process may not set falls back to the
// nearest one it may (on POSIX, raising priority needs privileges).
void CreateThread(Thread& outThread, const ThreadDesc& desc, ThreadFunction function, void* pArgument);
// Closes the handle and zeroes it; a thread that was not joined runs on, detached.
void ReleaseThreadHandle(Thread& thread);
// Suspends the thread; returns its previous suspend count.
U32 SuspendThread(Thread& thread);
// Resumes the thread; returns its previous suspend count (0: it was not suspended).
U32 ResumeThread(Thread& thread);
// A handle on the calling thread (a pseudo handle: it need not be released).
Thread CurrentThread();
// The calling thread's operating-system id.
U32 CurrentThreadId();
// Ends the calling thread with the exit code; does not return.
[[noreturn]] void EndCurrentThread(U32 exitCode);
// Sleeps for at least the given number of milliseconds.
void SleepMs(U32 milliseconds);
// Offers the rest of the time slice to another ready thread.
void YieldThread();
// Names the thread with this id for debuggers and system tools.
void SetThreadName(U32 threadId, const char* name);
} // namespace oxsys
