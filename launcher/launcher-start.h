// Starting the chosen game executable, once per platform (launcher-start-posix.cpp,
// launcher-start-win.cpp).
#pragma once

#include "launcher/launcher-decision.h"

// Starts the plan's executable from the current directory (no search path) with the
// plan's arguments, in a console and session of its own, and does not wait for it.
// Returns whether the process was created; a failure is not reported anywhere.
bool StartGameProcess(LaunchPlan& plan);
