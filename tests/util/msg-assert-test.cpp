#include "corelib/util/msg-assert.h"

#include "corelib/util/msg-platform.h"
#include "tests/support/breakpoint-catcher.h"
#include "tests/support/test-support.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

namespace
{
std::vector<std::string> s_events;

struct ReportSeen
{
    std::string condition, sourcePath, function, extra, message;
    int line = 0;
    bool hasMessage = false;
};
ReportSeen s_report;

void RecordScope(bool entering)
{
    s_events.push_back(entering ? "scope+" : "scope-");
}
void RecordFirst()
{
    s_events.push_back("first");
}
void RecordSecond()
{
    s_events.push_back("second");
}
void RecordReport(const char* condition, const char* sourcePath, const char* function, const char* extra,
                  int line, const char* message)
{
    s_events.push_back("report");
    s_report.condition = condition;
    s_report.sourcePath = sourcePath;
    s_report.function = function;
    s_report.extra = extra;
    s_report.line = line;
    s_report.hasMessage = message != nullptr;
    s_report.message = message ? message : "";
}
const char* Format(const char* format, ...)
{
    static char buffer[256];
    s_events.push_back("format");
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    return buffer;
}

// Installs recording hooks for one test and puts the test's own handler back after it.
class AssertHooksTest : public testing::Test
{
protected:
    void SetUp() override
    {
        s_events.clear();
        s_report = ReportSeen();
        SetAssertScopeHook(RecordScope);
        SetAssertFirstNotifyHook(RecordFirst);
        SetAssertSecondNotifyHook(RecordSecond);
        SetAssertReportHandler(RecordReport);
        SetAssertMessageFormatter(Format);
    }
    void TearDown() override
    {
        SetAssertScopeHook(nullptr);
        SetAssertFirstNotifyHook(nullptr);
        SetAssertSecondNotifyHook(nullptr);
        InstallTestAssertHandler();
    }
};

int CheckPositive(int value)
{
    OX_ASSERT_MSG(value > 0, "value was %d", value);
    return value * 2;
}

TEST_F(AssertHooksTest, HooksRunInOrderAndExecutionResumesAfterTheBreakpoint)
{
    ScopedBreakpointCatcher catcher;
    int result = CheckPositive(-4);
    EXPECT_EQ(result, -8);
    EXPECT_EQ(ScopedBreakpointCatcher::GetCaughtCount(), 1);
    const std::vector<std::string> expected = {"scope+", "first", "second", "format", "report", "scope-"};
    EXPECT_EQ(s_events, expected);
    EXPECT_EQ(s_report.condition, "value > 0");
    EXPECT_EQ(s_report.function, "CheckPositive");
    EXPECT_EQ(s_report.sourcePath, "tests/util/msg-assert-test.cpp");
    EXPECT_EQ(s_report.extra, "");
    EXPECT_GT(s_report.line, 0);
    EXPECT_TRUE(s_report.hasMessage);
    EXPECT_EQ(s_report.message, "value was -4");
    EXPECT_EQ(GetLastAssertThreadId(), MsgCurrentThreadId());
}

TEST_F(AssertHooksTest, PlainAssertionCarriesNoMessageAndAMissingFormatterGivesEmptyText)
{
    ScopedBreakpointCatcher catcher;
    int* pNothing = nullptr;
    OX_ASSERT(pNothing != nullptr);
    EXPECT_EQ(s_report.condition, "pNothing != nullptr");
    EXPECT_FALSE(s_report.hasMessage);

    SetAssertMessageFormatter(nullptr);
    OX_ASSERT_MSG(pNothing != nullptr, "never formatted %d", 1);
    EXPECT_TRUE(s_report.hasMessage);
    EXPECT_EQ(s_report.message, "");
    EXPECT_EQ(ScopedBreakpointCatcher::GetCaughtCount(), 2);
}

TEST_F(AssertHooksTest, WithoutAHandlerTheMessageIsNeverFormatted)
{
    ScopedBreakpointCatcher catcher;
    SetAssertReportHandler(nullptr);
    CheckPositive(0);
    const std::vector<std::string> expected = {"scope+", "first", "second", "scope-"};
    EXPECT_EQ(s_events, expected);
}

TEST(AssertReport, TrueConditionsCostNothingVisible)
{
    int calls = 0;
    OX_ASSERT(++calls == 1);
    EXPECT_EQ(calls, 1);
}

TEST(AssertReport, WithoutADebuggerTheBreakpointEndsTheProcess)
{
    SetAssertReportHandler(nullptr);
    EXPECT_DEATH(CheckPositive(-1), "");
    InstallTestAssertHandler();
    EXPECT_DEATH(CheckPositive(-1), "Assertion failed: value > 0\n.*CheckPositive.*\n  value was -1");
}

TEST(AssertReport, CountersAndSpareHooks)
{
    U32 before = IncrementAssertSecondCounter();
    EXPECT_TRUE(IsAssertSecondCounterSet());
    EXPECT_EQ(IncrementAssertSecondCounter(), before + 1);
    U32 first = IncrementAssertFirstCounter();
    EXPECT_EQ(IncrementAssertFirstCounter(), first + 1);
    AssertSpareHook hook = [] {};
    SetAssertSpareHook(1, hook);
    EXPECT_EQ(GetAssertSpareHook(1), hook);
    EXPECT_EQ(GetAssertSpareHook(0), nullptr);
    EXPECT_DEATH(SetAssertSpareHook(2, hook), "slot >= 0 && slot < 2");
}
} // namespace
