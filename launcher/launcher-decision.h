// The launcher's decision, apart from starting anything: which required processor
// features are missing, which executable to start and the command-line text that
// forwards the user's arguments. A plain function of the CPU record and the arguments,
// so it can be checked against recorded processors and fuzzed.
#pragma once

#include "corelib/system/cpu-info.h"
#include "corelib/util/types.h"

constexpr U32 kLaunchCommandLineSize = 8192;
constexpr U32 kLaunchPathSize = 260;
constexpr U32 kNumRequiredCpuFeatures = 10;
// Every forwarded argument takes at least three characters (blank and two quotes).
constexpr U32 kMaxForwardedArgs = (kLaunchCommandLineSize - 1) / 3 + 1;

// The features the full build of the game needs, in the order they are reported.
extern const U64 kRequiredCpuFeatures[kNumRequiredCpuFeatures];

// The result of PlanLaunch.
struct LaunchPlan
{
    // The forwarded arguments, each as " \"<text>\"", at most 8191 characters, terminated.
    alignas(16) char m_commandLine[kLaunchCommandLineSize];
    // "./marrow<configuration><suffix>.exe", at most 259 characters, terminated.
    char m_path[kLaunchPathSize];
    // Ids of the required features this processor lacks, in report order.
    U64 m_missingFeatures[kNumRequiredCpuFeatures];
    U32 m_numMissingFeatures;
    U32 m_commandLineLength;
    // Where each forwarded argument starts in the command line (at its blank).
    U32 m_numForwardedArgs;
    U16 m_forwardedArgOffsets[kMaxForwardedArgs];
    // The last forwarded argument was cut at the end of the buffer.
    bool m_lastArgCut;
};

// Decides the launch for a processor and the launcher's argument vector (index 0, the
// launcher's own name, is never forwarded). argv entries must not be null.
void PlanLaunch(const CpuInfo& cpu, int argc, const char* const* argv, LaunchPlan& plan);

// Prints "Missing CPU features: " and the missing names joined by ", " on message
// channel 1 (left as the thread's active channel); prints nothing when none is missing.
void PrintMissingCpuFeatures(const LaunchPlan& plan);

// Splits the command-line text back into the arguments it holds, as a program started
// with separate argument strings receives them: the text between the quotes of each
// argument, unchanged; an argument cut at the buffer's end is passed cut (an empty one
// when only its opening quote fit, none when only its blank did). The strings are
// copied into scratch (kLaunchCommandLineSize bytes); returns how many were stored in
// ppArgs (room for kMaxForwardedArgs).
U32 SplitForwardedArgs(const LaunchPlan& plan, char* pScratch, const char** ppArgs);
