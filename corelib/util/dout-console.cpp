#include "corelib/util/dout-console.h"

#include "corelib/util/msg-platform.h"

#include <cstring>
#include <thread>

DoutConsole::DoutConsole() : m_useColor(MsgIsStandardOutputTerminal()) {}

void DoutConsole::Lock()
{
    // Console writes are short; spin, yielding the processor while another thread writes.
    while (m_locked.exchange(true, std::memory_order_acquire))
    {
        while (m_locked.load(std::memory_order_relaxed))
            std::this_thread::yield();
    }
}

void DoutConsole::Unlock()
{
    m_locked.store(false, std::memory_order_release);
}

void DoutConsole::Print(const char* text)
{
    if (!text)
        return;
    Lock();
    MsgWriteStandardOutput(text, strlen(text));
    Unlock();
}

void DoutConsole::SetTextColor(int color)
{
    if (m_useColor)
        DoutBase::SetTextColor(color);
}

void DoutConsole::SetTextColor(const float rgba[4])
{
    if (m_useColor)
        DoutBase::SetTextColor(rgba);
}
