#include "launcher/launcher-decision.h"

#include "corelib/util/msg.h"
#include "tests/support/test-support.h"
#include "tests/system/cpu-dumps.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace
{
// A processor that has every feature the full build needs.
CpuInfo FullCpu(bool intel = true)
{
    CpuInfo cpu = {};
    cpu.m_isIntel = intel;
    cpu.m_isAMD = !intel;
    for (U64 id : kRequiredCpuFeatures)
        cpu.m_features |= U64(1) << id;
    return cpu;
}

struct Planned
{
    std::unique_ptr<LaunchPlan> m_plan = std::make_unique<LaunchPlan>();
    std::string CommandLine() const { return m_plan->m_commandLine; }
    std::string Path() const { return m_plan->m_path; }
    std::vector<std::string> Forwarded() const
    {
        std::vector<char> scratch(kLaunchCommandLineSize);
        std::vector<const char*> args(kMaxForwardedArgs);
        U32 count = SplitForwardedArgs(*m_plan, scratch.data(), args.data());
        return std::vector<std::string>(args.begin(), args.begin() + count);
    }
};

// Plans a launch for the given arguments (the launcher's own name is added in front).
Planned Plan(const CpuInfo& cpu, const std::vector<std::string>& args)
{
    std::vector<const char*> argv = {"launcher.exe"};
    for (const std::string& arg : args)
        argv.push_back(arg.c_str());
    Planned planned;
    // Fill with garbage first: every output must be written by the plan itself.
    memset(planned.m_plan.get(), 0x5A, sizeof(LaunchPlan));
    PlanLaunch(cpu, int(argv.size()), argv.data(), *planned.m_plan);
    return planned;
}

class LauncherDecisionTest : public testing::Test
{
protected:
    void SetUp() override
    {
        InitMsgOutputs();
        SetMsgOutput(kMsgChannelInfo, &m_out);
    }
    void TearDown() override { InitMsgOutputs(); }

    std::string Report(const LaunchPlan& plan)
    {
        m_out.m_text.clear();
        PrintMissingCpuFeatures(plan);
        return m_out.m_text;
    }

    DoutCapture m_out;
};

TEST_F(LauncherDecisionTest, ArgumentsAndConfiguration)
{
    struct Case
    {
        std::vector<std::string> m_args;
        const char* m_pCommandLine;
        const char* m_pPath;
    };
    const Case kCases[] = {
        {{}, "", "./marrow.exe"},
        {{"a"}, " \"a\"", "./marrow.exe"},
        {{"launchconfig", "_x"}, "", "./marrow_x.exe"},
        {{"LaunchConfig", "_x"}, "", "./marrow_x.exe"},
        {{"LAUNCHCONFIG", "_x", "b"}, " \"b\"", "./marrow_x.exe"},
        {{"a", "launchconfig", "b", "c"}, " \"a\" \"c\"", "./marrowb.exe"},
        // Dangling: dropped; the earlier value stays.
        {{"a", "launchconfig"}, " \"a\"", "./marrow.exe"},
        {{"launchconfig", "x", "y", "launchconfig"}, " \"y\"", "./marrowx.exe"},
        // Repeated: the last value wins and no pair is forwarded.
        {{"launchconfig", "one", "launchconfig", "two"}, "", "./marrowtwo.exe"},
        // The value after the keyword is taken even when it is the keyword itself.
        {{"launchconfig", "launchconfig", "z"}, " \"z\"", "./marrowlaunchconfig.exe"},
        // Near misses are ordinary arguments; case folding is ASCII only.
        {{"launchconfigs", "launchconfi", "-launchconfig", "LAUNCHCONF\xC4\xB0G"},
         " \"launchconfigs\" \"launchconfi\" \"-launchconfig\" \"LAUNCHCONF\xC4\xB0G\"",
         "./marrow.exe"},
        // Blanks, quotes and backslashes are forwarded unchanged inside the quotes.
        {{"with blank", "say \"hi\"", "C:\\dir\\", "\\\"", ""},
         " \"with blank\" \"say \"hi\"\" \"C:\\dir\\\" \"\\\"\" \"\"",
         "./marrow.exe"},
        {{"caf\xC3\xA9", "\xFF\x80"}, " \"caf\xC3\xA9\" \"\xFF\x80\"", "./marrow.exe"},
    };
    for (const Case& c : kCases)
    {
        Planned planned = Plan(FullCpu(), c.m_args);
        EXPECT_EQ(planned.CommandLine(), c.m_pCommandLine);
        EXPECT_EQ(planned.Path(), c.m_pPath);
        EXPECT_EQ(planned.m_plan->m_commandLineLength, strlen(c.m_pCommandLine));
        EXPECT_FALSE(planned.m_plan->m_lastArgCut);
        EXPECT_EQ(Report(*planned.m_plan), "");
        // A program started with separate arguments receives exactly the quoted texts.
        std::string rejoined;
        for (const std::string& arg : planned.Forwarded())
            rejoined += " \"" + arg + "\"";
        EXPECT_EQ(rejoined, c.m_pCommandLine);
    }
    // The texts themselves, quotes inside included.
    EXPECT_EQ(Plan(FullCpu(), {"a", "launchconfig", "b", "say \"hi\"", "x y"}).Forwarded(),
              (std::vector<std::string>{"a", "say \"hi\"", "x y"}));
}

TEST_F(LauncherDecisionTest, CommandLineCutAtTheBufferEnd)
{
    const std::string kBig(9000, 'a');
    const U32 kMaxText = kLaunchCommandLineSize - 1;
    struct Case
    {
        const char* m_pName;
        std::vector<std::string> m_args;
        U32 m_numForwarded;  // forwarded argument texts received
        bool m_cut;          // the last one was cut
        size_t m_lastLength; // length of the last received text
        const char* m_pPath;
    };
    const Case kCases[] = {
        // One argument too long: cut, nothing later (not even a launchconfig pair) is seen.
        {"one long", {kBig, "b", "launchconfig", "_x"}, 1, true, kMaxText - 2, "./marrow.exe"},
        // Exactly filling the buffer: whole, but the buffer is full and the scan stops.
        {"exact fit",
         {std::string(kMaxText - 3, 'e'), "launchconfig", "_x"},
         1,
         false,
         kMaxText - 3,
         "./marrow.exe"},
        // Room for the blank and the opening quote only: an empty cut argument.
        {"opening quote", {std::string(kMaxText - 5, 'q'), "next"}, 2, true, 0, "./marrow.exe"},
        // Room for the blank only: no second argument at all.
        {"blank only", {std::string(kMaxText - 4, 'q'), "next"}, 1, true, kMaxText - 4, "./marrow.exe"},
        // A configuration pair before the cut still counts.
        {"pair first", {"launchconfig", "_x", kBig}, 1, true, kMaxText - 2, "./marrow_x.exe"},
    };
    for (const Case& c : kCases)
    {
        Planned planned = Plan(FullCpu(), c.m_args);
        const LaunchPlan& plan = *planned.m_plan;
        EXPECT_EQ(planned.CommandLine().size(), kMaxText) << c.m_pName;
        EXPECT_EQ(plan.m_commandLineLength, kMaxText) << c.m_pName;
        EXPECT_EQ(plan.m_commandLine[kMaxText], '\0') << c.m_pName;
        EXPECT_EQ(plan.m_lastArgCut, c.m_cut) << c.m_pName;
        std::vector<std::string> forwarded = planned.Forwarded();
        ASSERT_EQ(forwarded.size(), c.m_numForwarded) << c.m_pName;
        EXPECT_EQ(forwarded.back().size(), c.m_lastLength) << c.m_pName;
        EXPECT_EQ(planned.Path(), c.m_pPath) << c.m_pName;
        // The text is always the whole-argument prefix of what the arguments would give.
        std::string full;
        for (const std::string& arg : c.m_args)
            full += " \"" + arg + "\"";
        if (c.m_args[0] != "launchconfig")
        {
            EXPECT_EQ(full.compare(0, kMaxText, planned.CommandLine()), 0) << c.m_pName;
        }
    }
}

TEST_F(LauncherDecisionTest, ManyEmptyArgumentsStayWithinTheOffsetTable)
{
    // Three characters each, the densest possible: 2730 fit, the next is left with a blank.
    std::vector<std::string> args(5000, "");
    Planned planned = Plan(FullCpu(), args);
    EXPECT_EQ(planned.m_plan->m_numForwardedArgs, kMaxForwardedArgs);
    EXPECT_EQ(planned.Forwarded().size(), kMaxForwardedArgs - 1);
    args.assign(5000, "x");
    planned = Plan(FullCpu(), args);
    // Four characters each: 2047 whole ones reach 8188; the next keeps its text, cut
    // before its closing quote.
    EXPECT_EQ(planned.Forwarded().size(), 2048u);
    EXPECT_EQ(planned.Forwarded().back(), "x");
    EXPECT_TRUE(planned.m_plan->m_lastArgCut);
    EXPECT_EQ(planned.CommandLine().substr(8184), " \"x\" \"x");
}

TEST_F(LauncherDecisionTest, PathCutAt259Characters)
{
    const std::string kConfig(300, 'c');
    Planned planned = Plan(FullCpu(), {"launchconfig", kConfig});
    EXPECT_EQ(planned.Path(), "./marrow" + std::string(259 - 8, 'c'));
    CpuInfo lowSpec = FullCpu();
    lowSpec.m_features = 0;
    // A configuration just short of the limit: the suffix and extension are cut instead.
    planned = Plan(lowSpec, {"launchconfig", std::string(259 - 8 - 3, 'd')});
    EXPECT_EQ(planned.Path(), "./marrow" + std::string(248, 'd') + "-l.");
}

TEST_F(LauncherDecisionTest, MissingFeaturesByVendor)
{
    struct Case
    {
        const char* m_pName;
        bool m_intel;
        bool m_amd;
        std::vector<U64> m_absent;
        const char* m_pReport;
    };
    const Case kCases[] = {
        {"all present", true, false, {}, ""},
        {"f16c and avx2",
         true,
         false,
         {kCpuFeatureAvx2, kCpuFeatureF16c},
         "Missing CPU features: f16c, avx2"},
        {"intel lzcnt", true, false, {kCpuFeatureLzcnt, kCpuFeatureAbm}, "Missing CPU features: lzcnt"},
        {"amd abm", false, true, {kCpuFeatureLzcnt, kCpuFeatureAbm}, "Missing CPU features: abm"},
        {"other vendor", false, false, {kCpuFeatureLzcnt, kCpuFeatureAbm}, ""},
        {"everything",
         true,
         false,
         {0, 2, 3, 4, 10, 11, 12, 13, 14, 15},
         "Missing CPU features: mmx, sse, popcnt, lzcnt, f16c, bmi1, bmi2, avx, avx2"},
    };
    for (const Case& c : kCases)
    {
        CpuInfo cpu = FullCpu();
        cpu.m_isIntel = c.m_intel;
        cpu.m_isAMD = c.m_amd;
        for (U64 id : c.m_absent)
            cpu.m_features &= ~(U64(1) << id);
        Planned planned = Plan(cpu, {"launchconfig", "_x", "arg"});
        const bool missing = *c.m_pReport != '\0';
        EXPECT_EQ(Report(*planned.m_plan), c.m_pReport) << c.m_pName;
        EXPECT_EQ(planned.Path(), missing ? "./marrow_x-l.exe" : "./marrow_x.exe") << c.m_pName;
        EXPECT_EQ(planned.CommandLine(), " \"arg\"") << c.m_pName;
        if (missing)
        {
            EXPECT_EQ(GetActiveMsgOutput(), kMsgChannelInfo);
        }
    }
}

TEST_F(LauncherDecisionTest, RecordedProcessors)
{
    std::vector<CpuDump> dumps = LoadCpuDumps();
    if (dumps.empty())
        GTEST_SKIP() << "the shared cpuid corpus is not present";
    std::map<std::string, std::string> features = LoadCpuCorpusTable("features.txt");
    // From the raw bits: abm is the shared bit, and counts as abm on AMD, lzcnt on Intel.
    const char* kRequired[] = {"mmx", "sse", "abm", "popcnt", "lzcnt", "f16c", "bmi1", "bmi2", "avx", "avx2"};
    int lowSpecCount = 0;
    for (const CpuDump& dump : dumps)
    {
        std::set<std::string> raw;
        std::istringstream words(features[dump.m_id]);
        std::string word;
        while (words >> word)
            raw.insert(word);
        std::string expected;
        for (std::string name : kRequired)
        {
            if (name == "abm" && dump.m_vendor != "AuthenticAMD")
                continue;
            if (name == "lzcnt" && dump.m_vendor != "GenuineIntel")
                continue;
            if (raw.count(name == "lzcnt" ? "abm" : name))
                continue;
            expected += (expected.empty() ? "Missing CPU features: " : ", ") + name;
        }
        Planned planned = Plan(DetectFromDump(dump), {"x"});
        EXPECT_EQ(Report(*planned.m_plan), expected) << dump.m_id;
        EXPECT_EQ(planned.Path(), expected.empty() ? "./marrow.exe" : "./marrow-l.exe") << dump.m_id;
        lowSpecCount += !expected.empty();
    }
    // The corpus spans both builds.
    EXPECT_GT(lowSpecCount, 0);
    EXPECT_LT(lowSpecCount, int(dumps.size()));
}

TEST_F(LauncherDecisionTest, NullArgumentIsAnAssertion)
{
    const char* argv[] = {"launcher.exe", "a", nullptr};
    auto plan = std::make_unique<LaunchPlan>();
    EXPECT_DEATH(PlanLaunch(FullCpu(), 3, argv, *plan), "pArg != nullptr");
    const char* dangling[] = {"launcher.exe", "launchconfig", nullptr};
    EXPECT_DEATH(PlanLaunch(FullCpu(), 3, dangling, *plan), "pConfiguration != nullptr");
}
} // namespace
