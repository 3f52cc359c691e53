#include "launcher/launcher-decision.h"

#include "corelib/util/msg-assert.h"
#include "corelib/util/msg.h"

#include <cstdio>
#include <cstring>

const U64 kRequiredCpuFeatures[kNumRequiredCpuFeatures] = {
    kCpuFeatureMmx,  kCpuFeatureSse,  kCpuFeatureAbm,  kCpuFeaturePopcnt, kCpuFeatureLzcnt,
    kCpuFeatureF16c, kCpuFeatureBmi1, kCpuFeatureBmi2, kCpuFeatureAvx,    kCpuFeatureAvx2,
};

namespace
{
constexpr const char* kGameBaseName = "marrow";
constexpr const char* kLowSpecSuffix = "-l";
constexpr const char* kLaunchConfigArg = "launchconfig";

// ASCII-only case-insensitive comparison: the keyword is plain ASCII, and bytes of
// other encodings must never match it by a locale's rules.
bool EqualsIgnoringAsciiCase(const char* pText, const char* pKeyword)
{
    for (; *pText && *pKeyword; ++pText, ++pKeyword)
    {
        char c = *pText;
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
        if (c != *pKeyword)
            return false;
    }
    return *pText == *pKeyword;
}
} // namespace

void PlanLaunch(const CpuInfo& cpu, int argc, const char* const* argv, LaunchPlan& plan)
{
    OX_ASSERT(argc == 0 || argv != nullptr);

    // A feature that means nothing on this vendor (abm off AMD, lzcnt off Intel) is never missing.
    plan.m_numMissingFeatures = 0;
    for (U64 id : kRequiredCpuFeatures)
    {
        if (IsCpuFeatureApplicable(cpu, id) && !HasCpuFeature(cpu, id))
            plan.m_missingFeatures[plan.m_numMissingFeatures++] = id;
    }
    const char* pSuffix = plan.m_numMissingFeatures ? kLowSpecSuffix : "";

    const char* pConfiguration = "";
    U32 offset = 0;
    plan.m_commandLine[0] = '\0';
    plan.m_numForwardedArgs = 0;
    plan.m_lastArgCut = false;
    constexpr U32 kLastIndex = kLaunchCommandLineSize - 1;
    for (int index = 1; index < argc; ++index)
    {
        // Full: an earlier argument was cut (or ended exactly at the end); nothing later is seen.
        if (offset >= kLastIndex)
            break;
        const char* pArg = argv[index];
        OX_ASSERT(pArg != nullptr);
        if (EqualsIgnoringAsciiCase(pArg, kLaunchConfigArg))
        {
            // The last pair wins; a dangling keyword is dropped and changes nothing.
            if (index + 1 < argc)
            {
                pConfiguration = argv[index + 1];
                OX_ASSERT(pConfiguration != nullptr);
                ++index;
            }
            continue;
        }
        const U32 room = kLaunchCommandLineSize - offset;
        const int written = snprintf(plan.m_commandLine + offset, room, " \"%s\"", pArg);
        OX_ASSERT(written >= 0);
        plan.m_forwardedArgOffsets[plan.m_numForwardedArgs++] = U16(offset);
        // snprintf counts what it would have written; the offset advances only over
        // what the buffer holds, so it never points past the terminator.
        if (U32(written) >= room)
        {
            offset = kLastIndex;
            plan.m_lastArgCut = true;
        }
        else
        {
            offset += U32(written);
        }
    }
    plan.m_commandLineLength = offset;

    snprintf(plan.m_path, sizeof(plan.m_path), "./%s%s%s.exe", kGameBaseName, pConfiguration, pSuffix);
    plan.m_path[sizeof(plan.m_path) - 1] = '\0';
}

void PrintMissingCpuFeatures(const LaunchPlan& plan)
{
    for (U32 index = 0; index < plan.m_numMissingFeatures; ++index)
    {
        SetActiveMsgOutput(kMsgChannelInfo);
        PrintToActiveMsgOutput("%s", index == 0 ? "Missing CPU features: " : ", ");
        SetActiveMsgOutput(kMsgChannelInfo);
        PrintToActiveMsgOutput("%s", GetCpuFeatureName(plan.m_missingFeatures[index]));
    }
}

U32 SplitForwardedArgs(const LaunchPlan& plan, char* pScratch, const char** ppArgs)
{
    memcpy(pScratch, plan.m_commandLine, kLaunchCommandLineSize);
    const U32 end = plan.m_commandLineLength;
    U32 count = 0;
    for (U32 arg = 0; arg < plan.m_numForwardedArgs; ++arg)
    {
        const U32 start = plan.m_forwardedArgOffsets[arg];
        const bool isLast = arg + 1 == plan.m_numForwardedArgs;
        const U32 next = isLast ? end : plan.m_forwardedArgOffsets[arg + 1];
        const U32 textStart = start + 2; // after the blank and the opening quote
        if (isLast && plan.m_lastArgCut)
        {
            // The terminator at the buffer's end closes the cut text.
            if (textStart > end)
                break; // only the blank fit
            ppArgs[count++] = pScratch + textStart;
            break;
        }
        // A whole argument: the closing quote is the last character before the next one.
        pScratch[next - 1] = '\0';
        ppArgs[count++] = pScratch + textStart;
    }
    return count;
}
