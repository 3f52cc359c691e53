// POSIX: there is no system message table, so the common Win32 errors and HRESULTs carry
// their messages here, worded as Windows words them.
#include "corelib/util/error.h"

#include <cstdio>

namespace
{
struct SystemMessage
{
    U32 m_code;
    const char* m_text;
};

// Win32 error codes (also reached through HRESULTs of the FACILITY_WIN32 form 0x8007xxxx).
const SystemMessage s_win32Messages[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {4, "The system cannot open the file."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {13, "The data is invalid."},
    {14, "Not enough memory resources are available to complete this operation."},
    {15, "The system cannot find the drive specified."},
    {18, "There are no more files."},
    {21, "The device is not ready."},
    {32, "The process cannot access the file because it is being used by another process."},
    {33, "The process cannot access the file because another process has locked a portion of the file."},
    {38, "Reached the end of the file."},
    {50, "The request is not supported."},
    {80, "The file exists."},
    {87, "The parameter is incorrect."},
    {109, "The pipe has been ended."},
    {111, "The file name is too long."},
    {112, "There is not enough space on the disk."},
    {120, "This function is not supported on this system."},
    {122, "The data area passed to a system call is too small."},
    {123, "The filename, directory name, or volume label syntax is incorrect."},
    {126, "The specified module could not be found."},
    {127, "The specified procedure could not be found."},
    {183, "Cannot create a file when that file already exists."},
    {234, "More data is available."},
    {258, "The wait operation timed out."},
    {259, "No more data is available."},
    {998, "Invalid access to memory location."},
    {995, "The I/O operation has been aborted because of either a thread exit or an application request."},
    {997, "Overlapped I/O operation is in progress."},
    {1150, "The specified program requires a newer version of Windows."},
    {1460, "This operation returned because the timeout period expired."},
};

// HRESULTs of other facilities.
const SystemMessage s_hresultMessages[] = {
    {0x80004001u, "Not implemented"},
    {0x80004002u, "No such interface supported"},
    {0x80004003u, "Invalid pointer"},
    {0x80004004u, "Operation aborted"},
    {0x80004005u, "Unspecified error"},
    {0x8000FFFFu, "Catastrophic failure"},
    {0x80010106u, "Cannot change thread mode after it is set."},
};

const char* Find(const SystemMessage* pMessages, U64 count, U32 code)
{
    for (U64 i = 0; i < count; ++i)
    {
        if (pMessages[i].m_code == code)
            return pMessages[i].m_text;
    }
    return nullptr;
}
} // namespace

bool GetSystemErrorMessage(U32 nativeError, char* buffer, U32 bufferSize)
{
    const char* pText = nullptr;
    if ((nativeError & 0xFFFF0000u) == 0x80070000u)
        pText = Find(s_win32Messages, sizeof(s_win32Messages) / sizeof(s_win32Messages[0]),
                     nativeError & 0xFFFFu);
    else if (nativeError <= 0xFFFFu)
        pText = Find(s_win32Messages, sizeof(s_win32Messages) / sizeof(s_win32Messages[0]), nativeError);
    else
        pText =
            Find(s_hresultMessages, sizeof(s_hresultMessages) / sizeof(s_hresultMessages[0]), nativeError);
    if (!pText || bufferSize == 0)
        return false;
    // The same line end the system puts after its messages; the caller strips it.
    snprintf(buffer, bufferSize, "%s\r\n", pText);
    return true;
}
