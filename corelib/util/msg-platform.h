// The few operating-system services that message output and assertion reports need.
// Implemented once per platform (msg-platform-posix.cpp, msg-platform-win.cpp).
#pragma once

#include "corelib/util/types.h"

// Id of the calling thread as the operating system numbers it.
U32 MsgCurrentThreadId();

// Executes a breakpoint instruction: ends the process unless a debugger catches it.
void MsgDebugBreak();

// Hands zero-terminated UTF-16 text to the debugger's output (standard error on POSIX).
void MsgWriteDebugString(const char16_t* text);

// Writes bytes to standard output unbuffered; true when every byte was written.
bool MsgWriteStandardOutput(const char* text, U64 length);

// Writes bytes to standard error unbuffered, without the C library's stream locks (safe
// in a fault handler); true when every byte was written.
bool MsgWriteStandardError(const char* text, U64 length);

// True when standard output is an interactive terminal (colour escapes make sense).
bool MsgIsStandardOutputTerminal();
