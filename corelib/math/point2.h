// A point in the plane: two 32-bit floats, x then y.
#pragma once

#include "corelib/util/types.h"

struct Point2
{
    F32 x;
    F32 y;
};
