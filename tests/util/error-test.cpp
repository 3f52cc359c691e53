// Err: conversions from platform errors and the message of every kind of code.
#include "corelib/util/error.h"

#include "corelib/memory/memory-map.h"
#include "tests/memory/memory-test-support.h"
#include "tests/support/test-support.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>

namespace
{
// Win32 and HRESULT messages live in frame memory; each test gets a frame allocator.
class ErrTest : public testing::Test
{
protected:
    void SetUp() override { Memory::RegisterAllocator(Memory::kAllocSingleGameFrame, &m_frame); }
    void TearDown() override
    {
        Memory::RegisterAllocator(Memory::kAllocSingleGameFrame, nullptr);
        Err::SetShaderCompilerMessageProvider(nullptr);
    }
    TestAllocator m_frame{"Frame"};
};

const char* ShaderText(U32 index, U32)
{
    return index == 3 ? "shader line 3" : nullptr;
}
} // namespace

TEST_F(ErrTest, WinErrorCodes)
{
    const Err success = Err::FromWinError(0);
    EXPECT_EQ(success.GetCode(), 0u);
    EXPECT_TRUE(success.IsSuccess());
    EXPECT_STREQ(success.GetErrorString(), "Success");

    const Err denied = Err::FromWinError(5);
    EXPECT_EQ(denied.GetCode(), 0x0F030005u);
    EXPECT_EQ(denied.GetNativeError(), 5u);
    EXPECT_EQ(denied.GetSubsystem(), Err::kSubsystemWin32);
    EXPECT_TRUE(denied.IsError());
    const char* text = denied.GetErrorString();
    ASSERT_NE(text, nullptr);
    EXPECT_TRUE(m_frame.IsValidPtr(text)); // 128 bytes of frame memory
    EXPECT_EQ(m_frame.m_lastSize, 128u);
    ASSERT_GT(strlen(text), 0u);
    EXPECT_FALSE(isspace(static_cast<unsigned char>(text[strlen(text) - 1]))); // line end stripped
#if OX_PLATFORM_POSIX
    EXPECT_STREQ(text, "Access is denied.");
#endif

    EXPECT_STREQ(Err::FromWinError(0xFFFE).GetErrorString(), "Unknown Win32 Error 0x0000FFFE");
    EXPECT_DEATH(Err::FromWinError(0x10000), "\\(nErr & ERROR_CODE_MASK\\) == nErr");
}

TEST_F(ErrTest, SystemMessagesNeedFrameMemory)
{
    Memory::RegisterAllocator(Memory::kAllocSingleGameFrame, nullptr);
    EXPECT_STREQ(Err::FromWinError(5).GetErrorString(), "Error from unknown subsystem");
    Memory::RegisterAllocator(Memory::kAllocSingleGameFrame, &m_frame);
    m_frame.m_refuse = true;
    m_frame.SetAssertOnFailure(false);
    EXPECT_STREQ(Err::FromHResult(static_cast<I32>(0x80070005u)).GetErrorString(),
                 "Error from unknown subsystem");
}

TEST_F(ErrTest, HResults)
{
    const Err denied = Err::FromHResult(static_cast<I32>(0x80070005u));
    EXPECT_EQ(denied.GetCode(), 0x0F020005u);
    EXPECT_EQ(denied.GetNativeError(), 0x80070005u);
#if OX_PLATFORM_POSIX
    EXPECT_STREQ(denied.GetErrorString(), "Access is denied.");
    EXPECT_STREQ(Err::FromHResult(static_cast<I32>(0x80004005u)).GetErrorString(), "Unspecified error");
#endif
    const Err ok = Err::FromHResult(1);
    EXPECT_EQ(ok.GetCode(), 0u);
    EXPECT_EQ(ok.GetNativeError(), 1u);
    EXPECT_STREQ(ok.GetErrorString(), "Success");
}

