// ANSI colour escapes used by message outputs. Colour 1 marks errors, 3 warnings, 0 resets.
#pragma once

#include "corelib/util/types.h"

// Room for the longest escape, ESC "[xRRGGBBm" and its terminator.
constexpr U32 kColorEscapeBufferSize = 16;

// Entry fg + bg x 8 of the combined table; ESC "[m" when either index is 8 or more.
const char* GetColorEscape(int fg, int bg);
// Entry of the foreground table; ESC "[m" for 8 or more.
const char* GetFgColorEscape(int fg);
// True when the text equals one of the 64 combined-table entries.
bool IsColorEscape(const char* text);
// Writes ESC "[x%02X%02X%02Xm" from red, green, blue clamped to 0..1 (times 255, truncated).
void FormatColorEscape(const float rgb[3], char* out);
