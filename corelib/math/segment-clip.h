// Clipping of 2D line segments to the square from -1 to 1 on both axes (the visible
// range of normalised device coordinates). Stateless; safe from any thread.
#pragma once

#include "corelib/math/point2.h"
#include "corelib/util/types.h"

// Clip codes of one end point.
enum ClipCode : U32
{
    kClipOutside = 0, // the segment does not reach the square from this end
    kClipInside = 1,  // the point lies inside (edges included) and is unchanged
    kClipLeft = 2,    // moved onto x = -1
    kClipRight = 4,   // moved onto x = +1
    kClipBottom = 8,  // moved onto y = -1
    kClipTop = 16,    // moved onto y = +1
};

// True when some part of the segment p0-p1 lies in the square; both end points are then
// moved onto its boundary where they lay outside, and code0 / code1 tell how.
bool ClipSegmentToUnitSquare(Point2& p0, Point2& p1, U32& code0, U32& code1);

// Moves one end point of the line a*x + b*y + c = 0 onto the square's boundary, trying
// the x edges before the y edges; returns its clip code.
U32 ClipPointToUnitSquare(Point2& p, F32 a, F32 b, F32 c);
