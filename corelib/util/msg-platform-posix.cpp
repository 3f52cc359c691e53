#include "corelib/util/msg-platform.h"

#include "corelib/system/platform/platform.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <unistd.h>
#if OX_PLATFORM_LINUX
#include <sys/syscall.h>
#endif

U32 MsgCurrentThreadId()
{
#if OX_PLATFORM_LINUX
    return static_cast<U32>(syscall(SYS_gettid));
#else
    return static_cast<U32>(reinterpret_cast<UPtr>(pthread_self()));
#endif
}

void MsgDebugBreak()
{
#if OX_ARCH_X64
    __asm__ volatile("int3");
#else
    raise(SIGTRAP);
#endif
}

void MsgWriteDebugString(const char16_t* text)
{
    // No debugger channel exists here: the text goes to standard error as UTF-8.
    char buffer[4096];
    U64 used = 0;
    auto flush = [&]()
    {
        U64 done = 0;
        while (done < used)
        {
            ssize_t written = write(STDERR_FILENO, buffer + done, used - done);
            if (written <= 0)
                break;
            done += static_cast<U64>(written);
        }
        used = 0;
    };
    for (const char16_t* p = text; *p; ++p)
    {
        if (used + 3 > sizeof(buffer))
            flush();
        U32 c = *p;
        if (c < 0x80)
        {
            buffer[used++] = static_cast<char>(c);
        }
        else if (c < 0x800)
        {
            buffer[used++] = static_cast<char>(0xC0 | (c >> 6));
            buffer[used++] = static_cast<char>(0x80 | (c & 0x3F));
        }
        else
        {
            buffer[used++] = static_cast<char>(0xE0 | (c >> 12));
            buffer[used++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            buffer[used++] = static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    flush();
}

namespace
{
bool WriteAll(int fd, const char* text, U64 length)
{
    U64 done = 0;
    while (done < length)
    {
        ssize_t written = write(fd, text + done, length - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        done += static_cast<U64>(written);
    }
    return true;
}
} // namespace

bool MsgWriteStandardOutput(const char* text, U64 length)
{
    return WriteAll(STDOUT_FILENO, text, length);
}

bool MsgWriteStandardError(const char* text, U64 length)
{
    return WriteAll(STDERR_FILENO, text, length);
}

bool MsgIsStandardOutputTerminal()
{
    return isatty(STDOUT_FILENO) == 1;
}
