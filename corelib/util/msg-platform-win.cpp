#include "corelib/util/msg-platform.h"

#include <windows.h>

U32 MsgCurrentThreadId()
{
    return static_cast<U32>(GetCurrentThreadId());
}

void MsgDebugBreak()
{
    __asm__ volatile("int3");
}

void MsgWriteDebugString(const char16_t* text)
{
    static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 text is handed to the wide API as is");
    OutputDebugStringW(reinterpret_cast<const wchar_t*>(text));
}

namespace
{
bool WriteAll(DWORD standardHandle, const char* text, U64 length)
{
    HANDLE out = GetStdHandle(standardHandle);
    if (out == nullptr || out == INVALID_HANDLE_VALUE)
        return false;
    U64 done = 0;
    while (done < length)
    {
        DWORD chunk = static_cast<DWORD>(length - done > 0x10000000 ? 0x10000000 : length - done);
        DWORD written = 0;
        if (!WriteFile(out, text + done, chunk, &written, nullptr) || written == 0)
            return false;
        done += written;
    }
    return true;
}
} // namespace

bool MsgWriteStandardOutput(const char* text, U64 length)
{
    return WriteAll(STD_OUTPUT_HANDLE, text, length);
}

bool MsgWriteStandardError(const char* text, U64 length)
{
    return WriteAll(STD_ERROR_HANDLE, text, length);
}

bool MsgIsStandardOutputTerminal()
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (out == nullptr || out == INVALID_HANDLE_VALUE || !GetConsoleMode(out, &mode))
        return false;
    // Escapes are only understood with virtual-terminal processing on.
    return SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}
