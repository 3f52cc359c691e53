#include "corelib/timeline/timeline-file.h"

bool WriteWholeFile(const char* pPath, const std::function<bool(FILE*)>& write)
{
    FILE* pFile = fopen(pPath, "wb");
    if (!pFile)
        return false;
    const bool written = write(pFile);
    const bool closed = fclose(pFile) == 0;
    return written && closed;
}
