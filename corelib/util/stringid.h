// StringId64: the library's 64-bit identifier for names, the 64-bit FNV-1a hash of the
// text. An identifier can continue from a base identifier, so that (base of "abc",
// "def") equals the identifier of "abcdef"; integer suffixes are hashed as their decimal
// text. Turning an identifier back into text goes through a process-wide cache, filled by
// identifiers built with the remember flag and by an installed lookup callback. Before
// StringIdInit builds the cache, remembered texts wait in a small start-up table.
//
// Building an identifier without remember touches no shared state. Every change of the
// cache happens under "StringIdCacheLock"; the _NoLock operations require it held.
#pragma once

#include "corelib/memory/memory-context.h"
#include "corelib/util/fnv-hash.h"
#include "corelib/util/types.h"

class StringId64
{
public:
    constexpr StringId64() = default;
    constexpr explicit StringId64(U64 value) : m_value(value) {}
    // The identifier of text alone; a null text gives the invalid identifier.
    constexpr explicit StringId64(const char* text) : m_value(HashText(0, text)) {}
    // The identifier of the base's text followed by text; a null text gives the base itself.
    // With remember the text is kept for lookups (in the cache, or the start-up table before it).
    StringId64(StringId64 base, const char* text, bool remember) : m_value(HashText(base.m_value, text))
    {
        if (remember && text)
            Remember(base, text);
    }
    // The base followed by the decimal text of the number ('-' for negative values).
    StringId64(StringId64 base, int suffix, bool remember);
    StringId64(StringId64 base, unsigned int suffix, bool remember);

    // FNV-1a over length bytes, continuing from base; a null pointer or zero length gives base.
    static StringId64 FromBytes(StringId64 base, U64 length, const void* pBytes)
    {
        if (!pBytes || length == 0)
            return base;
        return StringId64(Fnv1aHash64(pBytes, length, Start(base.m_value)));
    }

    // The hash behind the text constructors: the start value is the base, or the FNV
    // offset basis for the invalid base.
    static constexpr U64 HashText(U64 base, const char* text)
    {
        return text ? Fnv1aHashText64(text, Start(base)) : base;
    }

    constexpr U64 GetValue() const { return m_value; }
    constexpr bool IsValid() const { return m_value != 0; }
    constexpr bool operator==(const StringId64& other) const { return m_value == other.m_value; }
    constexpr bool operator!=(const StringId64& other) const { return m_value != other.m_value; }

private:
    static constexpr U64 Start(U64 base) { return base ? base : kFnv64OffsetBasis; }
    // Keeps the text of a freshly built identifier (out of line: it takes the cache lock).
    void Remember(StringId64 base, const char* suffix) const;

    U64 m_value = 0;
};
static_assert(sizeof(StringId64) == 8, "string ids are one 64-bit word");

inline constexpr StringId64 kInvalidStringId64{};

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
