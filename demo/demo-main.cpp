// The demo game: a small host of the library that the launcher starts as marrow*.exe.
// It attaches a console output to its message channels, prints the command line it
// received and the CPU report, then hosts the job system for a short frame loop
// (demo-jobs.h), and leaves a copy of everything in marrow-output.txt. When it is done
// it creates marrow-output.done, so a script that cannot wait for it (the launcher does
// not) knows the copy is complete. The exit code is 0 when everything checked out.
#include "corelib/system/cpu-info.h"
#include "corelib/util/console-reports.h"
#include "corelib/util/msg.h"
#include "demo/demo-command-line.h"
#include "demo/demo-jobs.h"
#include "demo/demo-options.h"
#include "demo/demo-output.h"

#include <cstdio>

namespace
{
constexpr const char* kOutputFile = "marrow-output.txt";
constexpr const char* kDoneFile = "marrow-output.done";
// Informational reports, the job system's pool report, error reports and the job
// system's per-worker reports.
constexpr int kDemoChannels[] = {kMsgChannelInfo, 2, kMsgChannelError, 33, 34};
} // namespace

int main(int argc, char** argv)
{
    int exitCode = 0;
    InitMsgOutputs();
    InstallConsoleReports(); // readable assertion reports; the channels below keep the demo's output
    {
        DoutConsoleAndFile output(kOutputFile);
        for (int channel : kDemoChannels)
            SetMsgOutput(channel, &output);
        PrintToMsgOutput(kMsgChannelInfo, "marrow demo\n");
        PrintReceivedCommandLine(argc, argv);
        PrintCpuInfo(g_cpuInfo);

        DemoOptions options;
        const char* pError = nullptr;
        if (ParseDemoOptions(argc, argv, &options, &pError))
        {
            exitCode = RunJobSystemDemo(options);
        }
        else
        {
            PrintErrorToMsgOutput(kMsgChannelInfo, "%s\n", pError);
            exitCode = 2;
        }
        // Detach before the output goes away.
        InitMsgOutputs();
    }
    if (FILE* pDone = fopen(kDoneFile, "wb"))
        fclose(pDone);
    return exitCode;
}
