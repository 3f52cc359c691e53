// A stand-in for the game on POSIX: records the arguments it was started with.
#include "tests/launcher/stand-in-game.h"

#include <cstdio>
#include <cstring>

namespace
{
void WriteItem(FILE* pFile, const char* pKey, const char* pText)
{
    fprintf(pFile, "%s %zu:", pKey, strlen(pText));
    fwrite(pText, 1, strlen(pText), pFile);
    fputc('\n', pFile);
}
} // namespace

int main(int argc, char** argv)
{
    FILE* pFile = fopen(kStandInPartialFile, "wb");
    if (!pFile)
        return 1;
    const char* pName = strrchr(argv[0], '/');
    WriteItem(pFile, "exe", pName ? pName + 1 : argv[0]);
    for (int index = 1; index < argc; ++index)
        WriteItem(pFile, "arg", argv[index]);
    fclose(pFile);
    return rename(kStandInPartialFile, kStandInOutputFile) == 0 ? 0 : 1;
}
