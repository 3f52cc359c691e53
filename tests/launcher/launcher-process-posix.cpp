#include "tests/launcher/launcher-process.h"

#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <signal.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

bool ChildSeesRawCommandLine()
{
    return false;
}

LauncherRun RunLauncherIn(const std::string& launcherPath, const std::string& directory,
                          const std::vector<std::string>& args)
{
    LauncherRun run;
    const std::string outputPath =
        directory + "/../" + "launcher-output-" + std::to_string(getpid()) + ".txt";
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(launcherPath.c_str()));
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    pid_t pid = fork();
    if (pid == 0)
    {
        int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || chdir(directory.c_str()) != 0)
            _exit(126);
        dup2(out, 1);
        dup2(out, 2);
        close(out);
        execv(launcherPath.c_str(), argv.data());
        _exit(127);
    }
    if (pid < 0)
        return run;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0)
    {
        if (std::chrono::steady_clock::now() > deadline)
        {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return run;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    run.m_exited = WIFEXITED(status);
    run.m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream in(outputPath, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    run.m_output = text.str();
    unlink(outputPath.c_str());
    return run;
}
