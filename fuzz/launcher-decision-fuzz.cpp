// Fuzzes the launcher's decision: for any arguments the command line stays within its
// 8192-byte buffer and the path within its 260 bytes, both terminated, and both equal
// the cut prefixes of the untruncated texts; splitting the command line back gives the
// forwarded arguments, the last possibly cut.
//
// Input: the first byte picks the processor (vendor and whether features are missing);
// the rest is split into arguments at zero bytes. An argument of the single byte 1 is
// "launchconfig" (in a letter case picked by the following argument's length); one
// starting with byte 2 expands to (next byte + 1) x 64 letters, so short inputs reach the
// buffer's end.
#include "launcher/launcher-decision.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace
{
void Check(bool condition)
{
    if (!condition)
        abort();
}

bool IsLaunchConfig(const std::string& arg)
{
    if (arg.size() != 12)
        return false;
    for (size_t i = 0; i < 12; ++i)
    {
        char c = arg[i];
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
        if (c != "launchconfig"[i])
            return false;
    }
    return true;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    CpuInfo cpu = {};
    cpu.m_isIntel = (data[0] & 3) == 1;
    cpu.m_isAMD = (data[0] & 3) == 2;
    cpu.m_features = (data[0] & 4) ? ~U64(0) : ~U64(0) ^ (U64(1) << ((data[0] >> 3) % 16));

    std::vector<std::string> args = {"launcher.exe"};
    std::string current;
    for (size_t i = 1; i <= size; ++i)
    {
        if (i < size && data[i] != 0)
        {
            current += char(data[i]);
            continue;
        }
        if (current == "\x01")
            current = (args.size() % 2) ? "LaunchConfig" : "launchconfig";
        else if (current.size() >= 2 && current[0] == '\x02')
            current = std::string((U8(current[1]) + 1u) * 64u, 'a');
        args.push_back(current);
        current.clear();
    }
    std::vector<const char*> argv;
    for (const std::string& arg : args)
        argv.push_back(arg.c_str());

    // Heap-allocated at its exact size so that a write past the record is caught too.
    auto plan = std::make_unique<LaunchPlan>();
    PlanLaunch(cpu, int(argv.size()), argv.data(), *plan);

    // The untruncated texts, built independently.
    std::string fullCommandLine;
    std::string configuration;
    std::vector<std::string> forwarded;
    for (size_t i = 1; i < args.size(); ++i)
    {
        if (fullCommandLine.size() >= kLaunchCommandLineSize - 1)
            break;
        if (IsLaunchConfig(args[i]))
        {
            if (i + 1 < args.size())
                configuration = args[++i];
            continue;
        }
        fullCommandLine += " \"" + args[i] + "\"";
        forwarded.push_back(args[i]);
    }
    const std::string expectedCommandLine = fullCommandLine.substr(0, kLaunchCommandLineSize - 1);
    const bool missing = plan->m_numMissingFeatures != 0;
    const std::string expectedPath =
        ("./marrow" + configuration + (missing ? "-l" : "") + ".exe").substr(0, kLaunchPathSize - 1);

    Check(memchr(plan->m_commandLine, 0, kLaunchCommandLineSize) != nullptr);
    Check(memchr(plan->m_path, 0, kLaunchPathSize) != nullptr);
    Check(plan->m_commandLine == expectedCommandLine);
    Check(plan->m_commandLineLength == expectedCommandLine.size());
    Check(plan->m_path == expectedPath);
    Check(plan->m_numForwardedArgs == forwarded.size());
    Check(plan->m_numForwardedArgs <= kMaxForwardedArgs);
    Check(plan->m_numMissingFeatures <= kNumRequiredCpuFeatures);

    std::vector<char> scratch(kLaunchCommandLineSize);
    std::vector<const char*> split(kMaxForwardedArgs);
    const U32 count = SplitForwardedArgs(*plan, scratch.data(), split.data());
    Check(count <= forwarded.size());
    for (U32 i = 0; i < count; ++i)
    {
        const bool cut = plan->m_lastArgCut && i + 1 == forwarded.size();
        if (cut)
            Check(forwarded[i].compare(0, strlen(split[i]), split[i]) == 0);
        else
            Check(forwarded[i] == split[i]);
    }
    return 0;
}
