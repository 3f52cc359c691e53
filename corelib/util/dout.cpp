#include "corelib/util/dout.h"

#include "corelib/util/color-escape.h"
#include "corelib/util/static-init-order.h"

#include <cstdio>
#include <cstring>

namespace
{
DoutNull s_nullOutput OX_INIT_PRIORITY(kInitRankNullMsgOutput);
} // namespace

DoutNull* GetNullMsgOutput()
{
    return &s_nullOutput;
}

void DoutBase::Printf(const char* fmt, ...)
{
    char buffer[kFormatBufferSize];
    va_list args;
    va_start(args, fmt);
    vsnprintf(buffer, sizeof(buffer), fmt, args);
    va_end(args);
    buffer[sizeof(buffer) - 1] = '\0';
    Print(buffer);
}

void DoutBase::VPrintf(const char* fmt, va_list args, const char* prefix)
{
    char buffer[kFormatBufferSize];
    size_t used = 0;
    if (prefix && prefix[0])
    {
        int written = snprintf(buffer, sizeof(buffer), "%s", prefix);
        used = written < 0 ? 0 : static_cast<size_t>(written);
        if (used > sizeof(buffer) - 1)
            used = sizeof(buffer) - 1;
    }
    va_list copy;
    va_copy(copy, args);
    vsnprintf(buffer + used, sizeof(buffer) - used, fmt, copy);
    va_end(copy);
    buffer[sizeof(buffer) - 1] = '\0';
    Print(buffer);
}

void DoutBase::SetTextColor(int color)
{
    Print(GetFgColorEscape(color));
}

void DoutBase::SetTextColor(const float rgba[4])
{
    char escape[kColorEscapeBufferSize];
    FormatColorEscape(rgba, escape);
    Print(escape);
}
