// The in-memory message outputs (DoutMem, DoutMemConsole) and the process-wide "History":
// a 256 KiB DoutMem that a host may attach to any channel to keep the latest text of it.
#pragma once

#include "corelib/util/dout-mem-console.h"
#include "corelib/util/dout-mem.h"
#include "corelib/util/types.h"

// Bytes of text the History keeps.
constexpr U32 kHistorySize = 0x40000;

// Creates the History from the kAllocDevCpu allocator once that allocator is registered;
// without it, or when the memory cannot be had, the History stays null. A second call
// keeps the existing History. Not attached to any channel.
void InitHistory();
// Destroys the History and gives its memory back (for hosts that tear the memory system down).
void ShutdownHistory();
// The History, or null.
DoutMem* GetHistoryOutput();
// Copies the History's text, from its first whole line, into buffer (terminated); returns
// the number of text bytes, 0 without a History or with size 0.
U32 CopyHistory(char* buffer, U32 size);
