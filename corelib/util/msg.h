// Message channels: 35 numbered channels (0 to 34), each printing to a DoutBase output.
// A null channel entry swallows everything, as does the DoutNull output. Each thread
// has its own active channel and message tag; a process-wide hook may remap channel
// numbers. The channel tables and the hook are set up before other threads print.
//
// Channels used by the library: 1 informational reports, 8 error reports, 17
// allocation-tracker dumps, 33 and above job-system reports.
#pragma once

#include "corelib/util/dout.h"

#include <cstdarg>

constexpr int kNumMsgChannels = 35;
constexpr int kMsgChannelInfo = 1;
constexpr int kMsgChannelError = 8;
constexpr int kMsgChannelAllocTracker = 17;

using MsgOutputRemapHook = int (*)(int channel);

// Active channel 0 for the calling thread, installed table cleared, every channel on DoutNull.
void InitMsgOutputs();
// Installs the output on the channel (kept while the channel is switched off), then calls OnAttach.
void SetMsgOutput(int channel, DoutBase* output);
// true restores the installed output; false points the channel at DoutNull.
void EnableMsgOutput(int channel, bool enable);
void SetMsgOutputRemap(MsgOutputRemapHook hook);
// The output of the (remapped) channel, or null when the number lies outside 0 to 34.
DoutBase* GetMsgOutput(int channel);

void SetActiveMsgOutput(int channel);
int GetActiveMsgOutput();
void SetMsgTag(U64 tag);
U64 GetMsgTag();

void PrintToMsgOutput(int channel, const char* fmt, ...) OX_PRINTF_FORMAT(2, 3);
void VPrintToMsgOutput(int channel, const char* fmt, va_list args);
void PrintToActiveMsgOutput(const char* fmt, ...) OX_PRINTF_FORMAT(1, 2);
// As above with the thread's message tag set to tag for the call.
void PrintToActiveMsgOutput(U64 tag, const char* fmt, ...) OX_PRINTF_FORMAT(2, 3);
// Prints the text unformatted in chunks of at most 511 characters, each followed by Flush.
void PrintToActiveMsgOutputRaw(const char* text);

// Red "ERROR: " prints, and yellow "WARNING: " prints, on a channel or the active one.
void PrintErrorToMsgOutput(int channel, const char* fmt, ...) OX_PRINTF_FORMAT(2, 3);
void PrintError(const char* fmt, ...) OX_PRINTF_FORMAT(1, 2);
void PrintError(U64 tag, const char* fmt, ...) OX_PRINTF_FORMAT(2, 3);
void PrintWarningToMsgOutput(int channel, const char* fmt, ...) OX_PRINTF_FORMAT(2, 3);
void PrintWarning(const char* fmt, ...) OX_PRINTF_FORMAT(1, 2);
void PrintWarning(U64 tag, const char* fmt, ...) OX_PRINTF_FORMAT(2, 3);

// Colour of a channel: an RGBA word (red in the low byte), or four floats.
void SetMsgOutputColor(int channel, U32 rgba);
void SetMsgOutputColor(int channel, const float* rgba);
void SetMsgOutputColorF(int channel, const float* rgba);
void SetMsgOutputTextColor(int channel, int color);
// Prints level x 2 blanks (at most 511).
void PrintIndent(int channel, int level);

// Debugger output: formats into 3072 bytes and writes it as UTF-16 (at most 3071 units).
void DebugPrintf(const char* fmt, ...) OX_PRINTF_FORMAT(1, 2);
void VDebugPrintf(const char* fmt, va_list args);
