// The string-identifier cache: the process-wide table that turns identifiers back into
// text. It is filled by identifiers built with the remember flag and by an installed
// lookup callback, and lives in development memory. Before StringIdInit builds it,
// remembered texts wait in a small start-up table.
//
// Every change of the cache happens under "StringIdCacheLock"; the _NoLock operations
// require it held.
#pragma once

#include "corelib/memory/memory-context.h"
#include "corelib/util/stringid.h"
#include "corelib/util/types.h"

// Resolves an identifier the cache does not hold: writes the text into buffer (size
// bytes) or returns a text of its own; null when it knows none. The flag is the one the
// caller passed to StringIdLookup.
using StringIdLookupCallback = const char* (*)(StringId64 id, char* buffer, int size, bool flag);

// Creates the cache lock and the cache (when the memory system is ready) and moves the
// start-up table into it. A setting above 0 replaces the stored cache setting (default
// 0.4). Call once, from one thread, before other threads use string ids.
void StringIdInit(float cacheSetting, StringIdLookupCallback callback);
// Releases the cache and forgets everything StringIdInit set up, so that it may run again.
void StringIdShutdown();

// The text of an identifier: the cached text, else the callback's (cached when there is
// room, else copied into a 1024-byte allocation from tempContext). Without a text: null
// when nullIfMissing, else "(#f)"; the invalid identifier gives null or "(null)".
const char* StringIdLookup(StringId64 id, bool nullIfMissing, Memory::Context tempContext, bool callbackFlag);
// The text of an identifier, or "#" and its 16 lower-case hex digits formatted in
// temporary memory (single-frame memory); "(INVALID_STRING_ID_64)" for 0.
const char* StringIdToString(StringId64 id);
// As above with the temporary memory taken from tempContext. With context kAllocDevCpu
// before the memory system is ready, an unknown identifier reads "#????????????????".
const char* StringIdToString(StringId64 id, Memory::Context tempContext);

// Stops (or restarts) consulting the lookup callback.
void SetStringIdLookupSuppressed(bool suppress);
// The number of lookups of non-zero identifiers so far.
U32 GetStringIdLookupCount();
// The setting last given to StringIdInit (0.4 by default); nothing here reads it.
float GetStringIdCacheSetting();
// True once StringIdInit has built the cache.
bool IsLocalSidCacheReady();

// Takes and releases "StringIdCacheLock" for the _NoLock operations below (after StringIdInit).
void LockLocalSidCache();
void UnlockLocalSidCache();
// Caches a copy of text under id (replacing an earlier text), emptying a full cache first;
// returns the copy, "" for a null or empty text, or null without a cache or room.
const char* AddStringToLocalSidCache_NoLock(StringId64 id, const char* text);
// The cached text of id, or null.
const char* LookupSidInLocalCache_NoLock(StringId64 id);
// True when a text of size bytes (its NUL included) can be cached without a reset.
bool CanAllocateNewCacheEntry(U64 size);
// True when no further text can be cached without a reset.
bool IsLocalSidCacheFull();
// Number of cached texts.
U64 GetLocalSidCacheCount();
