// End-to-end runs of the real launcher binary: a temporary folder holds copies of a
// stand-in game under every name the launcher may choose; each copy records what it
// received. The launcher does not wait for the game, so the test polls for its file.
#include "launcher/launcher-decision.h"
#include "tests/launcher/launcher-process.h"
#include "tests/launcher/stand-in-game.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace
{
// What a stand-in wrote: its executable's name and the raw line or the argument texts.
struct StandInReport
{
    std::string m_exe;
    std::string m_raw;
    std::vector<std::string> m_args;
};

bool ParseStandInReport(const std::string& text, StandInReport& report)
{
    size_t pos = 0;
    while (pos < text.size())
    {
        size_t blank = text.find(' ', pos);
        size_t colon = text.find(':', blank);
        if (blank == std::string::npos || colon == std::string::npos)
            return false;
        std::string key = text.substr(pos, blank - pos);
        size_t length = std::stoul(text.substr(blank + 1, colon - blank - 1));
        std::string value = text.substr(colon + 1, length);
        pos = colon + 1 + length + 1; // the text and its line end
        if (key == "exe")
            report.m_exe = value;
        else if (key == "raw")
            report.m_raw = value;
        else if (key == "arg")
            report.m_args.push_back(value);
    }
    return true;
}

class LauncherEndToEndTest : public testing::Test
{
protected:
    void SetUp() override
    {
        const testing::TestInfo* pInfo = testing::UnitTest::GetInstance()->current_test_info();
        m_base = fs::absolute(fs::path("launcher-e2e-run") / pInfo->name());
        fs::remove_all(m_base);
        NewRunFolder();
    }
    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(m_base, ignored);
        fs::remove(m_base.parent_path(), ignored); // only once empty
    }

    // A fresh current directory for one launcher run (a game that has just written its
    // report may still be running, so its file is never overwritten).
    void NewRunFolder()
    {
        m_dir = m_base / ("run-" + std::to_string(m_numRuns++));
        fs::create_directories(m_dir);
    }

    // Copies the stand-in game to a path relative to the run folder.
    void AddGame(const std::string& relativePath)
    {
        fs::path target = m_dir / relativePath;
        fs::create_directories(target.parent_path());
        fs::copy_file(OX_STAND_IN_EXE, target, fs::copy_options::overwrite_existing);
    }

    // Waits (bounded) for the stand-in's report.
    bool WaitForReport(StandInReport& report, std::chrono::milliseconds limit = std::chrono::seconds(20))
    {
        const fs::path file = m_dir / kStandInOutputFile;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;)
        {
            // Under Wine a file just renamed into place can still fail to open for a
            // moment (a sharing conflict): read again until it holds a whole report.
            if (fs::exists(file))
            {
                std::ifstream in(file, std::ios::binary);
                std::stringstream text;
                if (in)
                    text << in.rdbuf();
                if (!text.str().empty())
                    return ParseStandInReport(text.str(), report);
            }
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    LauncherRun Run(const std::vector<std::string>& args)
    {
        return RunLauncherIn(OX_LAUNCHER_EXE, m_dir.string(), args);
    }

    fs::path m_base;
    fs::path m_dir;
    int m_numRuns = 0;
};

// The launcher ends at once with code 0 and prints nothing, whatever happened to the game.
void ExpectSilentSuccess(const LauncherRun& run)
{
    EXPECT_TRUE(run.m_exited);
    EXPECT_EQ(run.m_exitCode, 0);
    EXPECT_EQ(run.m_output, "");
}

// The executable this machine's processor makes the launcher choose for a configuration.
std::string ExpectedName(const std::string& configuration)
{
    CpuInfo cpu = {};
    DetectCpuInfo(cpu);
    bool missing = false;
    for (U64 id : kRequiredCpuFeatures)
        missing |= IsCpuFeatureApplicable(cpu, id) && !HasCpuFeature(cpu, id);
    return "marrow" + configuration + (missing ? "-l" : "") + ".exe";
}

struct E2ECase
{
    const char* m_pName;
    std::vector<std::string> m_args;
    std::string m_configuration;
    std::vector<std::string> m_received; // the texts a program given separate arguments receives
    bool m_lastCut;                      // the last text lost its closing quote
};

std::vector<E2ECase> Cases()
{
    const std::string kLong(9000, 'a');
    return {
        {"no arguments", {}, "", {}, false},
        {"mixed case", {"LaunchConfig", "_x", "a"}, "_x", {"a"}, false},
        {"upper case", {"b", "LAUNCHCONFIG", "_x"}, "_x", {"b"}, false},
        {"dangling", {"a", "launchconfig"}, "", {"a"}, false},
        {"repeated", {"launchconfig", "_y", "b", "launchConfig", "_x"}, "_x", {"b"}, false},
        {"blanks quotes backslashes",
         {"with blank", "say \"hi\"", "C:\\dir\\", "a\\\\b", "\\\"", ""},
         "",
         {"with blank", "say \"hi\"", "C:\\dir\\", "a\\\\b", "\\\"", ""},
         false},
        {"non-ASCII bytes", {"caf\xC3\xA9", "\xE2\x82\xAC"}, "", {"caf\xC3\xA9", "\xE2\x82\xAC"}, false},
        {"8191-character cut", {kLong, "b", "launchconfig", "_x"}, "", {std::string(8189, 'a')}, true},
    };
}

TEST_F(LauncherEndToEndTest, ForwardsWhatTheCommandLineHolds)
{
    for (const E2ECase& c : Cases())
    {
        SCOPED_TRACE(c.m_pName);
        NewRunFolder();
        const std::string name = ExpectedName(c.m_configuration);
        // Every name the launcher may choose for this configuration.
        AddGame("marrow" + c.m_configuration + ".exe");
        AddGame("marrow" + c.m_configuration + "-l.exe");

        LauncherRun run = Run(c.m_args);
        ExpectSilentSuccess(run);

        StandInReport report;
        ASSERT_TRUE(WaitForReport(report));
        EXPECT_EQ(report.m_exe, name);
        std::string expectedRaw;
        for (const std::string& text : c.m_received)
            expectedRaw += " \"" + text + "\"";
        if (c.m_lastCut)
            expectedRaw.pop_back();
        if (ChildSeesRawCommandLine())
        {
            // Wine hands a child started with an empty command line its quoted
            // application name, as Windows does for a null one.
            if (expectedRaw.empty() && report.m_raw == "\"./" + name + "\"")
                continue;
            EXPECT_EQ(report.m_raw.size(), expectedRaw.size());
            EXPECT_EQ(report.m_raw, expectedRaw);
        }
        else
        {
            EXPECT_EQ(report.m_args, c.m_received);
        }
    }
}

TEST_F(LauncherEndToEndTest, PathCutAt259Characters)
{
    // The configuration names a sub-folder: the 259-character cut leaves a file name
    // without ".exe" inside it, and that is the file started.
    const std::string kSub = std::string(100, 'd');
    const std::string kConfiguration = "/" + kSub + "/" + std::string(200, 'e');
    const std::string cutPath = ("./marrow" + kConfiguration).substr(0, 259);
    const std::string relative = cutPath.substr(2);
    const std::string fileName = relative.substr(relative.rfind('/') + 1);
    ASSERT_EQ(fileName.size(), 259u - 2 - 7 - 101);
    AddGame(relative);

    LauncherRun run = Run({"launchconfig", kConfiguration, "arg"});
    ExpectSilentSuccess(run);
    // The stand-in writes into the current directory, which is the run folder.
    StandInReport report;
    ASSERT_TRUE(WaitForReport(report));
    EXPECT_EQ(report.m_exe, fileName);
    if (ChildSeesRawCommandLine())
    {
        EXPECT_EQ(report.m_raw, " \"arg\"");
    }
    else
    {
        EXPECT_EQ(report.m_args, std::vector<std::string>{"arg"});
    }
}

TEST_F(LauncherEndToEndTest, MissingExecutableStillExitsWithZeroSilently)
{
    // Only a wrongly named game is present; the launcher's choice does not exist.
    AddGame("marrow_other.exe");
    LauncherRun run = Run({"a", "b"});
    ExpectSilentSuccess(run);
    StandInReport report;
    EXPECT_FALSE(WaitForReport(report, std::chrono::milliseconds(500)));
}
} // namespace
