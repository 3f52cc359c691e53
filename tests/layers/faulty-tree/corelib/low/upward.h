// In the low layer, reaching up: the fault the check must report.
#pragma once

#include "corelib/high/top.h"
