// The launcher: detects the processor, chooses the full or the "-l" build of the game,
// starts it with the forwarded arguments in a console of its own and exits with 0
// without waiting. It attaches no message output, so the missing-features report is
// only visible where a host has attached one to channel 1.
#include "launcher/launcher-decision.h"
#include "launcher/launcher-start.h"

int main(int argc, char** argv)
{
    CpuInfo cpu = {};
    DetectCpuInfo(cpu);
    LaunchPlan plan;
    PlanLaunch(cpu, argc, argv, plan);
    PrintMissingCpuFeatures(plan);
    // A failed start is deliberately not reported: the exit code is 0 either way.
    (void)StartGameProcess(plan);
    return 0;
}
