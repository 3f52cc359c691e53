// Short forms of a counter's call site for the job system's reports: the function's name
// without its signature, the source path from below its "src" folder.
#pragma once
#include "corelib/util/types.h"

namespace oxjob
{
// Room for a short name: at most 127 characters and the terminator.
constexpr U64 kShortSourceNameSize = 128;

// "class Err __cdecl oxjob::Initialize(const class oxjob::InitParams *)" gives
// "oxjob::Initialize": the text between the last blank before the first '(' and that '('.
// A text without '(' is kept whole; a null one gives "<null>". Cut to fit out.
void ShortJobSourceFunction(const char* signature, char* out, U64 outSize);
// The path after its first "src" and the separator that follows, when anything remains
// there (else the whole path), with backslashes turned into forward slashes; a null one
// gives "<null>". Cut to fit out.
void ShortJobSourceFile(const char* path, char* out, U64 outSize);
} // namespace oxjob
