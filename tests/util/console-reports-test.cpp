// The console report a host installs with one call: the assertion report on standard
// error before the breakpoint, its formatted message, and console outputs on the report
// channels that have none.
#include "corelib/util/console-reports.h"

#include "corelib/util/msg-assert.h"
#include "corelib/util/msg.h"
#include "tests/support/test-support.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace
{
// The hooks as a host finds them before it installs anything.
void ClearAssertHooks()
{
    SetAssertReportHandler(nullptr);
    SetAssertMessageFormatter(nullptr);
}

int FailWithMessage(int value)
{
    OX_ASSERT_MSG(value == 0, "value was %d, expected %s", value, "zero");
    return value;
}

int FailWithoutMessage(int value)
{
    OX_ASSERT(value == 0);
    return value;
}

// Restores what the test main installed: no channel outputs, the test's report.
class ConsoleReportsTest : public testing::Test
{
protected:
    void TearDown() override
    {
        InitMsgOutputs();
        InstallTestAssertHandler();
    }
};

TEST_F(ConsoleReportsTest, AssertionWritesConditionPlaceFunctionAndFormattedMessageToStandardError)
{
    EXPECT_DEATH(
        {
            ClearAssertHooks();
            InstallConsoleReports();
            FailWithMessage(42);
        },
        "Assertion failed: value == 0\n  in FailWithMessage \\(.*console-reports-test\\.cpp:.*\\)\n"
        "  value was 42, expected zero\n");
}

TEST_F(ConsoleReportsTest, AssertionWithoutMessageEndsAfterTheFunctionLine)
{
    EXPECT_DEATH(
        {
            ClearAssertHooks();
            InstallConsoleReports();
            FailWithoutMessage(7);
        },
        "Assertion failed: value == 0\n  in FailWithoutMessage \\(.*console-reports-test\\.cpp:.*\\)\n$");
}

#if !OX_PLATFORM_WINDOWS
// Without the call only the breakpoint is seen (Wine may print its own lines, so this is
// checked natively only).
TEST_F(ConsoleReportsTest, WithoutTheCallAnAssertionPrintsNothing)
{
    EXPECT_DEATH(
        {
            ClearAssertHooks();
            FailWithMessage(42);
        },
        "^$");
}
#endif

TEST_F(ConsoleReportsTest, ConsoleOnTheReportChannelsThatHaveNoOutput)
{
    InitMsgOutputs();
    DoutCapture hostOutput;
    SetMsgOutput(kMsgChannelError, &hostOutput);
    InstallConsoleReports();

    for (int channel : kConsoleReportChannels)
    {
        DoutBase* pOutput = GetMsgOutput(channel);
        ASSERT_NE(pOutput, nullptr) << "channel " << channel;
        if (channel == kMsgChannelError)
            EXPECT_EQ(pOutput, &hostOutput);
        else
            EXPECT_STREQ(pOutput->GetName(), "Console") << "channel " << channel;
    }
    EXPECT_EQ(GetMsgOutput(3), GetNullMsgOutput()) << "other channels stay as they were";

    // A second call changes nothing; the console prints on standard output.
    DoutBase* pConsole = GetMsgOutput(kMsgChannelInfo);
    InstallConsoleReports();
    EXPECT_EQ(GetMsgOutput(kMsgChannelInfo), pConsole);
    testing::internal::CaptureStdout();
    PrintToMsgOutput(33, "worker %d reports %s\n", 3, "this");
    PrintToMsgOutput(kMsgChannelError, "kept by the host\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "worker 3 reports this\n");
    EXPECT_EQ(hostOutput.m_text, "kept by the host\n");
}

TEST_F(ConsoleReportsTest, EachThreadFormatsIntoItsOwnBuffer)
{
    InstallConsoleReports();
    AssertMessageFormatter format = GetAssertMessageFormatter();
    ASSERT_NE(format, nullptr);
    const char* pMine = format("main %d", 1);
    const char* pOther = nullptr;
    std::string otherText;
    std::thread other(
        [&]
        {
            pOther = format("other %s", "thread");
            otherText = pOther;
        });
    other.join();
    EXPECT_NE(pMine, pOther);
    EXPECT_STREQ(pMine, "main 1");
    EXPECT_EQ(otherText, "other thread");

    // Messages longer than the buffer are cut, never overrun.
    const std::string longText(5000, 'x');
    EXPECT_EQ(std::string(format("%s", longText.c_str())).size(), 3071u);
}
} // namespace
