#include "tests/support/test-support.h"

#include "corelib/util/console-reports.h"

#include <sys/stat.h>

void InstallTestAssertHandler()
{
    InstallConsoleAssertReport();
}

std::string SharedDataDir()
{
    std::string dir = OX_SOURCE_DIR "/../shared";
    struct stat info;
    if (stat((dir + "/cpuid/dumps.txt").c_str(), &info) != 0)
        return std::string();
    return dir;
}
