// Source paths in one-line reports.
#pragma once

// The file name without its directories ("UNKNOWN" for a null path).
inline const char* SourceFileName(const char* path)
{
    if (!path)
        return "UNKNOWN";
    const char* name = path;
    for (const char* c = path; *c; ++c)
    {
        if (*c == '/' || *c == '\\')
            name = c + 1;
    }
    return name;
}
