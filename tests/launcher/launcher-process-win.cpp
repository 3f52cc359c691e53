#include "tests/launcher/launcher-process.h"

#include <fstream>
#include <sstream>
#include <windows.h>

bool ChildSeesRawCommandLine()
{
    return true;
}

namespace
{
// Quotes one argument so that the C runtime's parser gives it back unchanged: quotes
// are escaped, and backslashes are doubled where they precede a quote.
std::string QuoteArgument(const std::string& arg)
{
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (char c : arg)
    {
        if (c == '\\')
        {
            ++backslashes;
            continue;
        }
        if (c == '"')
            quoted.append(backslashes * 2 + 1, '\\');
        else
            quoted.append(backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, '\\');
    return quoted + "\"";
}
} // namespace

LauncherRun RunLauncherIn(const std::string& launcherPath, const std::string& directory,
                          const std::vector<std::string>& args)
{
    LauncherRun run;
    std::string commandLine = QuoteArgument(launcherPath);
    for (const std::string& arg : args)
        commandLine += " " + QuoteArgument(arg);

    const std::string outputPath =
        directory + "\\..\\launcher-output-" + std::to_string(GetCurrentProcessId()) + ".txt";
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE output = CreateFileA(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (output == INVALID_HANDLE_VALUE)
        return run;
    STARTUPINFOA startupInfo = {};
    startupInfo.cb = sizeof(startupInfo);
    startupInfo.dwFlags = STARTF_USESTDHANDLES;
    startupInfo.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startupInfo.hStdOutput = output;
    startupInfo.hStdError = output;
    PROCESS_INFORMATION processInfo = {};
    std::vector<char> writable(commandLine.begin(), commandLine.end());
    writable.push_back('\0');
    const BOOL created = CreateProcessA(launcherPath.c_str(), writable.data(), nullptr, nullptr, TRUE, 0,
                                        nullptr, directory.c_str(), &startupInfo, &processInfo);
    CloseHandle(output);
    if (!created)
        return run;
    CloseHandle(processInfo.hThread);
    if (WaitForSingleObject(processInfo.hProcess, 20000) == WAIT_OBJECT_0)
    {
        DWORD exitCode = 0;
        GetExitCodeProcess(processInfo.hProcess, &exitCode);
        run.m_exited = true;
        run.m_exitCode = int(exitCode);
    }
    else
    {
        TerminateProcess(processInfo.hProcess, 1);
    }
    CloseHandle(processInfo.hProcess);
    std::ifstream in(outputPath, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    run.m_output = text.str();
    in.close();
    DeleteFileA(outputPath.c_str());
    return run;
}
