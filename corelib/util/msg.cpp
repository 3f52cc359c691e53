#include "corelib/util/msg.h"

#include "corelib/util/msg-assert.h"
#include "corelib/util/msg-platform.h"
#include "corelib/util/text-convert.h"

#include <cstdio>
#include <cstring>

namespace
{
DoutBase* s_channels[kNumMsgChannels];
DoutBase* s_installed[kNumMsgChannels];
MsgOutputRemapHook s_remapHook = nullptr;
constexpr U32 kIndentWidth = 2;
constexpr U32 kRawChunkSize = 512;

thread_local int t_activeChannel = 0;
thread_local U64 t_msgTag = 0;

// Resolves a channel number through the remap hook to its output, or null.
DoutBase* ResolveOutput(int channel)
{
    if (s_remapHook)
        channel = s_remapHook(channel);
    OX_ASSERT(channel >= 0 && channel < kNumMsgChannels);
    return s_channels[channel];
}

// Sets the thread's message tag for one call and restores it afterwards.
class ScopedMsgTag
{
public:
    explicit ScopedMsgTag(U64 tag) : m_previous(t_msgTag) { t_msgTag = tag; }
    ~ScopedMsgTag() { t_msgTag = m_previous; }

private:
    U64 m_previous;
};

void PrintDecorated(DoutBase* output, int color, const char* prefix, const char* fmt, va_list args)
{
    if (!output)
        return;
    output->SetTextColor(color);
    output->VPrintf(fmt, args, prefix);
    output->SetTextColor(0);
}

constexpr int kErrorColor = 1;
constexpr int kWarningColor = 3;
constexpr const char* kErrorPrefix = "ERROR: ";
constexpr const char* kWarningPrefix = "WARNING: ";
} // namespace

void InitMsgOutputs()
{
    t_activeChannel = 0;
    for (int channel = 0; channel < kNumMsgChannels; ++channel)
    {
        s_installed[channel] = nullptr;
        s_channels[channel] = GetNullMsgOutput();
    }
}

void SetMsgOutput(int channel, DoutBase* output)
{
    OX_ASSERT(channel >= 0 && channel < kNumMsgChannels);
    s_channels[channel] = output;
    s_installed[channel] = output;
    if (output)
        output->OnAttach();
}

void EnableMsgOutput(int channel, bool enable)
{
    OX_ASSERT(channel >= 0 && channel < kNumMsgChannels);
    s_channels[channel] = enable ? s_installed[channel] : GetNullMsgOutput();
}

void SetMsgOutputRemap(MsgOutputRemapHook hook)
{
    s_remapHook = hook;
}

DoutBase* GetMsgOutput(int channel)
{
    if (s_remapHook)
        channel = s_remapHook(channel);
    if (channel < 0 || channel >= kNumMsgChannels)
        return nullptr;
    return s_channels[channel];
}

void SetActiveMsgOutput(int channel)
{
    t_activeChannel = channel;
}
int GetActiveMsgOutput()
{
    return t_activeChannel;
}
void SetMsgTag(U64 tag)
{
    t_msgTag = tag;
}
U64 GetMsgTag()
{
    return t_msgTag;
}

void PrintToMsgOutput(int channel, const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    VPrintToMsgOutput(channel, fmt, args);
    va_end(args);
}

void VPrintToMsgOutput(int channel, const char* fmt, va_list args)
{
    if (DoutBase* output = ResolveOutput(channel))
        output->VPrintf(fmt, args, nullptr);
}

void PrintToActiveMsgOutput(const char* fmt, ...)
{
    const char* pStr = fmt;
    OX_ASSERT(pStr != nullptr);
    DoutBase* output = ResolveOutput(t_activeChannel);
    if (!output)
        return;
    va_list args;
    va_start(args, fmt);
    output->VPrintf(fmt, args, nullptr);
    va_end(args);
}

void PrintToActiveMsgOutput(U64 tag, const char* fmt, ...)
{
    const char* pStr = fmt;
    OX_ASSERT(pStr != nullptr);
    DoutBase* output = ResolveOutput(t_activeChannel);
    if (!output)
        return;
    ScopedMsgTag scopedTag(tag);
    va_list args;
    va_start(args, fmt);
    output->VPrintf(fmt, args, nullptr);
    va_end(args);
}

