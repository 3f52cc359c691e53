// High layer, including a lower one: allowed.
#pragma once

#include "corelib/low/base.h"
