// The demo game's own switches among the arguments it receives. Every other argument is
// only echoed (the launcher forwards whatever it was given).
//   -jobtrace <file>   write the job trace of the frames as trace-event JSON to <file>
//                      (relative to the current directory), for Perfetto or speedscope, and
//                      the timeline page beside it (<file> with .html for .json)
#pragma once

struct DemoOptions
{
    const char* m_pJobTracePath = nullptr; // null: no trace file
};

// Reads the switches from argv[1..argc-1]. Returns false, with a message for the user in
// pError (a constant text), when a switch is incomplete.
bool ParseDemoOptions(int argc, char** argv, DemoOptions* pOptions, const char** pError);
