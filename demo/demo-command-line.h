// The command line the demo game was started with, as this platform hands it over.
#pragma once

// Prints the received command line on message channel 1: the raw text on Windows, the
// argument vector on POSIX (one quoted entry each, since there is no raw text there).
void PrintReceivedCommandLine(int argc, char** argv);
