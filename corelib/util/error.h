// Err: the library's error value. A 32-bit code packs a subsystem (bits 16 to 26) and a
// code within it (bits 0 to 15); read as a signed number, a code <= 0 is a success and a
// code > 0 an error. Beside it sit the platform number the code was made from (Win32
// error, HRESULT, errno) and an optional fixed message. Every code turns into a readable
// message through fixed tables, the platform's system messages for Win32 errors and
// HRESULTs, or a fixed fallback.
#pragma once

#include "corelib/util/types.h"

// Mask of the code within a subsystem.
constexpr U32 ERROR_CODE_MASK = 0xFFFF;

// Supplies the message of a shader-compiler error: called with the code's low 16 bits and the whole code.
using ErrMessageProvider = const char* (*)(U32 index, U32 code);

// An error code of a subsystem (positive).
constexpr U32 MakeErrorCode(U32 subsystem, U32 index)
{
    return ((subsystem & 0x7FF) << 16) | (index & ERROR_CODE_MASK);
}

// A success code of a subsystem (negative when read as signed, so it counts as success).
constexpr U32 MakeSuccessCode(U32 subsystem, U32 index)
{
    return 0x80000000u | MakeErrorCode(subsystem, index);
}

class Err
{
public:
    // Subsystem numbers.
    static constexpr U32 kSubsystemCrt = 0;
    static constexpr U32 kSubsystemDefault = 1265;
    static constexpr U32 kSubsystemEnvironment = 1266;
    static constexpr U32 kSubsystemDatabase = 1267;
    static constexpr U32 kSubsystemMessageSocket = 1268;
    static constexpr U32 kSubsystemShaderCompiler = 1269;
    static constexpr U32 kSubsystemGameData = 1270;
    static constexpr U32 kSubsystemSoundBank = 1271;
    static constexpr U32 kSubsystemSynth = 1273;
    static constexpr U32 kSubsystemLinux = 1793;
    static constexpr U32 kSubsystemHResult = 1794;
    static constexpr U32 kSubsystemWin32 = 1795;

    // Errors of the default subsystem.
    static constexpr U32 kGeneralError = MakeErrorCode(kSubsystemDefault, 0);
    static constexpr U32 kWrongState = MakeErrorCode(kSubsystemDefault, 1);
    static constexpr U32 kBadData = MakeErrorCode(kSubsystemDefault, 2);
    static constexpr U32 kAbort = MakeErrorCode(kSubsystemDefault, 3);
    static constexpr U32 kOutOfMemory = MakeErrorCode(kSubsystemDefault, 4);
    static constexpr U32 kNotFound = MakeErrorCode(kSubsystemDefault, 5);
    static constexpr U32 kNotInitialized = MakeErrorCode(kSubsystemDefault, 6);
    static constexpr U32 kAlreadyInitialized = MakeErrorCode(kSubsystemDefault, 7);
    static constexpr U32 kInvalidArgument = MakeErrorCode(kSubsystemDefault, 8);

    // Success.
    constexpr Err() = default;
    constexpr explicit Err(U32 code, U32 nativeError = 0, const char* pMessage = nullptr)
        : m_code(code), m_nativeError(nativeError), m_pMessage(pMessage)
    {
    }

    // From a Win32 error code (at most 0xFFFF); 0 is success.
    static Err FromWinError(U32 nErr);
    // From an HRESULT: any non-negative value is success.
    static Err FromHResult(I32 hr);
    // From a Linux errno value, in the C runtime's numbering where it has the error.
    static Err FromLinuxErrno(U16 e);

    // The message of the code; always a text (never null). Messages of Win32 errors and
    // HRESULTs live in frame memory (kAllocSingleFrame) until it is recycled.
    const char* GetErrorString() const;

    // Installs (or with null removes) the shader compiler's message provider.
    static void SetShaderCompilerMessageProvider(ErrMessageProvider provider);

    U32 GetCode() const { return m_code; }
    U32 GetNativeError() const { return m_nativeError; }
    const char* GetFixedMessage() const { return m_pMessage; }
    U32 GetSubsystem() const { return (m_code >> 16) & 0x7FF; }
    U32 GetIndex() const { return m_code & ERROR_CODE_MASK; }
    bool IsSuccess() const { return static_cast<I32>(m_code) <= 0; }
    bool IsError() const { return static_cast<I32>(m_code) > 0; }

    bool operator==(const Err& other) const { return m_code == other.m_code; }
    bool operator!=(const Err& other) const { return m_code != other.m_code; }

private:
    U32 m_code = 0;
    U32 m_nativeError = 0;
    const char* m_pMessage = nullptr;
};

// The system's message for a Win32 error or HRESULT, written into buffer without its
// trailing line end; false when the system has none. (One implementation per platform.)
bool GetSystemErrorMessage(U32 nativeError, char* buffer, U32 bufferSize);
