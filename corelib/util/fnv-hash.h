// The Fowler-Noll-Vo hash functions FNV-1 and FNV-1a in 32 and 64 bits, over bytes with
// a length or over zero-terminated text. The caller passes the start value (normally
// the offset basis below), so a hash can be continued over several pieces. An empty
// input returns the start value.
#pragma once

#include "corelib/util/types.h"

inline constexpr U32 kFnv32OffsetBasis = 0x811C9DC5u;
inline constexpr U32 kFnv32Prime = 16777619u;
inline constexpr U64 kFnv64OffsetBasis = 0xCBF29CE484222325ull;
inline constexpr U64 kFnv64Prime = 0x100000001B3ull;

// FNV-1, 32 bits, over size bytes: multiply, then XOR each byte.
inline U32 Fnv1Hash32(const void* pData, U64 size, U32 hash)
{
    const U8* p = static_cast<const U8*>(pData);
    for (U64 i = 0; i < size; ++i)
        hash = (hash * kFnv32Prime) ^ p[i];
    return hash;
}

// FNV-1a, 32 bits, over size bytes: XOR each byte, then multiply.
inline U32 Fnv1aHash32(const void* pData, U64 size, U32 hash)
{
    const U8* p = static_cast<const U8*>(pData);
    for (U64 i = 0; i < size; ++i)
        hash = (hash ^ p[i]) * kFnv32Prime;
    return hash;
}

// FNV-1, 64 bits, over size bytes.
inline U64 Fnv1Hash64(const void* pData, U64 size, U64 hash)
{
    const U8* p = static_cast<const U8*>(pData);
    for (U64 i = 0; i < size; ++i)
        hash = (hash * kFnv64Prime) ^ p[i];
    return hash;
}

// FNV-1a, 64 bits, over size bytes.
inline U64 Fnv1aHash64(const void* pData, U64 size, U64 hash)
{
    const U8* p = static_cast<const U8*>(pData);
    for (U64 i = 0; i < size; ++i)
        hash = (hash ^ p[i]) * kFnv64Prime;
    return hash;
}

// FNV-1, 32 bits, over text up to (not including) its terminating zero. The text forms
// are constexpr so that names can be hashed at compile time.
constexpr U32 Fnv1HashText32(const char* text, U32 hash)
{
    for (; *text; ++text)
        hash = (hash * kFnv32Prime) ^ static_cast<U8>(*text);
    return hash;
}

// FNV-1a, 32 bits, over zero-terminated text.
constexpr U32 Fnv1aHashText32(const char* text, U32 hash)
{
    for (; *text; ++text)
        hash = (hash ^ static_cast<U8>(*text)) * kFnv32Prime;
    return hash;
}

// FNV-1, 64 bits, over zero-terminated text.
constexpr U64 Fnv1HashText64(const char* text, U64 hash)
{
    for (; *text; ++text)
        hash = (hash * kFnv64Prime) ^ static_cast<U8>(*text);
    return hash;
}

// FNV-1a, 64 bits, over zero-terminated text.
constexpr U64 Fnv1aHashText64(const char* text, U64 hash)
{
    for (; *text; ++text)
        hash = (hash ^ static_cast<U8>(*text)) * kFnv64Prime;
    return hash;
}
