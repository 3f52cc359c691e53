#include "corelib/util/console-reports.h"

#include "corelib/util/dout-console.h"
#include "corelib/util/msg-assert.h"
#include "corelib/util/msg-platform.h"
#include "corelib/util/msg.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

namespace
{
// Room for a formatted message, as for every formatted print of the library.
constexpr int kMessageBufferSize = 3072;

void WriteToStandardError(const char* text)
{
    MsgWriteStandardError(text, strlen(text));
}

// Writes the report with a few writes of fixed pieces and a small buffer, so that it also
// works on the little stack left after a stack overflow.
void WriteConsoleAssertReport(const char* condition, const char* sourcePath, const char* functionName,
                              const char* /*extra*/, int line, const char* message)
{
    char lineText[16];
    snprintf(lineText, sizeof(lineText), "%d", line);
    const char* pieces[] = {"Assertion failed: ", condition ? condition : "", "\n  in ",
                            functionName ? functionName : "<unknown>", " (", sourcePath ? sourcePath : "<unknown>",
                            ":", lineText, ")\n"};
    for (const char* piece : pieces)
        WriteToStandardError(piece);
    if (message)
    {
        WriteToStandardError("  ");
        WriteToStandardError(message);
        WriteToStandardError("\n");
    }
}

const char* FormatConsoleAssertMessage(const char* format, ...)
{
    static thread_local char s_buffer[kMessageBufferSize];
    va_list args;
    va_start(args, format);
    vsnprintf(s_buffer, sizeof(s_buffer), format, args);
    va_end(args);
    s_buffer[kMessageBufferSize - 1] = '\0';
    return s_buffer;
}

// The console output of the report channels: constructed on first use and never
// destroyed, so that prints from static destructors at exit still find it.
DoutConsole& ReportConsole()
{
    alignas(DoutConsole) static unsigned char s_storage[sizeof(DoutConsole)];
    static DoutConsole* s_pConsole = new (s_storage) DoutConsole();
    return *s_pConsole;
}

bool HasOutput(int channel)
{
    DoutBase* pOutput = GetMsgOutput(channel);
    return pOutput != nullptr && pOutput != GetNullMsgOutput();
}
} // namespace

void InstallConsoleAssertReport()
{
    SetAssertMessageFormatter(FormatConsoleAssertMessage);
    SetAssertReportHandler(WriteConsoleAssertReport);
}

void InstallConsoleReports()
{
    InstallConsoleAssertReport();
    for (int channel : kConsoleReportChannels)
        if (!HasOutput(channel))
            SetMsgOutput(channel, &ReportConsole());
}
