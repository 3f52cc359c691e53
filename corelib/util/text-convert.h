// UTF-8 / UTF-16 conversions used by the printers. The UTF-8 decoder reads sequences
// of one, two and three bytes; a four-byte lead byte (0xF0 to 0xF7) decodes as the
// character 64 ('@') and skips its sequence. A sequence cut short by the terminator
// ends the text there: decoding never reads past the terminating zero.
#pragma once

#include "corelib/util/types.h"

constexpr U32 kUtf8NoCharLimit = 0xFFFFFFFFu;
constexpr U32 kTrimStart = 1;
constexpr U32 kTrimEnd = 2;

// Decodes the character at text and advances text past it; returns 0 at the terminator.
U32 Utf8DecodeChar(const char*& text);
// Number of characters of a zero-terminated UTF-8 text.
U32 Utf8CountChars(const char* text);
// Converts UTF-8 to zero-terminated UTF-16 in a buffer of bufferBytes bytes. With append
// the text goes after what the buffer already holds. At most maxChars characters are
// converted. Returns the number of UTF-16 units in the buffer, terminator excluded.
U32 Utf8ToUtf16(char16_t* buffer, U32 bufferBytes, const char* text, bool append = false,
                U32 maxChars = kUtf8NoCharLimit);
// Converts zero-terminated UTF-16 (surrogate pairs included) to UTF-8 in a buffer of
// bufferBytes bytes; a character that does not fit whole ends the copy. Returns the bytes written.
U32 Utf16ToUtf8(char* buffer, U32 bufferBytes, const char16_t* text);
// Copies text, writing each character outside 32 to 126 as "\uXXXX" when six bytes of
// room remain (else dropping it); stops one byte before the end and terminates. Returns the bytes written.
U32 EscapeCopyUtf8(char* buffer, U32 bufferBytes, const char* text);
U32 EscapeCopyUtf16(char* buffer, U32 bufferBytes, const char16_t* text);
// Copies UTF-16 text without the whitespace at its start (kTrimStart) and/or end
// (kTrimEnd) into a buffer of bufferUnits units. Returns the units written.
U32 TrimCopyUtf16(char16_t* buffer, U32 bufferUnits, const char16_t* text, U32 flags);
// True for the 20 whitespace characters the trimming copy removes.
bool IsTrimmableWhitespace(U32 c);
