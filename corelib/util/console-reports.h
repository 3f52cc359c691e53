// Reports a person can read, installed with one call. Without them a failed assertion
// ends the process at a breakpoint and prints nothing, and every message channel is
// silent; a host that wants to see what went wrong calls InstallConsoleReports first
// thing in main.
#pragma once

// Installs the console assertion report (InstallConsoleAssertReport) and a console
// output (DoutConsole, standard output) on each of the channels the library reports on
// (kConsoleReportChannels) that has no output of its own: channels already given an
// output, before or after the call, keep it. Call it at start-up, before other threads
// run: the hooks and channels are plain process-wide pointers. Calling it again changes
// nothing.
void InstallConsoleReports();

// Installs only the assertion report: a handler that writes
//     Assertion failed: <condition>
//       in <function> (<file>:<line>)
//       <message>
// to standard error before the breakpoint ends the process (the last line only when the
// assertion carries a message), and a printf-style message formatter for it that formats
// into a buffer of the calling thread, so concurrent reports do not share one.
void InstallConsoleAssertReport();

// The channels InstallConsoleReports gives a console output: the default active channel
// (0, where the job system's deadlock report names the waiting jobs and host threads),
// informational reports (1), the job system's pool report (2), error reports (8),
// allocation-tracker reports (17), the free log of Memory::SetFreeLogContext (23) and the
// job system's per-worker reports (33, 34).
inline constexpr int kConsoleReportChannels[] = {0, 1, 2, 8, 17, 23, 33, 34};
