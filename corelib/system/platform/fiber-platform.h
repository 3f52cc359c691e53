// The platform half of the fiber start-up sequence in fiber.cpp.
#pragma once

#include "corelib/util/types.h"

namespace oxsys
{
// Makes the calling thread a fiber and returns that fiber's address (0 on failure).
U64 PlatformConvertThreadToFiber();
// Turns the calling thread's fiber back into a plain thread; false on failure.
bool PlatformConvertFiberToThread();
} // namespace oxsys