TEST_F(ErrTest, LinuxErrnoMapping)
{
    const struct
    {
        U16 m_errno;
        U32 m_code;
        const char* m_text;
    } cases[] = {
        {0, 0, "Success"},
        {1, 1, "Operation not permitted"},
        {12, 12, "Not enough space"},
        {15, 0x0F01000F, "Block device required"},
        {26, 139, "Text file busy"},
        {35, 36, "Resource deadlock avoided"},
        {41, 0x0F010029, "Unknown error 41"},
        {44, 0x0F01002C, "Channel number out of range"},
        {58, 0x0F01003A, "Unknown error 58"},
        {84, 42, "Illegal byte sequence"},
        {98, 100, "Address already in use"},
        {110, 138, "Connection timed out"},
        {124, 0x0F01007C, "Wrong medium type"},
        {125, 105, "Operation canceled"},
        {126, 0x0F01007E, "Unknown Linux subsystem error"},
        {200, 0x0F0100C8, "Unknown Linux subsystem error"},
    };
    for (const auto& c : cases)
    {
        const Err err = Err::FromLinuxErrno(c.m_errno);
        EXPECT_EQ(err.GetCode(), c.m_code) << c.m_errno;
        EXPECT_EQ(err.GetNativeError(), 0u);
        EXPECT_STREQ(err.GetErrorString(), c.m_text) << c.m_errno;
    }
    // Every mapped code is a C runtime errno or the Linux subsystem's code of the same number.
    for (U16 e = 1; e < 126; ++e)
    {
        const Err err = Err::FromLinuxErrno(e);
        if (err.GetSubsystem() == Err::kSubsystemLinux)
            EXPECT_EQ(err.GetIndex(), e);
        else
            EXPECT_EQ(err.GetSubsystem(), Err::kSubsystemCrt) << e;
        EXPECT_STRNE(err.GetErrorString(), "Unknown error") << e;
    }
}

TEST_F(ErrTest, SubsystemTablesClampToTheirLastEntry)
{
    const struct
    {
        U32 m_code;
        const char* m_text;
    } cases[] = {
        {MakeErrorCode(Err::kSubsystemDefault, 0), "General error"},
        {MakeErrorCode(Err::kSubsystemDefault, 200), "Out of Strell2 Op Handles"},
        {MakeSuccessCode(Err::kSubsystemDefault, 0), "Success with warning"},
        {MakeSuccessCode(Err::kSubsystemDefault, 9), "Unknown default subsystem success"},
        {MakeErrorCode(Err::kSubsystemEnvironment, 4), "Unknown environment subsystem error"},
        {MakeErrorCode(Err::kSubsystemDatabase, 1), "Cannot connect to SQL server"},
        {MakeSuccessCode(Err::kSubsystemMessageSocket, 0),
         "A response was received for the message specified"},
        {MakeErrorCode(Err::kSubsystemMessageSocket, 11),
         "An attempt was made to send a response when all necessary responses have already been sent"},
        {MakeErrorCode(Err::kSubsystemShaderCompiler, 3), "Generic cgfx compiler error"},
        {MakeErrorCode(Err::kSubsystemGameData, 10), "Spawning Suppressed"},
        {MakeSuccessCode(Err::kSubsystemGameData, 0), "Success"},
        {MakeErrorCode(Err::kSubsystemSoundBank, 13), "Sound bank load failure; probably corrupted."},
        {MakeSuccessCode(Err::kSubsystemSoundBank, 0), "Busy"},
        {MakeErrorCode(Err::kSubsystemSynth, 5), "Out of voices"},
        {MakeSuccessCode(Err::kSubsystemSynth, 1), "Client retained voice past shutdown"},
        {MakeErrorCode(1272, 0), "Error from unknown subsystem"},
        {MakeSuccessCode(1000, 3), "Error from unknown subsystem"},
        {MakeErrorCode(Err::kSubsystemCrt, 22), "Invalid argument"},
        {MakeErrorCode(Err::kSubsystemCrt, 140), "Operation would block"},
        {MakeErrorCode(Err::kSubsystemCrt, 77), "Unknown error"},
    };
    for (const auto& c : cases)
        EXPECT_STREQ(Err(c.m_code).GetErrorString(), c.m_text) << std::hex << c.m_code;
    EXPECT_EQ(Err(Err::kOutOfMemory).GetErrorString(), std::string("Out of memory"));
}

TEST_F(ErrTest, FixedMessageAndShaderProviderTakePrecedence)
{
    EXPECT_STREQ(Err(Err::kNotFound, 0, "the file is gone").GetErrorString(), "the file is gone");
    EXPECT_STREQ(Err(0, 0, "ignored").GetErrorString(), "Success");
    Err::SetShaderCompilerMessageProvider(ShaderText);
    EXPECT_STREQ(Err(MakeErrorCode(Err::kSubsystemShaderCompiler, 3)).GetErrorString(), "shader line 3");
    // A provider without a text leaves the code to the fixed texts.
    EXPECT_STREQ(Err(MakeErrorCode(Err::kSubsystemShaderCompiler, 4)).GetErrorString(),
                 "Generic cgfx compiler error");
}
