// Writing a whole file in one go, for the timeline exports.
#pragma once

#include <cstdio>
#include <functional>

// Creates (truncates) the file at pPath and lets write fill it. Returns false when the
// file could not be opened, write returned false, or closing it failed.
bool WriteWholeFile(const char* pPath, const std::function<bool(FILE*)>& write);
