// The demo game hosts the job system: it sizes it to the machine (one regular worker per
// logical processor, two emergency workers), sets up its memory through the memory map,
// runs the frame loop on jobs and prints a table of the frames and the summary of its job
// trace, checks the simulation against its serial reference, optionally exports the job
// trace as trace-event JSON and as a timeline page, and ends with the job system's pool
// use and the newest trace records.
#pragma once

#include "demo/demo-options.h"

// Runs the job-system part of the demo on the calling thread, after message outputs are
// installed on channels 1 and 2. Returns the process exit code: 0 when the simulation
// matched its reference, every pool block came back and the trace (when asked for) was
// written; 1 otherwise.
int RunJobSystemDemo(const DemoOptions& options);
