#include "corelib/util/text-convert.h"

#include <gtest/gtest.h>

#include <string>

namespace
{
std::u16string ToUtf16(const char* text, U32 bufferUnits = 64, U32 maxChars = kUtf8NoCharLimit)
{
    char16_t buffer[64] = {};
    Utf8ToUtf16(buffer, bufferUnits * 2, text, false, maxChars);
    return buffer;
}

TEST(TextConvert, DecodesOneTwoAndThreeByteSequences)
{
    // "A", e-acute, euro sign, CJK "zhong".
    EXPECT_EQ(ToUtf16("A\xC3\xA9\xE2\x82\xAC\xE4\xB8\xAD"), u"A\u00E9\u20AC\u4E2D");
    EXPECT_EQ(Utf8CountChars("A\xC3\xA9\xE2\x82\xAC\xE4\xB8\xAD"), 4u);
}

TEST(TextConvert, FourByteSequencesBecomeAtSignAndSkipTheirBytes)
{
    // U+1F600 followed by "x".
    EXPECT_EQ(ToUtf16("\xF0\x9F\x98\x80x"), u"@x");
    EXPECT_EQ(Utf8CountChars("\xF0\x9F\x98\x80x"), 2u);
}

TEST(TextConvert, ASequenceCutByTheTerminatorEndsTheText)
{
    // Each lead byte promises more bytes than the text holds: nothing past the zero is read.
    const char* cases[] = {"ab\xC3", "ab\xE2\x82", "ab\xF0\x9F\x98"};
    for (const char* text : cases)
    {
        EXPECT_EQ(ToUtf16(text), u"ab") << text;
        EXPECT_EQ(Utf8CountChars(text), 2u);
    }
    const char* p = "\xE2\x82";
    EXPECT_EQ(Utf8DecodeChar(p), 0u);
    EXPECT_EQ(*p, '\0');
}

TEST(TextConvert, LimitsByBufferSizeAndCharacterCount)
{
    EXPECT_EQ(ToUtf16("abcdef", 4), u"abc");
    EXPECT_EQ(ToUtf16("abcdef", 64, 2), u"ab");
    char16_t buffer[8] = u"xy";
    EXPECT_EQ(Utf8ToUtf16(buffer, sizeof(buffer), "1234567", true), 7u);
    EXPECT_EQ(std::u16string(buffer), u"xy12345");
}

TEST(TextConvert, Utf16ToUtf8RoundTripsIncludingSurrogatePairs)
{
    char out[32];
    EXPECT_EQ(Utf16ToUtf8(out, sizeof(out), u"A\u00E9\u20AC\U0001F600"), 1u + 2 + 3 + 4);
    EXPECT_STREQ(out, "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    // A character that does not fit whole is not split.
    EXPECT_EQ(Utf16ToUtf8(out, 4, u"a\u20AC"), 1u);
    EXPECT_STREQ(out, "a");
}

TEST(TextConvert, EscapingCopiesWriteNonPrintablesAsUnicodeEscapes)
{
    char out[64];
    EscapeCopyUtf8(out, sizeof(out), "a\tb\xC3\xA9");
    EXPECT_STREQ(out, "a\\u0009b\\u00E9");
    EscapeCopyUtf16(out, sizeof(out), u"\u20ACz");
    EXPECT_STREQ(out, "\\u20ACz");
    // With fewer than six bytes of room an escape is dropped; the copy stops one byte early.
    char small[6];
    EscapeCopyUtf8(small, sizeof(small), "ab\ncd");
    EXPECT_STREQ(small, "abcd");
}

TEST(TextConvert, TrimmingCopyRemovesWhitespaceAtTheChosenEnds)
{
    const char16_t* text = u"\u00A0 \t hello world \u2003\n";
    char16_t out[64];
    struct Case
    {
        U32 flags;
        std::u16string expected;
    };
    const Case cases[] = {
        {kTrimStart, u"hello world \u2003\n"},
        {kTrimEnd, u"\u00A0 \t hello world"},
        {kTrimStart | kTrimEnd, u"hello world"},
        {0, text},
    };
    for (const Case& c : cases)
    {
        TrimCopyUtf16(out, 64, text, c.flags);
        EXPECT_EQ(std::u16string(out), c.expected) << c.flags;
    }
    EXPECT_EQ(TrimCopyUtf16(out, 64, u" \t ", kTrimStart | kTrimEnd), 0u);
}
} // namespace
