#include "corelib/math/segment-clip.h"

#include <gtest/gtest.h>

#include <random>

namespace
{
struct ClipCase
{
    const char* name;
    Point2 p0, p1;
    bool result;
    U32 code0, code1;
    Point2 q0, q1; // end points afterwards
};

bool Inside(Point2 p)
{
    const F32 e = 1e-5f;
    return p.x >= -1 - e && p.x <= 1 + e && p.y >= -1 - e && p.y <= 1 + e;
}
} // namespace

TEST(SegmentClip, Cases)
{
    const ClipCase cases[] = {
        {"horizontal through", {-2, 0}, {2, 0}, true, kClipLeft, kClipRight, {-1, 0}, {1, 0}},
        {"inside", {0, 0}, {0.5f, 0.5f}, true, kClipInside, kClipInside, {0, 0}, {0.5f, 0.5f}},
        {"on the edges", {-1, -1}, {1, 1}, true, kClipInside, kClipInside, {-1, -1}, {1, 1}},
        {"vertical through", {0.5f, 3}, {0.5f, -3}, true, kClipTop, kClipBottom, {0.5f, 1}, {0.5f, -1}},
        {"diagonal from a corner region", {-3, -3}, {0, 0}, true, kClipLeft, kClipInside, {-1, -1}, {0, 0}},
        {"enters through the top", {-2, 3}, {0, 0}, true, kClipTop, kClipInside, {-2.0f / 3, 1}, {0, 0}},
        {"leaves through the right", {0, 0}, {4, 2}, true, kClipInside, kClipRight, {0, 0}, {1, 0.5f}},
        // Passes outside the corner (-1, 1): the first end is not clipped.
        {"misses the corner", {-3, 0}, {0, 3}, false, kClipOutside, kClipOutside, {-3, 0}, {0, 3}},
        // Both ends beyond one edge: rejected before any line is computed.
        {"both above", {-5, 2}, {5, 1.5f}, false, kClipOutside, kClipOutside, {-5, 2}, {5, 1.5f}},
        {"both left", {-2, -5}, {-1.5f, 5}, false, kClipOutside, kClipOutside, {-2, -5}, {-1.5f, 5}},
        {"both right", {2, 0}, {2, 0}, false, kClipOutside, kClipOutside, {2, 0}, {2, 0}},
        {"both below", {0, -2}, {3, -1.01f}, false, kClipOutside, kClipOutside, {0, -2}, {3, -1.01f}},
    };
    for (const ClipCase& c : cases)
    {
        Point2 p0 = c.p0, p1 = c.p1;
        U32 code0 = 99, code1 = 99;
        EXPECT_EQ(ClipSegmentToUnitSquare(p0, p1, code0, code1), c.result) << c.name;
        EXPECT_EQ(code0, c.code0) << c.name;
        EXPECT_EQ(code1, c.code1) << c.name;
        EXPECT_FLOAT_EQ(p0.x, c.q0.x) << c.name;
        EXPECT_FLOAT_EQ(p0.y, c.q0.y) << c.name;
        EXPECT_FLOAT_EQ(p1.x, c.q1.x) << c.name;
        EXPECT_FLOAT_EQ(p1.y, c.q1.y) << c.name;
    }
}

TEST(SegmentClip, ClipPointTriesXEdgesFirst)
{
    // A point outside on both axes whose line crosses the left edge inside the square.
    Point2 p{-2, -1.5f};
    Point2 q{1, 0};
    F32 a = p.y - q.y, b = q.x - p.x, c = p.x * q.y - q.x * p.y;
    EXPECT_EQ(ClipPointToUnitSquare(p, a, b, c), static_cast<U32>(kClipLeft));
    EXPECT_FLOAT_EQ(p.x, -1);
    EXPECT_FLOAT_EQ(p.y, -1);
}

TEST(SegmentClip, ClippedSegmentsStayOnTheirLine)
{
    // Random segments: a clipped result lies in the square and on the original line; a
    // rejected segment has no sample point inside the square.
    std::mt19937 rng(5);
    std::uniform_real_distribution<F32> coord(-4, 4);
    for (int i = 0; i < 5000; ++i)
    {
        Point2 a{coord(rng), coord(rng)}, b{coord(rng), coord(rng)};
        Point2 p0 = a, p1 = b;
        U32 code0, code1;
        bool hit = ClipSegmentToUnitSquare(p0, p1, code0, code1);
        if (hit)
        {
            EXPECT_TRUE(Inside(p0) && Inside(p1)) << i;
            for (Point2 p : {p0, p1})
            {
                F32 cross = (b.x - a.x) * (p.y - a.y) - (b.y - a.y) * (p.x - a.x);
                EXPECT_NEAR(cross, 0.0f, 1e-3f) << i;
            }
        }
        else
        {
            for (int k = 0; k <= 200; ++k)
            {
                F32 t = k / 200.0f;
                Point2 p{a.x + (b.x - a.x) * t, a.y + (b.y - a.y) * t};
                // Allow for rounding right at the boundary.
                EXPECT_FALSE(p.x > -0.999f && p.x < 0.999f && p.y > -0.999f && p.y < 0.999f)
                    << i << " t " << t;
            }
        }
    }
}
