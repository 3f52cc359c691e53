// Profiler event markers: named regions of CPU work written into the calling thread's
// profiler event block, the per-thread buffer that a profiler (or a test) installs.
// Without a block nothing is written, so markers cost one thread-local read when no
// profiler is attached. Blocks are per thread: no lock is taken.
#pragma once

#include "corelib/util/types.h"

#include <atomic>

// The hand-over between a thread that writes into a lent block and the one that takes
// the block back (a capture, at its stop): the writer marks itself busy and then looks at
// the state; the owner changes the state and then waits until the writer is not busy.
struct ProfileEventBlockGuard
{
    static constexpr U32 kFree = 0;   // not lent
    static constexpr U32 kOpen = 1;   // the thread writes into it
    static constexpr U32 kClosed = 2; // taken back: the thread drops its events and lets go of it
    std::atomic<U32> m_state{kFree};
    std::atomic<U32> m_writing{0};
    // The thread's own block before this one was lent, put back when it lets go.
    struct ProfileEventBlock* m_pRestore = nullptr;
};

// A thread's event block: events are appended at m_pDestination. An event only begins
// while m_pDestination < m_pLimit; the memory must extend kProfileEventBlockSlackWords
// words beyond m_pLimit, which takes the rest of an event that began just below it (a
// name longer than the slack allows is cut short there).
struct ProfileEventBlock
{
    U64* m_pDestination = nullptr;
    U64* m_pLimit = nullptr;
    // Null for a block the thread owns; set for a block lent to it that may be taken back
    // (the block of a capture).
    ProfileEventBlockGuard* m_pGuard = nullptr;
};

inline constexpr U64 kProfileEventBlockSlackWords = 24;

// The words an event is made of.
inline constexpr U64 kProfileEventTimeShift = 20;                   // header: time stamp << 20 | type
inline constexpr U64 kProfileEventBeginNoArgs = 0x400;              // header type of a begin event
inline constexpr U64 kProfileEventEndOfBlock = 0xFFF80;             // closes the written part of a block
inline constexpr U64 kProfileEventString8 = 0x0440000000000000ull;  // name copied in 8-byte words
inline constexpr U64 kProfileEventString16 = 0x0840000000000000ull; // name copied in 16-byte words

// Colours (ARGB) chosen from the kind of work the calling thread runs.
inline constexpr U32 kProfileColorJobFlag64 = 0xFF0000FF;
inline constexpr U32 kProfileColorJobFlag4 = 0xFF00FF00;
inline constexpr U32 kProfileColorJobFlag8 = 0xFFFF0000;
inline constexpr U32 kProfileColorNoJob = 0xFF444444;

// Called when an event does not fit: installs a fresh block in pBlock (or leaves it
// full to drop the event) and returns the time stamp for the event's header.
using ProfileEventReplaceBlockFn = U64 (*)(ProfileEventBlock* pBlock);

// Opens a region named name with the colour of the calling thread's kind of work.
void BeginProfileEvent(const char* name);
// Opens a region named name with the given ARGB colour.
void BeginProfileEvent(U32 color, const char* name);
// Closes the calling thread's innermost region.
void EndProfileEvent();

// Opens a region for the lifetime of the scope (the automatic colour).
class ProfileRegionScope
{
public:
    explicit ProfileRegionScope(const char* name) { BeginProfileEvent(name); }
    ~ProfileRegionScope() { EndProfileEvent(); }
    ProfileRegionScope(const ProfileRegionScope&) = delete;
    ProfileRegionScope& operator=(const ProfileRegionScope&) = delete;
};

// The automatic colour for a job's flags: flag 64, else 4, else 8, else the no-job grey.
U32 ProfileEventColorForJobFlags(U32 jobFlags);

// Installs the calling thread's event block (null removes it); the block must outlive
// its installation. Returns the block installed before.
ProfileEventBlock* SetProfileEventBlock(ProfileEventBlock* pBlock);
// The calling thread's event block, or null when no profiler is attached. On a job
// worker without a block it joins a running capture (profile-capture.h): the job system
// asks for the block at every job start, so each worker joins with its first job.
ProfileEventBlock* GetProfileEventBlock();
// Replaces the process-wide callback that supplies new blocks (null: full blocks drop
// events). Install it before threads write events.
void SetProfileEventReplaceBlock(ProfileEventReplaceBlockFn replaceBlock);
// The callback installed now (null when none).
ProfileEventReplaceBlockFn GetProfileEventReplaceBlock();
