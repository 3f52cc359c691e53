// Win32: system messages come from FormatMessageA.
#include "corelib/util/error.h"

#include <windows.h>

bool GetSystemErrorMessage(U32 nativeError, char* buffer, U32 bufferSize)
{
    // From the system's table, inserts left as they are, in US English.
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                        nativeError, 1033, buffer, bufferSize, nullptr);
    return length != 0;
}
