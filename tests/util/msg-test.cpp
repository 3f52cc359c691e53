#include "corelib/util/msg.h"

#include "tests/support/test-support.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace
{
// Records the thread's message tag as it is at the moment of each print.
class DoutTagRecorder : public DoutCapture
{
public:
    void Print(const char* text) override
    {
        DoutCapture::Print(text);
        m_tagAtPrint = GetMsgTag();
    }
    U64 m_tagAtPrint = 0;
};

class MsgTest : public testing::Test
{
protected:
    void SetUp() override
    {
        InitMsgOutputs();
        SetMsgOutputRemap(nullptr);
        SetMsgTag(0);
    }
    void TearDown() override
    {
        SetMsgOutputRemap(nullptr);
        InitMsgOutputs();
    }
    DoutCapture m_out;
};

// Runs first in this binary: nothing has called InitMsgOutputs yet.
TEST(MsgBeforeInit, EveryChannelIsEmptyAndSilent)
{
    for (int channel = 0; channel < kNumMsgChannels; ++channel)
        EXPECT_EQ(GetMsgOutput(channel), nullptr) << channel;
    PrintToMsgOutput(1, "dropped %d", 1);
    PrintError("dropped");
    PrintToActiveMsgOutputRaw("dropped");
}

TEST_F(MsgTest, InitPointsEveryChannelAtTheNullOutput)
{
    for (int channel = 0; channel < kNumMsgChannels; ++channel)
    {
        ASSERT_NE(GetMsgOutput(channel), nullptr);
        EXPECT_STREQ(GetMsgOutput(channel)->GetName(), "NULL");
    }
    EXPECT_EQ(GetActiveMsgOutput(), 0);
}

TEST_F(MsgTest, DisableThenEnableRestoresTheInstalledOutput)
{
    SetMsgOutput(5, &m_out);
    EnableMsgOutput(5, false);
    PrintToMsgOutput(5, "hidden");
    EXPECT_STREQ(GetMsgOutput(5)->GetName(), "NULL");
    EnableMsgOutput(5, true);
    PrintToMsgOutput(5, "shown %d", 5);
    EXPECT_EQ(GetMsgOutput(5), &m_out);
    EXPECT_EQ(m_out.m_text, "shown 5");
}

TEST_F(MsgTest, RemapHookRedirectsAndOutOfRangeGivesNull)
{
    SetMsgOutput(2, &m_out);
    SetMsgOutputRemap([](int channel) { return channel == 7 ? 2 : 35; });
    EXPECT_EQ(GetMsgOutput(7), &m_out);
    EXPECT_EQ(GetMsgOutput(3), nullptr);
    PrintToMsgOutput(7, "via %s", "remap");
    EXPECT_EQ(m_out.m_text, "via remap");
}

TEST_F(MsgTest, ErrorAndWarningPrintersWrapTheMessageInColour)
{
    SetMsgOutput(8, &m_out);
    PrintErrorToMsgOutput(8, "disk %d", 3);
    EXPECT_EQ(m_out.m_text, "\x1b[0;31mERROR: disk 3\x1b[m");
    m_out.m_text.clear();
    SetActiveMsgOutput(8);
    PrintWarning("low %s", "memory");
    EXPECT_EQ(m_out.m_text, "\x1b[0;33mWARNING: low memory\x1b[m");
}

TEST_F(MsgTest, RawPrintUsesChunksOf511AndKeepsPercentSigns)
{
    SetMsgOutput(1, &m_out);
    SetActiveMsgOutput(1);
    std::string text(1200, 'x');
    text[10] = '%';
    text[11] = 'd';
    PrintToActiveMsgOutputRaw(text.c_str());
    EXPECT_EQ(m_out.m_text, text);
    EXPECT_EQ(m_out.m_printCount, 3);
    EXPECT_EQ(m_out.m_flushCount, 3);
}

TEST_F(MsgTest, FormattedTextIsCutAt3071Characters)
{
    SetMsgOutput(1, &m_out);
    std::string longText(5000, 'a');
    PrintToMsgOutput(1, "%s", longText.c_str());
    EXPECT_EQ(m_out.m_text.size(), 3071u);
    m_out.m_text.clear();
    // The prefix shares the same buffer.
    PrintErrorToMsgOutput(1, "%s", longText.c_str());
    EXPECT_EQ(m_out.m_text, std::string("\x1b[0;31mERROR: ") + std::string(3071 - 7, 'a') + "\x1b[m");
}

TEST_F(MsgTest, ColourWordAndFloatsBecomeTrueColourEscapes)
{
    SetMsgOutput(3, &m_out);
    SetMsgOutputColor(3, 0xFF0000FFu);
    EXPECT_EQ(m_out.m_text, "\x1b[xFF0000m");
    m_out.m_text.clear();
    const float rgba[4] = {2.0f, 0.5f, -1.0f, 0.0f};
    SetMsgOutputColor(3, rgba);
    EXPECT_EQ(m_out.m_text, "\x1b[xFF7F00m");
    m_out.m_text.clear();
    SetMsgOutputTextColor(3, 9);
    EXPECT_EQ(m_out.m_text, "\x1b[m");
}

TEST_F(MsgTest, IndentPrintsTwoBlanksPerLevelUpTo511)
{
    SetMsgOutput(4, &m_out);
    PrintIndent(4, 3);
    EXPECT_EQ(m_out.m_text, "      ");
    m_out.m_text.clear();
    PrintIndent(4, 1000);
    EXPECT_EQ(m_out.m_text, std::string(511, ' '));
}

TEST_F(MsgTest, TaggedPrintSetsTheTagForTheCallOnly)
{
    DoutTagRecorder recorder;
    SetMsgOutput(6, &recorder);
    SetActiveMsgOutput(6);
    SetMsgTag(11);
    PrintToActiveMsgOutput(42u, "tagged");
    EXPECT_EQ(recorder.m_tagAtPrint, 42u);
    EXPECT_EQ(GetMsgTag(), 11u);
    PrintError(7u, "tagged error");
    EXPECT_EQ(recorder.m_tagAtPrint, 7u);
    EXPECT_EQ(GetMsgTag(), 11u);
}

TEST_F(MsgTest, ActiveChannelAndTagArePerThread)
{
    DoutCapture other;
    SetMsgOutput(1, &m_out);
    SetMsgOutput(2, &other);
    SetActiveMsgOutput(1);
    SetMsgTag(5);
    std::thread worker(
        [&]
        {
            EXPECT_EQ(GetActiveMsgOutput(), 0);
            EXPECT_EQ(GetMsgTag(), 0u);
            SetActiveMsgOutput(2);
            PrintToActiveMsgOutput("from worker");
        });
    worker.join();
    PrintToActiveMsgOutput("from main");
    EXPECT_EQ(m_out.m_text, "from main");
    EXPECT_EQ(other.m_text, "from worker");
    EXPECT_EQ(GetMsgTag(), 5u);
}

TEST_F(MsgTest, MisuseIsReportedWithTheConditionText)
{
    SetMsgOutput(1, &m_out);
    SetActiveMsgOutput(1);
    const char* nullFormat = nullptr;
    EXPECT_DEATH(PrintToActiveMsgOutput(nullFormat), "pStr != nullptr");
    EXPECT_DEATH(PrintToActiveMsgOutputRaw(nullptr), "pStr != nullptr");
    EXPECT_DEATH(PrintToMsgOutput(35, "x"), "channel >= 0 && channel < kNumMsgChannels");
    EXPECT_DEATH(SetMsgOutput(-1, &m_out), "channel >= 0 && channel < kNumMsgChannels");
}
} // namespace
