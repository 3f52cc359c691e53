#include "corelib/util/color-escape.h"

#include <cstdio>
#include <cstring>

namespace
{
// Index fg + bg * 8; background 0 is the plain foreground table.
const char* const kColorEscapes[64] = {
    "\x1b[m",        "\x1b[0;31m",    "\x1b[0;32m",    "\x1b[0;33m",    "\x1b[0;34m",    "\x1b[0;35m",
    "\x1b[0;36m",    "\x1b[0;37m",    "\x1b[0;41m",    "\x1b[0;31;41m", "\x1b[0;32;41m", "\x1b[0;33;41m",
    "\x1b[0;34;41m", "\x1b[0;35;41m", "\x1b[0;36;41m", "\x1b[0;37;41m", "\x1b[0;42m",    "\x1b[0;31;42m",
    "\x1b[0;32;42m", "\x1b[0;33;42m", "\x1b[0;34;42m", "\x1b[0;35;42m", "\x1b[0;36;42m", "\x1b[0;37;42m",
    "\x1b[0;43m",    "\x1b[0;31;43m", "\x1b[0;32;43m", "\x1b[0;33;43m", "\x1b[0;34;43m", "\x1b[0;35;43m",
    "\x1b[0;36;43m", "\x1b[0;37;43m", "\x1b[0;44m",    "\x1b[0;31;44m", "\x1b[0;32;44m", "\x1b[0;33;44m",
    "\x1b[0;34;44m", "\x1b[0;35;44m", "\x1b[0;36;44m", "\x1b[0;37;44m", "\x1b[0;45m",    "\x1b[0;31;45m",
    "\x1b[0;32;45m", "\x1b[0;33;45m", "\x1b[0;34;45m", "\x1b[0;35;45m", "\x1b[0;36;45m", "\x1b[0;37;45m",
    "\x1b[0;46m",    "\x1b[0;31;46m", "\x1b[0;32;46m", "\x1b[0;33;46m", "\x1b[0;34;46m", "\x1b[0;35;46m",
    "\x1b[0;36;46m", "\x1b[0;37;46m", "\x1b[0;47m",    "\x1b[0;31;47m", "\x1b[0;32;47m", "\x1b[0;33;47m",
    "\x1b[0;34;47m", "\x1b[0;35;47m", "\x1b[0;36;47m", "\x1b[0;37;47m",
};

unsigned ToByte(float value)
{
    if (!(value > 0.0f))
        return 0;
    if (value > 1.0f)
        value = 1.0f;
    return static_cast<unsigned>(value * 255.0f);
}
} // namespace

const char* GetColorEscape(int fg, int bg)
{
    if (fg < 0 || bg < 0 || fg >= 8 || bg >= 8)
        return kColorEscapes[0];
    return kColorEscapes[fg + bg * 8];
}

const char* GetFgColorEscape(int fg)
{
    return GetColorEscape(fg, 0);
}

bool IsColorEscape(const char* text)
{
    if (!text)
        return false;
    for (const char* escape : kColorEscapes)
    {
        if (strcmp(escape, text) == 0)
            return true;
    }
    return false;
}

void FormatColorEscape(const float rgb[3], char* out)
{
    snprintf(out, kColorEscapeBufferSize, "\x1b[x%02X%02X%02Xm", ToByte(rgb[0]), ToByte(rgb[1]),
             ToByte(rgb[2]));
}
