// DoutConsole: a message output on standard output for hosts and tools. Colour escapes
// are written only when standard output is a terminal; prints from several threads
// are serialised by the output's own lock.
#pragma once

#include "corelib/util/dout.h"

#include <atomic>

class DoutConsole final : public DoutBase
{
public:
    DoutConsole();
    const char* GetName() const override { return "Console"; }
    void Print(const char* text) override;
    void SetTextColor(int color) override;
    void SetTextColor(const float rgba[4]) override;
    // Forces colour escapes on or off (tests, pipes into a terminal-aware viewer).
    void SetColorEnabled(bool enabled) { m_useColor = enabled; }
    bool IsColorEnabled() const { return m_useColor; }

private:
    void Lock();
    void Unlock();

    std::atomic<bool> m_locked{false};
    bool m_useColor;
};
