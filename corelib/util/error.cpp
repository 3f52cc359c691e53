// Err: conversion from platform errors and the message of every code.
#include "corelib/util/error.h"

#include "corelib/memory/allocator.h"
#include "corelib/memory/memory-map.h"
#include "corelib/util/error-tables.h"
#include "corelib/util/msg-assert.h"

#include <cstdio>
#include <cstring>

namespace
{
// A subsystem's success and error texts; an index past a table's end reads its last entry.
struct SubsystemTexts
{
    U32 m_subsystem;
    const char* const* m_pSuccess;
    U32 m_numSuccess;
    const char* const* m_pErrors;
    U32 m_numErrors;
};

const char* const s_defaultSuccess[] = {"Success with warning", "Success code, aux default", "In progress",
                                        "Unknown default subsystem success"};
const char* const s_defaultErrors[] = {"General error",
                                       "Wrong state",
                                       "Bad data",
                                       "Abort",
                                       "Out of memory",
                                       "Not found",
                                       "Not initialized",
                                       "Already initialized",
                                       "Invalid argument",
                                       "Out of Strell2 File Handles",
                                       "Out of Strell2 Op Handles"};
const char* const s_environmentSuccess[] = {"Success code, aux environment"};
const char* const s_environmentErrors[] = {"Unknown environment subsystem error"};
const char* const s_databaseSuccess[] = {"Success code, aux database"};
const char* const s_databaseErrors[] = {"Generic SQL failure", "Cannot connect to SQL server",
                                        "Result contains too many records",
                                        "Unknown database subsystem error"};
const char* const s_socketSuccess[] = {"A response was received for the message specified"};
const char* const s_socketErrors[] = {
    "The socket returned an unspecified error",
    "There is no message available at this time",
    "No more messages can be sent until a reply has been sent to the last incoming message",
    "A special character was found in the message that is unrecognized",
    "More than the maximum amount of time allowed was spent waiting for a reply to the last message sent",
    "The outgoing message buffer is completely full",
    "The incoming message buffer has run out of data to read",
    "The buffer passed in to read the string from the packet is too small to fit the string in the packet",
    "An attempt was made to respond to a message when a response has already been sent for that message",
    "A message was received that doesn't have a valid message id",
    "A response was received for message other than the one recently sent",
    "An attempt was made to send a response when all necessary responses have already been sent",
};
const char* const s_shaderSuccess[] = {"Success code, cgfx compiler"};
const char* const s_shaderErrors[] = {"Generic cgfx compiler error"};
const char* const s_gameDataSuccess[] = {"Success"};
const char* const s_gameDataErrors[] = {
    "Missing level/package", "Anim Actor Symbol Not Found", "Anim Actor Login Failed",
    "Art Group Not Found",   "Script Id Not Found",         "Physics Failed to Init (no collision?)",
    "Missing Spawner",       "Missing State Script",        "Mesh Not Loaded",
    "Skeleton Not Loaded",   "Spawning Suppressed"};
const char* const s_soundBankSuccess[] = {"Busy", "Unknown success"};
const char* const s_soundBankErrors[] = {"System already started",
                                         "System not started",
                                         "Invalid arguments",
                                         "Memory allocation failed",
                                         "Memory data structure allocation failed",
                                         "Bank array memory allocation failed",
                                         "Internal data allocation failed",
                                         "Invalid state; internal error",
                                         "Reference limit exceeded",
                                         "Bank limit exceeded",
                                         "Unexpected treap insertion failure",
                                         "Bad handle",
                                         "Out of sound bank memory",
                                         "Sound bank load failure; probably corrupted.",
                                         "Release not in progress",
                                         "Release already in progress",
                                         "Sound not found",
                                         "Bank not found",
                                         "Unknown error"};
const char* const s_synthSuccess[] = {"Client retained vibration past shutdown",
                                      "Client retained voice past shutdown", "Unknown success"};
const char* const s_synthErrors[] = {
    "Unknown error",  "System not initialized", "System already initialized", "Audio system not started",
    "Out of synths",  "Out of voices",          "Invalid vibration handle",   "Invalid voice handle",
    "Invalid plugin", "Invalid oscillator",     "Invalid argument",           "Unknown error"};
const char* const s_linuxSuccess[] = {"Success"};
const char* const s_unknownSubsystem[] = {"Error from unknown subsystem"};

#define OX_TEXTS(table) table, static_cast<U32>(sizeof(table) / sizeof(table[0]))
const SubsystemTexts s_subsystems[] = {
    {Err::kSubsystemDefault, OX_TEXTS(s_defaultSuccess), OX_TEXTS(s_defaultErrors)},
    {Err::kSubsystemEnvironment, OX_TEXTS(s_environmentSuccess), OX_TEXTS(s_environmentErrors)},
    {Err::kSubsystemDatabase, OX_TEXTS(s_databaseSuccess), OX_TEXTS(s_databaseErrors)},
    {Err::kSubsystemMessageSocket, OX_TEXTS(s_socketSuccess), OX_TEXTS(s_socketErrors)},
    {Err::kSubsystemShaderCompiler, OX_TEXTS(s_shaderSuccess), OX_TEXTS(s_shaderErrors)},
    {Err::kSubsystemGameData, OX_TEXTS(s_gameDataSuccess), OX_TEXTS(s_gameDataErrors)},
    {Err::kSubsystemSoundBank, OX_TEXTS(s_soundBankSuccess), OX_TEXTS(s_soundBankErrors)},
    {Err::kSubsystemSynth, OX_TEXTS(s_synthSuccess), OX_TEXTS(s_synthErrors)},
    {Err::kSubsystemLinux, OX_TEXTS(s_linuxSuccess), g_linuxErrnoTexts, kNumLinuxErrnoTexts},
};
const SubsystemTexts s_unknownSubsystemTexts = {0, OX_TEXTS(s_unknownSubsystem),
                                                OX_TEXTS(s_unknownSubsystem)};
#undef OX_TEXTS

ErrMessageProvider s_shaderCompilerMessageProvider = nullptr;

constexpr U32 kSystemMessageSize = 128;

const char* TableText(const Err& err)
{
    const SubsystemTexts* pTexts = &s_unknownSubsystemTexts;
    for (const SubsystemTexts& texts : s_subsystems)
    {
        if (texts.m_subsystem == err.GetSubsystem())
            pTexts = &texts;
    }
    const bool success = err.IsSuccess();
    const char* const* pTable = success ? pTexts->m_pSuccess : pTexts->m_pErrors;
    const U32 count = success ? pTexts->m_numSuccess : pTexts->m_numErrors;
    const U32 index = err.GetIndex();
    return pTable[index < count ? index : count - 1];
}

// The C runtime's text for an errno value in its own (Windows) numbering.
const char* CrtErrnoText(U32 e)
{
    if (e < kNumCrtErrnoTexts)
        return g_crtErrnoTexts[e];
    if (e >= kFirstCrtPosixErrno && e - kFirstCrtPosixErrno < kNumCrtPosixErrnoTexts)
        return g_crtPosixErrnoTexts[e - kFirstCrtPosixErrno];
    return "Unknown error";
}

// The system's message in frame memory, or null when no frame memory is to be had.
const char* SystemText(U32 nativeError)
{
    Memory::Allocator* pAllocator = Memory::GetAllocator(Memory::kAllocSingleFrame);
    if (!pAllocator)
        return nullptr;
    char* pText =
        static_cast<char*>(pAllocator->Allocate(kSystemMessageSize, kAlign8, __FILE__, __LINE__, __func__));
    if (!pText)
        return nullptr;
    if (!GetSystemErrorMessage(nativeError, pText, kSystemMessageSize))
    {
        snprintf(pText, kSystemMessageSize, "Unknown Win32 Error 0x%08X", nativeError);
        return pText;
    }
    // The system ends its messages with a line end.
    size_t length = strlen(pText);
    while (length > 0 && (pText[length - 1] == ' ' || pText[length - 1] == '\t' ||
                          pText[length - 1] == '\r' || pText[length - 1] == '\n'))
        pText[--length] = '\0';
    return pText;
}
} // namespace

