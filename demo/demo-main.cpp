// The demo game: a small host of the library that the launcher starts as marrow*.exe.
// It attaches a console output to channel 1, prints the command line it received and
// the CPU report, and leaves a copy of everything in marrow-output.txt. When it is
// done it creates marrow-output.done, so a script that cannot wait for it (the
// launcher does not) knows the copy is complete.
#include "corelib/system/cpu-info.h"
#include "corelib/util/msg.h"
#include "demo/demo-command-line.h"
#include "demo/demo-output.h"

#include <cstdio>

namespace
{
constexpr const char* kOutputFile = "marrow-output.txt";
constexpr const char* kDoneFile = "marrow-output.done";
} // namespace

int main(int argc, char** argv)
{
    InitMsgOutputs();
    {
        DoutConsoleAndFile output(kOutputFile);
        SetMsgOutput(kMsgChannelInfo, &output);
        PrintToMsgOutput(kMsgChannelInfo, "marrow demo\n");
        PrintReceivedCommandLine(argc, argv);
        PrintCpuInfo(g_cpuInfo);
        // Detach before the output goes away.
        InitMsgOutputs();
    }
    if (FILE* pDone = fopen(kDoneFile, "wb"))
        fclose(pDone);
    return 0;
}
