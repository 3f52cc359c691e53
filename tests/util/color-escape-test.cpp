#include "corelib/util/color-escape.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace
{
TEST(ColorEscape, CombinedTableFollowsForegroundAndBackgroundRules)
{
    struct Case
    {
        int fg, bg;
        const char* expected;
    };
    const Case cases[] = {
        {0, 0, "\x1b[m"},        {1, 0, "\x1b[0;31m"},    {7, 0, "\x1b[0;37m"},    {0, 1, "\x1b[0;41m"},
        {1, 1, "\x1b[0;31;41m"}, {7, 7, "\x1b[0;37;47m"}, {3, 4, "\x1b[0;33;44m"}, {8, 0, "\x1b[m"},
        {0, 8, "\x1b[m"},        {12, 3, "\x1b[m"},
    };
    for (const Case& c : cases)
        EXPECT_STREQ(GetColorEscape(c.fg, c.bg), c.expected) << c.fg << "," << c.bg;
    EXPECT_STREQ(GetFgColorEscape(2), "\x1b[0;32m");
    EXPECT_STREQ(GetFgColorEscape(8), "\x1b[m");
}

TEST(ColorEscape, AllSixtyFourEntriesAreDistinctAndRecognised)
{
    std::set<std::string> seen;
    for (int bg = 0; bg < 8; ++bg)
    {
        for (int fg = 0; fg < 8; ++fg)
        {
            const char* escape = GetColorEscape(fg, bg);
            EXPECT_TRUE(IsColorEscape(escape));
            seen.insert(escape);
        }
    }
    EXPECT_EQ(seen.size(), 64u);
    EXPECT_FALSE(IsColorEscape("\x1b[0;38m"));
    EXPECT_FALSE(IsColorEscape("[0;31m"));
    EXPECT_FALSE(IsColorEscape(nullptr));
}

TEST(ColorEscape, TrueColourIsClampedAndTruncated)
{
    char out[kColorEscapeBufferSize];
    const float rgb[3] = {1.0f, 0.999f, 0.0f};
    FormatColorEscape(rgb, out);
    EXPECT_STREQ(out, "\x1b[xFFFE00m");
    const float outOfRange[3] = {-3.0f, 7.0f, 0.5f};
    FormatColorEscape(outOfRange, out);
    EXPECT_STREQ(out, "\x1b[x00FF7Fm");
}
} // namespace
