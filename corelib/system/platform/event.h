// oxsys::Event: a manual-reset event. Once set it stays signalled, and every wait on it
// returns at once, until it is reset; a pulse releases the threads waiting at that moment
// and leaves it non-signalled. Construct (zeroed, unusable), then oxsys::CreateEvent.
// Every operation may be called from any thread; no thread may wait on an event that is
// being destroyed.
#pragma once

#include "corelib/system/platform/mutex.h" // kInfinite
#include "corelib/util/types.h"

namespace oxsys
{
// Bytes of opaque storage for the OS event (a HANDLE on Windows; on POSIX a mutex, a
// condition and the state they guard); each platform file checks that its type fits.
constexpr U64 kEventStorageSize = 112;

class alignas(16) Event
{
public:
    // A zeroed event; it must be created before use.
    Event();
    // Destroys the OS event when the event was created.
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    bool IsInitialized() const { return m_initialized; }

    alignas(16) U8 m_event[kEventStorageSize];
    bool m_initialized;
};

// Creates a manual-reset, non-signalled event; false on failure, with the platform's
// error kept for GetLastPlatformError.
bool CreateEvent(Event& event);
// Destroys the OS event and zero-fills the event; harmless on an event that was never
// created or is already destroyed.
void DestroyEvent(Event& event);
// Signals the event until it is reset: releases every waiter, and later waits return at once.
bool SetEvent(Event& event);
// Makes the event non-signalled.
bool ResetEvent(Event& event);
// Releases every thread waiting at this moment and leaves the event non-signalled; a
// thread that starts waiting after the pulse is not released by it.
bool PulseEvent(Event& event);
// Waits until the event is signalled or pulsed (true) or timeoutMs passed (false); 0
// only tests the state, kInfinite waits without limit.
bool WaitForEvent(Event& event, U32 timeoutMs);
} // namespace oxsys
