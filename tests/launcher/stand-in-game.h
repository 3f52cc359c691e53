// The file a stand-in game writes into its current directory, so that end-to-end tests
// of the launcher can see what the started program received. Format, one item a line:
//   exe <length>:<file name of the running executable>
//   raw <length>:<the raw command line>          (Windows: GetCommandLineA)
//   arg <length>:<argument text>                 (POSIX: one per argv entry after the name)
// Lengths make blanks, quotes and line ends inside the texts unambiguous. The file is
// written under a temporary name and renamed, so a reader never sees half of it.
#pragma once

constexpr const char* kStandInOutputFile = "stand-in-output.txt";
constexpr const char* kStandInPartialFile = "stand-in-output.tmp";
