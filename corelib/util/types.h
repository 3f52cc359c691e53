// Width-named integer and float types, and the alignment values used across the library.
#pragma once

#include <cstddef>
#include <cstdint>

using U8 = std::uint8_t;
using U16 = std::uint16_t;
using U32 = std::uint32_t;
using U64 = std::uint64_t;
using I8 = std::int8_t;
using I16 = std::int16_t;
using I32 = std::int32_t;
using I64 = std::int64_t;
using F32 = float;
using F64 = double;
using UPtr = std::uintptr_t;

// Alignments in bytes.
enum Alignment : U64
{
    kAlign8 = 8,
    kAlign16 = 16,
    kAlign64 = 64,
    kAlign128 = 128,
    kAlign16k = 16384,
    kAlign1M = 1048576,
};

// True when the pointer is a multiple of the alignment (a power of two).
inline bool IsPointerAligned(const void* p, U64 alignment)
{
    return (reinterpret_cast<UPtr>(p) & (alignment - 1)) == 0;
}

// True when the size is a multiple of the alignment (a power of two).
inline bool IsSizeAligned(U64 size, U64 alignment)
{
    return (size & (alignment - 1)) == 0;
}
