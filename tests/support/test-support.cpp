#include "tests/support/test-support.h"

#include "corelib/util/msg-assert.h"

#include <cstdarg>
#include <cstdio>
#include <sys/stat.h>

namespace
{
void WriteAssertToStderr(const char* condition, const char* sourcePath, const char* functionName, const char*,
                         int line, const char* message)
{
    fprintf(stderr, "Assertion failed: %s\n  in %s (%s:%d)\n", condition, functionName, sourcePath, line);
    if (message)
        fprintf(stderr, "  %s\n", message);
    fflush(stderr);
}

const char* FormatAssertMessage(const char* format, ...)
{
    static thread_local char buffer[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    return buffer;
}
} // namespace

void InstallTestAssertHandler()
{
    SetAssertReportHandler(WriteAssertToStderr);
    SetAssertMessageFormatter(FormatAssertMessage);
}

std::string SharedDataDir()
{
    std::string dir = OX_SOURCE_DIR "/../shared";
    struct stat info;
    if (stat((dir + "/cpuid/dumps.txt").c_str(), &info) != 0)
        return std::string();
    return dir;
}
