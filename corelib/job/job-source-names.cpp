#include "corelib/job/job-source-names.h"

#include <cstdio>
#include <cstring>

namespace oxjob
{
void ShortJobSourceFile(const char* path, char* out, U64 outSize)
{
    if (!path)
    {
        snprintf(out, outSize, "<null>");
        return;
    }
    const char* pStart = path;
    if (const char* pSrc = strstr(path, "src"); pSrc && strlen(pSrc) > 4)
        pStart = pSrc + 4;
    snprintf(out, outSize, "%s", pStart);
    for (char* p = out; *p; ++p)
        if (*p == '\\')
            *p = '/';
}

void ShortJobSourceFunction(const char* signature, char* out, U64 outSize)
{
    if (!signature)
    {
        snprintf(out, outSize, "<null>");
        return;
    }
    const char* pParen = strchr(signature, '(');
    if (!pParen)
    {
        snprintf(out, outSize, "%s", signature);
        return;
    }
    const char* pStart = pParen;
    while (pStart > signature && pStart[-1] != ' ')
        --pStart;
    snprintf(out, outSize, "%.*s", static_cast<int>(pParen - pStart), pStart);
}
} // namespace oxjob
