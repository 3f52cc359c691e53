// Helpers shared by the test suites.
#pragma once

#include "corelib/util/dout.h"

#include <string>

// Installs the assertion report handler that tests use, the library's console report
// (console-reports.h): it writes "Assertion failed: <condition>" with the source,
// function and message to standard error, so death tests can match the condition text
// before the breakpoint ends the process.
void InstallTestAssertHandler();

// Root of the shared data folder beside the project ("../shared" from the source
// tree), or the empty string when it is absent.
std::string SharedDataDir();

// A message output that records everything printed to it.
class DoutCapture : public DoutBase
{
public:
    const char* GetName() const override { return "Capture"; }
    void Print(const char* text) override
    {
        m_text += text;
        ++m_printCount;
    }
    void Flush() override { ++m_flushCount; }
    std::string m_text;
    int m_printCount = 0;
    int m_flushCount = 0;
};
