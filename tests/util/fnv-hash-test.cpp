#include "corelib/util/fnv-hash.h"

#include <gtest/gtest.h>

#include <cstring>

namespace
{
// Published test vectors of the FNV reference suite, from the standard offset bases.
struct Vector
{
    const char* text;
    U32 fnv1_32;
    U32 fnv1a_32;
    U64 fnv1_64;
    U64 fnv1a_64;
};
const Vector kVectors[] = {
    {"", 0x811C9DC5u, 0x811C9DC5u, 0xCBF29CE484222325ull, 0xCBF29CE484222325ull},
    {"a", 0x050C5D7Eu, 0xE40C292Cu, 0xAF63BD4C8601B7BEull, 0xAF63DC4C8601EC8Cull},
    {"foobar", 0x31F0B262u, 0xBF9CF968u, 0x340D8765A4DDA9C2ull, 0x85944171F73967E8ull},
};
} // namespace

TEST(FnvHash, PublishedVectorsOverBytesAndText)
{
    for (const Vector& v : kVectors)
    {
        U64 size = strlen(v.text);
        EXPECT_EQ(Fnv1Hash32(v.text, size, kFnv32OffsetBasis), v.fnv1_32) << v.text;
        EXPECT_EQ(Fnv1aHash32(v.text, size, kFnv32OffsetBasis), v.fnv1a_32) << v.text;
        EXPECT_EQ(Fnv1Hash64(v.text, size, kFnv64OffsetBasis), v.fnv1_64) << v.text;
        EXPECT_EQ(Fnv1aHash64(v.text, size, kFnv64OffsetBasis), v.fnv1a_64) << v.text;
        EXPECT_EQ(Fnv1HashText32(v.text, kFnv32OffsetBasis), v.fnv1_32) << v.text;
        EXPECT_EQ(Fnv1aHashText32(v.text, kFnv32OffsetBasis), v.fnv1a_32) << v.text;
        EXPECT_EQ(Fnv1HashText64(v.text, kFnv64OffsetBasis), v.fnv1_64) << v.text;
        EXPECT_EQ(Fnv1aHashText64(v.text, kFnv64OffsetBasis), v.fnv1a_64) << v.text;
    }
}

TEST(FnvHash, StartValueContinuesAHash)
{
    // Hashing in two pieces equals hashing the whole, for every variant.
    U32 fnv1a32 = Fnv1aHash32("bar", 3, Fnv1aHash32("foo", 3, kFnv32OffsetBasis));
    EXPECT_EQ(fnv1a32, 0xBF9CF968u);
    EXPECT_EQ(Fnv1HashText32("bar", Fnv1HashText32("foo", kFnv32OffsetBasis)), 0x31F0B262u);
    EXPECT_EQ(Fnv1Hash64("bar", 3, Fnv1Hash64("foo", 3, kFnv64OffsetBasis)), 0x340D8765A4DDA9C2ull);
    EXPECT_EQ(Fnv1aHashText64("bar", Fnv1aHashText64("foo", kFnv64OffsetBasis)), 0x85944171F73967E8ull);
    // An empty input returns whatever start value it is given.
    EXPECT_EQ(Fnv1aHash64(nullptr, 0, 12345u), 12345u);
    EXPECT_EQ(Fnv1HashText32("", 0xDEADBEEFu), 0xDEADBEEFu);
}

TEST(FnvHash, BytesFormHashesZerosAndHighBytes)
{
    // The byte form goes past zero bytes where the text form stops; bytes above 0x7F are
    // taken unsigned.
    const char data[] = {'a', 0, 'b', static_cast<char>(0xFF)};
    EXPECT_NE(Fnv1aHash64(data, 4, kFnv64OffsetBasis), Fnv1aHashText64(data, kFnv64OffsetBasis));
    EXPECT_EQ(Fnv1aHash64(data, 1, kFnv64OffsetBasis), Fnv1aHashText64(data, kFnv64OffsetBasis));
    U64 expected = kFnv64OffsetBasis;
    for (U8 byte : {0x61, 0x00, 0x62, 0xFF})
        expected = (expected ^ byte) * kFnv64Prime;
    EXPECT_EQ(Fnv1aHash64(data, 4, kFnv64OffsetBasis), expected);
    const char high[] = "\xFF\x80";
    EXPECT_EQ(Fnv1HashText32(high, kFnv32OffsetBasis), Fnv1Hash32(high, 2, kFnv32OffsetBasis));
    EXPECT_EQ(Fnv1HashText32(high, kFnv32OffsetBasis),
              (((kFnv32OffsetBasis * kFnv32Prime) ^ 0xFFu) * kFnv32Prime) ^ 0x80u);
}

TEST(FnvHash, TextFormsWorkAtCompileTime)
{
    static_assert(Fnv1aHashText64("foobar", kFnv64OffsetBasis) == 0x85944171F73967E8ull);
    static_assert(Fnv1HashText32("a", kFnv32OffsetBasis) == 0x050C5D7Eu);
}
