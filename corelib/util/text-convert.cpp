#include "corelib/util/text-convert.h"

#include "corelib/util/msg-assert.h"

#include <cstdio>

namespace
{
constexpr U32 kFourByteStandIn = 64;

const char16_t kWhitespace[20] = {
    0x0009, 0x000A, 0x000B, 0x000C, 0x000D, 0x0020, 0x0085, 0x00A0, 0x1680, 0x2000,
    0x2001, 0x2002, 0x2003, 0x2004, 0x2005, 0x2006, 0x2007, 0x2008, 0x2009, 0x200A,
};

// Byte i of a sequence, or 0 when the text ends first (so later bytes are never read).
U32 ContinuationBits(const unsigned char* p, int count, bool& truncated)
{
    U32 bits = 0;
    for (int i = 1; i <= count; ++i)
    {
        if (p[i] == 0)
        {
            truncated = true;
            return 0;
        }
        bits = (bits << 6) | (p[i] & 0x3Fu);
    }
    return bits;
}

template <typename Char>
U32 Length(const Char* text)
{
    U32 n = 0;
    while (text[n])
        ++n;
    return n;
}

// Writes "\uXXXX" or the character itself; false when the buffer has no room left.
bool EscapeOne(char* buffer, U32 bufferBytes, U32& used, U32 c)
{
    if (used + 1 >= bufferBytes)
        return false;
    if (c >= 32 && c <= 126)
    {
        buffer[used++] = static_cast<char>(c);
        return true;
    }
    if (bufferBytes - used >= 7)
    {
        snprintf(buffer + used, 7, "\\u%04X", c & 0xFFFF);
        used += 6;
    }
    return true;
}
} // namespace

U32 Utf8DecodeChar(const char*& text)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    U32 lead = p[0];
    if (lead == 0)
        return 0;
    bool truncated = false;
    U32 c;
    int length;
    if (lead < 0x80)
    {
        c = lead;
        length = 1;
    }
    else if (lead >= 0xF0 && lead <= 0xF7)
    {
        ContinuationBits(p, 3, truncated);
        c = kFourByteStandIn;
        length = 4;
    }
    else if (lead >= 0xE0)
    {
        c = ((lead & 0x0Fu) << 12) | ContinuationBits(p, 2, truncated);
        length = 3;
    }
    else if (lead >= 0xC0)
    {
        c = ((lead & 0x1Fu) << 6) | ContinuationBits(p, 1, truncated);
        length = 2;
    }
    else
    {
        // A stray continuation byte stands for itself.
        c = lead;
        length = 1;
    }
    if (truncated)
    {
        // Leave text on the terminator: the cut sequence ends the text.
        while (*text)
            ++text;
        return 0;
    }
    text += length;
    return c;
}

U32 Utf8CountChars(const char* text)
{
    U32 count = 0;
    while (Utf8DecodeChar(text) != 0)
        ++count;
    return count;
}

U32 Utf8ToUtf16(char16_t* buffer, U32 bufferBytes, const char* text, bool append, U32 maxChars)
{
    U32 capacity = bufferBytes / sizeof(char16_t);
    if (capacity == 0)
        return 0;
    U32 used = append ? Length(buffer) : 0;
    OX_ASSERT(used < capacity);
    for (U32 converted = 0; converted < maxChars && used + 1 < capacity; ++converted)
    {
        U32 c = Utf8DecodeChar(text);
        if (c == 0)
            break;
        buffer[used++] = static_cast<char16_t>(c);
    }
    buffer[used] = 0;
    return used;
}

U32 Utf16ToUtf8(char* buffer, U32 bufferBytes, const char16_t* text)
{
    if (bufferBytes == 0)
        return 0;
    U32 used = 0;
    for (; *text; ++text)
    {
        U32 c = *text;
        if (c >= 0xD800 && c < 0xDC00 && text[1] >= 0xDC00 && text[1] < 0xE000)
        {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[1] - 0xDC00);
            ++text;
        }
        U32 length = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
        if (used + length + 1 > bufferBytes)
            break;
        unsigned char* out = reinterpret_cast<unsigned char*>(buffer + used);
        switch (length)
        {
        case 1:
            out[0] = static_cast<unsigned char>(c);
            break;
        case 2:
            out[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
            out[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            break;
        case 3:
            out[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
            out[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            out[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            break;
        default:
            out[0] = static_cast<unsigned char>(0xF0 | (c >> 18));
            out[1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
            out[2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            out[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            break;
        }
        used += length;
    }
    buffer[used] = '\0';
    return used;
}

U32 EscapeCopyUtf8(char* buffer, U32 bufferBytes, const char* text)
{
    if (bufferBytes == 0)
        return 0;
    U32 used = 0;
    for (U32 c = Utf8DecodeChar(text); c != 0; c = Utf8DecodeChar(text))
    {
        if (!EscapeOne(buffer, bufferBytes, used, c))
            break;
    }
    buffer[used] = '\0';
    return used;
}

U32 EscapeCopyUtf16(char* buffer, U32 bufferBytes, const char16_t* text)
{
    if (bufferBytes == 0)
        return 0;
    U32 used = 0;
    for (; *text; ++text)
    {
        if (!EscapeOne(buffer, bufferBytes, used, *text))
            break;
    }
    buffer[used] = '\0';
    return used;
}

bool IsTrimmableWhitespace(U32 c)
{
    for (char16_t space : kWhitespace)
    {
        if (c == space)
            return true;
    }
    return false;
}

U32 TrimCopyUtf16(char16_t* buffer, U32 bufferUnits, const char16_t* text, U32 flags)
{
    if (bufferUnits == 0)
        return 0;
    U32 begin = 0;
    U32 end = Length(text);
    if (flags & kTrimStart)
    {
        while (begin < end && IsTrimmableWhitespace(text[begin]))
            ++begin;
    }
    if (flags & kTrimEnd)
    {
        while (end > begin && IsTrimmableWhitespace(text[end - 1]))
            --end;
    }
    U32 count = end - begin;
    if (count > bufferUnits - 1)
        count = bufferUnits - 1;
    for (U32 i = 0; i < count; ++i)
        buffer[i] = text[begin + i];
    buffer[count] = 0;
    return count;
}
