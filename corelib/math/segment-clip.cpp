#include "corelib/math/segment-clip.h"

U32 ClipPointToUnitSquare(Point2& p, F32 a, F32 b, F32 c)
{
    if (p.x >= -1.0f && p.x <= 1.0f && p.y >= -1.0f && p.y <= 1.0f)
        return kClipInside;
    // Each test compares the line's sign at the two corners of an edge: a product <= 0
    // means the line crosses that edge within the square. A divisor is never 0 here: a
    // point lies beyond an x edge only when the other end does not, so the segment is
    // not vertical (likewise for the y edges).
    if (p.x < -1.0f)
    {
        if ((c - b - a) * (b - a + c) <= 0.0f)
        {
            p.y = (a - c) / b;
            p.x = -1.0f;
            return kClipLeft;
        }
    }
    else if (p.x > 1.0f)
    {
        if ((a - b + c) * (a + b + c) <= 0.0f)
        {
            p.y = (-c - a) / b;
            p.x = 1.0f;
            return kClipRight;
        }
    }
    if (p.y < -1.0f)
    {
        if ((c - a - b) * (a - b + c) <= 0.0f)
        {
            p.x = (b - c) / a;
            p.y = -1.0f;
            return kClipBottom;
        }
    }
    else if (p.y > 1.0f)
    {
        if ((b - a + c) * (a + b + c) <= 0.0f)
        {
            p.x = (-b - c) / a;
            p.y = 1.0f;
            return kClipTop;
        }
    }
    return kClipOutside;
}

bool ClipSegmentToUnitSquare(Point2& p0, Point2& p1, U32& code0, U32& code1)
{
    code0 = kClipOutside;
    code1 = kClipOutside;
    // Both ends beyond the same edge: nothing to clip, and no line to compute.
    if ((p0.x < -1.0f && p1.x < -1.0f) || (p0.x > 1.0f && p1.x > 1.0f) || (p0.y < -1.0f && p1.y < -1.0f) ||
        (p0.y > 1.0f && p1.y > 1.0f))
        return false;
    F32 a = p0.y - p1.y;
    F32 b = p1.x - p0.x;
    F32 c = p0.x * p1.y - p1.x * p0.y;
    code0 = ClipPointToUnitSquare(p0, a, b, c);
    if (code0 == kClipOutside)
        return false;
    code1 = ClipPointToUnitSquare(p1, a, b, c);
    return code1 != kClipOutside;
}
