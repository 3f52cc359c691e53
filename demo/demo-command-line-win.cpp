#include "demo/demo-command-line.h"

#include "corelib/util/msg.h"

#include <windows.h>

void PrintReceivedCommandLine(int argc, char** argv)
{
    PrintToMsgOutput(kMsgChannelInfo, "Command line : [%s]\n", GetCommandLineA());
    PrintToMsgOutput(kMsgChannelInfo, "Arguments    : %d\n", argc - 1);
    for (int index = 1; index < argc; ++index)
        PrintToMsgOutput(kMsgChannelInfo, "  %3d: [%s]\n", index, argv[index]);
}
