// Writes the job trace as a timeline page: one self-contained HTML file (inline SVG,
// style and script; nothing fetched) that any browser opens by double-click. A lane per
// worker (emergency workers' lanes marked), the frames as bands above them and across
// the lanes, each stretch a job ran as a bar coloured by the job's name, each wait as an
// arrow from the job's suspension to its resumption, a time axis in ms, a legend that is
// also the table of the job names' figures, the workers' busy shares and the sentence on
// the time-critical job. The page opens showing the whole trace; clicking a frame (or
// choosing it in the frame selector) zooms to it, the wheel zooms, dragging pans.
//
// The SVG in the file already shows the whole trace; the script only lays it out again
// for another view, from the begin and end times each element carries (data-b, data-e,
// in microseconds).
#pragma once

#include "corelib/timeline/trace-model.h"
#include "corelib/timeline/trace-summary.h"

#include <cstdio>
#include <string>

// The page's path beside a trace file: its ".json" replaced by ".html", or ".html" added.
std::string TimelinePagePath(const char* pTracePath);

// Writes the page. Returns false when writing failed.
bool WriteTimelinePage(FILE* pFile, const TraceModel& model, const TraceSummary& summary);
// Writes it to the file at pPath. Returns false when it could not be written.
bool WriteTimelinePageFile(const char* pPath, const TraceModel& model, const TraceSummary& summary);
