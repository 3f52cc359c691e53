// StringId64: the library's 64-bit identifier for names, the 64-bit FNV-1a hash of the
// text. An identifier can continue from a base identifier, so that (base of "abc",
// "def") equals the identifier of "abcdef"; integer suffixes are hashed as their decimal
// text. Building an identifier touches no shared state unless it is built with the
// remember flag, which hands the text to the string-identifier cache
// (corelib/util/stringid-cache.h) so that the identifier can be turned back into text.
#pragma once

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
    // Keeps the text of a freshly built identifier; defined with the cache (stringid-cache.cpp),
    // whose lock it takes.
    void Remember(StringId64 base, const char* suffix) const;

    U64 m_value = 0;
};
static_assert(sizeof(StringId64) == 8, "string ids are one 64-bit word");

inline constexpr StringId64 kInvalidStringId64{};