void PrintToActiveMsgOutputRaw(const char* text)
{
    const char* pStr = text;
    OX_ASSERT(pStr != nullptr);
    DoutBase* output = ResolveOutput(t_activeChannel);
    if (!output)
        return;
    size_t remaining = strlen(text);
    char chunk[kRawChunkSize];
    do
    {
        size_t length = remaining < kRawChunkSize - 1 ? remaining : kRawChunkSize - 1;
        memcpy(chunk, text, length);
        chunk[length] = '\0';
        output->Print(chunk);
        output->Flush();
        text += length;
        remaining -= length;
    } while (remaining > 0);
}

#define OX_DEFINE_DECORATED_PRINTS(Name, ToChannelName, color, prefix)                                       \
    void ToChannelName(int channel, const char* fmt, ...)                                                    \
    {                                                                                                        \
        va_list args;                                                                                        \
        va_start(args, fmt);                                                                                 \
        PrintDecorated(ResolveOutput(channel), color, prefix, fmt, args);                                    \
        va_end(args);                                                                                        \
    }                                                                                                        \
    void Name(const char* fmt, ...)                                                                          \
    {                                                                                                        \
        va_list args;                                                                                        \
        va_start(args, fmt);                                                                                 \
        PrintDecorated(ResolveOutput(t_activeChannel), color, prefix, fmt, args);                            \
        va_end(args);                                                                                        \
    }                                                                                                        \
    void Name(U64 tag, const char* fmt, ...)                                                                 \
    {                                                                                                        \
        ScopedMsgTag scopedTag(tag);                                                                         \
        va_list args;                                                                                        \
        va_start(args, fmt);                                                                                 \
        PrintDecorated(ResolveOutput(t_activeChannel), color, prefix, fmt, args);                            \
        va_end(args);                                                                                        \
    }

OX_DEFINE_DECORATED_PRINTS(PrintError, PrintErrorToMsgOutput, kErrorColor, kErrorPrefix)
OX_DEFINE_DECORATED_PRINTS(PrintWarning, PrintWarningToMsgOutput, kWarningColor, kWarningPrefix)

void SetMsgOutputColor(int channel, U32 rgba)
{
    DoutBase* output = ResolveOutput(channel);
    if (!output)
        return;
    const float color[4] = {
        static_cast<float>(rgba & 0xFF) / 255.0f, static_cast<float>((rgba >> 8) & 0xFF) / 255.0f,
        static_cast<float>((rgba >> 16) & 0xFF) / 255.0f, static_cast<float>((rgba >> 24) & 0xFF) / 255.0f};
    output->SetTextColor(color);
}

void SetMsgOutputColor(int channel, const float* rgba)
{
    if (DoutBase* output = ResolveOutput(channel))
        output->SetTextColor(rgba);
}

void SetMsgOutputColorF(int channel, const float* rgba)
{
    SetMsgOutputColor(channel, rgba);
}

void SetMsgOutputTextColor(int channel, int color)
{
    if (DoutBase* output = ResolveOutput(channel))
        output->SetTextColor(color);
}

void PrintIndent(int channel, int level)
{
    DoutBase* output = ResolveOutput(channel);
    if (!output || level <= 0)
        return;
    char blanks[kRawChunkSize];
    U64 count = static_cast<U64>(level) * kIndentWidth;
    if (count > kRawChunkSize - 1)
        count = kRawChunkSize - 1;
    memset(blanks, ' ', count);
    blanks[count] = '\0';
    output->Print(blanks);
}

void DebugPrintf(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    VDebugPrintf(fmt, args);
    va_end(args);
}

void VDebugPrintf(const char* fmt, va_list args)
{
    char text[DoutBase::kFormatBufferSize];
    vsnprintf(text, sizeof(text), fmt, args);
    text[sizeof(text) - 1] = '\0';
    char16_t wide[DoutBase::kFormatBufferSize];
    Utf8ToUtf16(wide, sizeof(wide), text, false, DoutBase::kFormatBufferSize - 1);
    MsgWriteDebugString(wide);
}
