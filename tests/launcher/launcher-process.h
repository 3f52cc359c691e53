// Runs the launcher binary for end-to-end tests, once per platform
// (launcher-process-posix.cpp, launcher-process-win.cpp).
#pragma once

#include <string>
#include <vector>

struct LauncherRun
{
    bool m_exited = false; // ended within the time limit
    int m_exitCode = -1;
    std::string m_output; // everything it wrote to standard output and error
};

// Starts the launcher with the given arguments and current directory, waits (bounded)
// for it to exit and collects its exit code and output.
LauncherRun RunLauncherIn(const std::string& launcherPath, const std::string& directory,
                          const std::vector<std::string>& args);

// True when started programs receive the raw command line (Windows) rather than an
// argument vector (POSIX).
bool ChildSeesRawCommandLine();
