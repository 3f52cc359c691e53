// DoutBase, the output a message channel prints to, and DoutNull, the silent default.
#pragma once

#include "corelib/system/platform/platform.h"
#include "corelib/util/types.h"

#include <cstdarg>

// Abstract message output. Print writes text unchanged; the formatting operations
// format into a fixed 3072-byte stack buffer and call Print once, so printing never
// allocates. Outputs shared between threads do their own locking.
class DoutBase
{
public:
    static constexpr U32 kFormatBufferSize = 3072;

    virtual ~DoutBase() {}
    // Called when the output is installed on a channel.
    virtual void OnAttach() {}
    virtual const char* GetName() const = 0;
    // Writes the text unchanged.
    virtual void Print(const char* text) = 0;
    // Formats into a 3072-byte buffer (cut at 3071 characters) and prints it.
    virtual void Printf(const char* fmt, ...) OX_PRINTF_FORMAT(2, 3);
    // As Printf, with an optional prefix copied in front of the formatted text.
    virtual void VPrintf(const char* fmt, va_list args, const char* prefix);
    virtual void Indent(int level) {}
    // Prints the foreground colour escape (0 to 7); 8 and above print the reset escape.
    virtual void SetTextColor(int color);
    // Prints the 24-bit colour escape of red, green and blue clamped to 0..1; alpha is ignored.
    virtual void SetTextColor(const float rgba[4]);
    virtual bool IsEnabled() const { return true; }
    // Whether the output's text is shown where outputs are listed (memory outputs keep a flag).
    virtual bool IsVisible() const { return true; }
    virtual bool IsFull() const { return false; }
    virtual bool IsEmpty() const { return false; }
    // Replays the stored text into another output.
    virtual void Dump(DoutBase* target) const {}
    // Copies stored text into a flat buffer; returns the number of bytes copied.
    virtual U32 DumpToBuffer(char* buffer, U32 size, bool wholeLines, U32 offset) const { return 0; }
    virtual void ReplaceRawBuffer(const char* text, int size) {}
    // Called after each chunk of a raw print.
    virtual void Flush() {}
};

// The default output: named "NULL", swallows everything.
class DoutNull final : public DoutBase
{
public:
    void OnAttach() override {}
    const char* GetName() const override { return "NULL"; }
    void Print(const char*) override {}
    void Printf(const char*, ...) override {}
    void VPrintf(const char*, va_list, const char*) override {}
    void Indent(int) override {}
    void SetTextColor(int) override {}
    void SetTextColor(const float*) override {}
};

// The process-wide DoutNull instance, constructed during static start-up.
DoutNull* GetNullMsgOutput();
