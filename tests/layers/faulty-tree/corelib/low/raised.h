// In the low folder but placed in the high layer by a pattern: may include high files.
#pragma once

#include "corelib/high/top.h"
