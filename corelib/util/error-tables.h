// Fixed errno tables behind Err (error-tables.cpp).
#pragma once

#include "corelib/util/types.h"

constexpr U32 kNumLinuxErrnoTexts = 127;
constexpr U32 kNumLinuxErrnoCodes = 126;
constexpr U32 kNumCrtErrnoTexts = 43;
constexpr U32 kFirstCrtPosixErrno = 100;
constexpr U32 kNumCrtPosixErrnoTexts = 41;

extern const char* const g_linuxErrnoTexts[kNumLinuxErrnoTexts];
extern const U32 g_linuxErrnoToCode[kNumLinuxErrnoCodes];
extern const char* const g_crtErrnoTexts[kNumCrtErrnoTexts];
extern const char* const g_crtPosixErrnoTexts[kNumCrtPosixErrnoTexts];
