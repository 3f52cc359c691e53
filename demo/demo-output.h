// The demo game's message output: everything goes to the console and, without colour
// escapes, to a file in the current directory. The game runs in a console (or session)
// of its own, so the file is how a script that started it shows what it printed.
// Workers may print too (job-system reports): a print reaches both in one piece.
#pragma once

#include "corelib/util/dout-console.h"

#include <cstdio>
#include <mutex>

class DoutConsoleAndFile final : public DoutBase
{
public:
    // Opens (truncates) the file; printing still reaches the console when it cannot be opened.
    explicit DoutConsoleAndFile(const char* pFilePath);
    ~DoutConsoleAndFile() override;
    DoutConsoleAndFile(const DoutConsoleAndFile&) = delete;
    DoutConsoleAndFile& operator=(const DoutConsoleAndFile&) = delete;

    const char* GetName() const override { return "ConsoleAndFile"; }
    void Print(const char* text) override;
    void SetTextColor(int color) override { m_console.SetTextColor(color); }
    void SetTextColor(const float rgba[4]) override { m_console.SetTextColor(rgba); }
    void Flush() override;

private:
    std::mutex m_mutex;
    DoutConsole m_console;
    FILE* m_pFile;
};
