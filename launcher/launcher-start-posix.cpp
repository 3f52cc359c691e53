// POSIX stand-in for CreateProcessA with CREATE_NEW_CONSOLE: posix_spawn of the relative
// path (posix_spawn, unlike posix_spawnp, never searches PATH) in a session of its own,
// with the forwarded arguments as separate argv entries. There is no command-line
// parser on the other side, so the child receives exactly the texts the command line
// holds between the quotes.
#include "launcher/launcher-start.h"

#include <spawn.h>
#include <sys/types.h>

extern char** environ;

bool StartGameProcess(LaunchPlan& plan)
{
    char scratch[kLaunchCommandLineSize];
    // argv[0], the arguments and the closing null.
    const char* pArgv[kMaxForwardedArgs + 2];
    pArgv[0] = plan.m_path;
    const U32 numArgs = SplitForwardedArgs(plan, scratch, pArgv + 1);
    pArgv[numArgs + 1] = nullptr;

    posix_spawnattr_t attributes;
    if (posix_spawnattr_init(&attributes) != 0)
        return false;
    // A new session stands in for the new console: the game does not share the
    // launcher's terminal signals or process group.
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    pid_t pid = 0;
    const int result =
        posix_spawn(&pid, plan.m_path, nullptr, &attributes, const_cast<char* const*>(pArgv), environ);
    posix_spawnattr_destroy(&attributes);
    // Nothing to close: the launcher exits at once and the game is handed to init.
    return result == 0;
}
