// A stand-in for the game on Windows: records the raw command line it was started with
// (what a Windows program's own argument parsing starts from).
#include "tests/launcher/stand-in-game.h"

#include <cstdio>
#include <cstring>
#include <windows.h>

namespace
{
void WriteItem(FILE* pFile, const char* pKey, const char* pText)
{
    fprintf(pFile, "%s %u:", pKey, unsigned(strlen(pText)));
    fwrite(pText, 1, strlen(pText), pFile);
    fputc('\n', pFile);
}
} // namespace

int main()
{
    FILE* pFile = fopen(kStandInPartialFile, "wb");
    if (!pFile)
        return 1;
    char modulePath[MAX_PATH * 4] = {};
    GetModuleFileNameA(nullptr, modulePath, sizeof(modulePath) - 1);
    const char* pName = modulePath;
    for (const char* p = modulePath; *p; ++p)
    {
        if (*p == '\\' || *p == '/')
            pName = p + 1;
    }
    WriteItem(pFile, "exe", pName);
    WriteItem(pFile, "raw", GetCommandLineA());
    fclose(pFile);
    return MoveFileExA(kStandInPartialFile, kStandInOutputFile, MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
}