Err Err::FromWinError(U32 nErr)
{
    OX_ASSERT((nErr & ERROR_CODE_MASK) == nErr);
    return Err(nErr == 0 ? 0 : (0x0F030000u | nErr), nErr);
}

Err Err::FromHResult(I32 hr)
{
    const U32 native = static_cast<U32>(hr);
    return Err(hr >= 0 ? 0 : (0x0F020000u | (native & 0xFFFFu)), native);
}

Err Err::FromLinuxErrno(U16 e)
{
    return Err(e >= kNumLinuxErrnoCodes ? (0x0F010000u | e) : g_linuxErrnoToCode[e], 0);
}

void Err::SetShaderCompilerMessageProvider(ErrMessageProvider provider)
{
    s_shaderCompilerMessageProvider = provider;
}

const char* Err::GetErrorString() const
{
    if (m_code == 0)
        return "Success";
    if (m_pMessage)
        return m_pMessage;
    switch (GetSubsystem())
    {
    case kSubsystemCrt:
        return CrtErrnoText(GetIndex());
    case kSubsystemShaderCompiler:
        // A provider without a text for the code leaves it to the fixed texts.
        if (s_shaderCompilerMessageProvider)
        {
            if (const char* pText = s_shaderCompilerMessageProvider(GetIndex(), m_code))
                return pText;
        }
        break;
    case kSubsystemHResult:
    case kSubsystemWin32:
        if (const char* pText = SystemText(m_nativeError))
            return pText;
        return s_unknownSubsystem[0];
    default:
        break;
    }
    return TableText(*this);
}
