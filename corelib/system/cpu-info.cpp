#include "corelib/system/cpu-info.h"

#include "corelib/system/cpu-info-platform.h"
#include "corelib/util/msg.h"
#include "corelib/util/static-init-order.h"

#include <cstdio>
#include <cstring>

namespace
{
// Where a feature's bit comes from.
enum class CpuidReg : U8
{
    kLeaf1Ecx,
    kLeaf1Edx,
    kLeaf7Ebx,
    kLeaf7Ecx,
    kExtEcx,
    kExtEdx,
};

enum class CpuVendorRule : U8
{
    kAll,
    kIntel,
    kAMD,
};

struct CpuFeatureSource
{
    const char* m_pName;
    CpuidReg m_reg;
    U8 m_bit;
    CpuVendorRule m_vendor;
};

// Indexed by feature id.
constexpr CpuFeatureSource kFeatureTable[kCpuFeatureCount] = {
    {"mmx", CpuidReg::kLeaf1Edx, 23, CpuVendorRule::kAll},
    {"mmxext", CpuidReg::kExtEdx, 22, CpuVendorRule::kAMD},
    {"avx", CpuidReg::kLeaf1Ecx, 28, CpuVendorRule::kAll},
    {"avx2", CpuidReg::kLeaf7Ebx, 5, CpuVendorRule::kAll},
    {"sse", CpuidReg::kLeaf1Edx, 25, CpuVendorRule::kAll},
    {"sse2", CpuidReg::kLeaf1Edx, 26, CpuVendorRule::kAll},
    {"sse3", CpuidReg::kLeaf1Ecx, 0, CpuVendorRule::kAll},
    {"sse41", CpuidReg::kLeaf1Ecx, 19, CpuVendorRule::kAll},
    {"sse42", CpuidReg::kLeaf1Ecx, 20, CpuVendorRule::kAll},
    {"sse4a", CpuidReg::kExtEcx, 6, CpuVendorRule::kAMD},
    {"f16c", CpuidReg::kLeaf1Ecx, 29, CpuVendorRule::kAll},
    {"bmi1", CpuidReg::kLeaf7Ebx, 3, CpuVendorRule::kAll},
    {"bmi2", CpuidReg::kLeaf7Ebx, 8, CpuVendorRule::kAll},
    {"abm", CpuidReg::kExtEcx, 5, CpuVendorRule::kAMD},
    {"lzcnt", CpuidReg::kExtEcx, 5, CpuVendorRule::kIntel},
    {"popcnt", CpuidReg::kLeaf1Ecx, 23, CpuVendorRule::kAll},
    {"rdtscp", CpuidReg::kExtEdx, 27, CpuVendorRule::kIntel},
    {"xsave", CpuidReg::kLeaf1Ecx, 26, CpuVendorRule::kAll},
    {"osxsave", CpuidReg::kLeaf1Ecx, 27, CpuVendorRule::kAll},
    {"monitor", CpuidReg::kLeaf1Ecx, 3, CpuVendorRule::kAll},
    {"ssse3", CpuidReg::kLeaf1Ecx, 9, CpuVendorRule::kAll},
    {"fma", CpuidReg::kLeaf1Ecx, 12, CpuVendorRule::kAll},
    {"aes", CpuidReg::kLeaf1Ecx, 25, CpuVendorRule::kAll},
    {"rdseed", CpuidReg::kLeaf7Ebx, 18, CpuVendorRule::kAll},
    {"rdrand", CpuidReg::kLeaf1Ecx, 30, CpuVendorRule::kAll},
    {"msr", CpuidReg::kLeaf1Edx, 5, CpuVendorRule::kAll},
    {"cx8", CpuidReg::kLeaf1Edx, 8, CpuVendorRule::kAll},
    {"sep", CpuidReg::kLeaf1Edx, 11, CpuVendorRule::kAll},
    {"cmov", CpuidReg::kLeaf1Edx, 15, CpuVendorRule::kAll},
    {"movbe", CpuidReg::kLeaf1Ecx, 22, CpuVendorRule::kAll},
    {"clfsh", CpuidReg::kLeaf1Edx, 19, CpuVendorRule::kAll},
    {"fxsr", CpuidReg::kLeaf1Edx, 24, CpuVendorRule::kAll},
    {"fsgsbase", CpuidReg::kLeaf7Ebx, 0, CpuVendorRule::kAll},
    {"hle", CpuidReg::kLeaf7Ebx, 4, CpuVendorRule::kIntel},
    {"rtm", CpuidReg::kLeaf7Ebx, 11, CpuVendorRule::kIntel},
    {"erms", CpuidReg::kLeaf7Ebx, 9, CpuVendorRule::kAll},
    {"invpcid", CpuidReg::kLeaf7Ebx, 10, CpuVendorRule::kAll},
    {"avx512f", CpuidReg::kLeaf7Ebx, 16, CpuVendorRule::kAll},
    {"avx512pf", CpuidReg::kLeaf7Ebx, 26, CpuVendorRule::kAll},
    {"avx512er", CpuidReg::kLeaf7Ebx, 27, CpuVendorRule::kAll},
    {"avx512cd", CpuidReg::kLeaf7Ebx, 28, CpuVendorRule::kAll},
    {"adx", CpuidReg::kLeaf7Ebx, 19, CpuVendorRule::kAll},
    {"sha", CpuidReg::kLeaf7Ebx, 29, CpuVendorRule::kAll},
    {"lahf", CpuidReg::kExtEcx, 0, CpuVendorRule::kAll},
    {"xop", CpuidReg::kExtEcx, 11, CpuVendorRule::kAMD},
    {"tbm", CpuidReg::kExtEcx, 21, CpuVendorRule::kAMD},
    {"3dnow", CpuidReg::kExtEdx, 31, CpuVendorRule::kAMD},
    {"3dnowext", CpuidReg::kExtEdx, 30, CpuVendorRule::kAMD},
    {"syscall", CpuidReg::kExtEdx, 11, CpuVendorRule::kIntel},
    {"pclmulqdq", CpuidReg::kLeaf1Ecx, 1, CpuVendorRule::kAll},
    {"cmpxchg16b", CpuidReg::kLeaf1Ecx, 13, CpuVendorRule::kAll},
    {"prefetchwt1", CpuidReg::kLeaf7Ecx, 0, CpuVendorRule::kAll},
};

constexpr U32 kLeafVendor = 0;
constexpr U32 kLeafFeatures = 1;
constexpr U32 kLeafExtendedFeatures = 7;
constexpr U32 kLeafFrequencies = 0x16;
constexpr U32 kLeafExtendedMax = 0x80000000u;
constexpr U32 kLeafExtendedInfo = 0x80000001u;
constexpr U32 kLeafBrandFirst = 0x80000002u;
constexpr U32 kLeafBrandLast = 0x80000004u;
constexpr U64 kHertzPerMegahertz = 1000000;
constexpr U32 kBrandSize = sizeof(CpuInfo::m_brand);

void QueryNative(void*, U32 leaf, U32 subLeaf, CpuidRegisters& out)
{
    CpuExecuteCpuid(leaf, subLeaf, out);
}

CpuidRegisters Query(const CpuidSource& source, U32 leaf, U32 subLeaf)
{
    CpuidRegisters regs = {};
    source.m_pQuery(source.m_pContext, leaf, subLeaf, regs);
    return regs;
}

// Sets the features of one register whose vendor rule the record meets. The leaf 7
// features restricted to Intel (hle, rtm) and the extended ones restricted to a vendor
// are only recorded on that vendor; abm and lzcnt share one bit and so name it per vendor.
void SetFeaturesFromRegister(CpuInfo& info, CpuidReg reg, U32 value)
{
    for (U64 id = 0; id < kCpuFeatureCount; ++id)
    {
        const CpuFeatureSource& feature = kFeatureTable[id];
        if (feature.m_reg != reg || (value & (U32(1) << feature.m_bit)) == 0)
            continue;
        if (feature.m_vendor == CpuVendorRule::kIntel && !info.m_isIntel)
            continue;
        if (feature.m_vendor == CpuVendorRule::kAMD && !info.m_isAMD)
            continue;
        info.m_features |= U64(1) << id;
    }
}

// Frequencies in MHz sit in bits 0 to 15 of each leaf 0x16 register; the upper bits
// are reserved and are not part of the number.
U64 FrequencyFromRegister(U32 value)
{
    return U64(value & 0xFFFFu) * kHertzPerMegahertz;
}

// Splits a copy of the brand into blank-separated words (runs of blanks are one
// separator, leading blanks skipped); returns how many of maxWords were found.
U32 SplitBrandWords(char* text, const char** pWords, U32 maxWords)
{
    U32 count = 0;
    char* p = text;
    while (*p && count < maxWords)
    {
        while (*p == ' ')
            ++p;
        if (!*p)
            break;
        pWords[count++] = p;
        while (*p && *p != ' ')
            ++p;
        if (*p)
            *p++ = '\0';
    }
    return count;
}

// The short model name: the third word on Intel, the second to fourth on AMD, empty
// elsewhere. Words a short brand lacks are left out rather than printed as blanks.
void FillModel(CpuInfo& info)
{
    memset(info.m_model, 0, sizeof(info.m_model));
    char copy[kBrandSize + 1];
    memcpy(copy, info.m_brand, kBrandSize);
    copy[kBrandSize] = '\0'; // a brand filling all 48 bytes carries no terminator of its own
    const char* pWords[4] = {};
    U32 numWords = SplitBrandWords(copy, pWords, 4);
    if (info.m_isIntel)
    {
        if (numWords >= 3)
            snprintf(info.m_model, sizeof(info.m_model), "%s", pWords[2]);
    }
    else if (info.m_isAMD)
    {
        U32 offset = 0;
        for (U32 word = 1; word < numWords && offset < sizeof(info.m_model) - 1; ++word)
        {
            int written = snprintf(info.m_model + offset, sizeof(info.m_model) - offset,
                                   word == 1 ? "%s" : " %s", pWords[word]);
            offset += written > 0 ? U32(written) : 0;
        }
    }
    info.m_model[sizeof(info.m_model) - 1] = '\0';
}

struct CpuInfoStartup
{
    CpuInfoStartup() { DetectCpuInfo(g_cpuInfo); }
};
} // namespace

CpuInfo g_cpuInfo;
static CpuInfoStartup s_cpuInfoStartup OX_INIT_PRIORITY(kInitRankCpuInfo);

CpuidSource GetNativeCpuidSource()
{
    return CpuidSource{QueryNative, nullptr};
}

CpuInfo& DetectCpuInfo(CpuInfo& info)
{
    return DetectCpuInfo(info, GetNativeCpuidSource());
}

CpuInfo& DetectCpuInfo(CpuInfo& info, const CpuidSource& source)
{
    info.m_numLogicalCores = 0;
    info.m_reserved0 = 0;
    info.m_isIntel = 0;
    info.m_isAMD = 0;
    info.m_hasFrequencies = 0;
    info.m_reserved1 = 0;
    info.m_baseFrequency = 0;
    info.m_maxFrequency = 0;
    info.m_refFrequency = 0;
    info.m_features = 0;

    info.m_numLogicalCores = GetNumLogicalProcessors();

    CpuidRegisters regs = Query(source, kLeafVendor, 0);
    memset(info.m_vendor, 0, sizeof(info.m_vendor));
    memcpy(info.m_vendor + 0, &regs.m_ebx, 4);
    memcpy(info.m_vendor + 4, &regs.m_edx, 4);
    memcpy(info.m_vendor + 8, &regs.m_ecx, 4);
    if (strcmp(info.m_vendor, "GenuineIntel") == 0)
        info.m_isIntel = 1;
    else if (strcmp(info.m_vendor, "AuthenticAMD") == 0)
        info.m_isAMD = 1;
    const I32 maxLeaf = I32(regs.m_eax);

    if (maxLeaf >= I32(kLeafFeatures))
    {
        regs = Query(source, kLeafFeatures, 0);
        SetFeaturesFromRegister(info, CpuidReg::kLeaf1Ecx, regs.m_ecx);
        SetFeaturesFromRegister(info, CpuidReg::kLeaf1Edx, regs.m_edx);
    }
    if (maxLeaf >= I32(kLeafExtendedFeatures))
    {
        regs = Query(source, kLeafExtendedFeatures, 0);
        SetFeaturesFromRegister(info, CpuidReg::kLeaf7Ebx, regs.m_ebx);
        SetFeaturesFromRegister(info, CpuidReg::kLeaf7Ecx, regs.m_ecx);
    }
    if (maxLeaf >= I32(kLeafFrequencies))
    {
        regs = Query(source, kLeafFrequencies, 0);
        info.m_baseFrequency = FrequencyFromRegister(regs.m_eax);
        info.m_maxFrequency = FrequencyFromRegister(regs.m_ebx);
        info.m_refFrequency = FrequencyFromRegister(regs.m_ecx);
        info.m_hasFrequencies = info.m_baseFrequency != 0;
    }

    const U32 maxExtendedLeaf = Query(source, kLeafExtendedMax, 0).m_eax;
    if (maxExtendedLeaf >= kLeafExtendedInfo)
    {
        regs = Query(source, kLeafExtendedInfo, 0);
        SetFeaturesFromRegister(info, CpuidReg::kExtEcx, regs.m_ecx);
        SetFeaturesFromRegister(info, CpuidReg::kExtEdx, regs.m_edx);
    }

    memset(info.m_brand, 0, sizeof(info.m_brand));
    if (maxExtendedLeaf >= kLeafBrandLast)
    {
        for (U32 leaf = kLeafBrandFirst; leaf <= kLeafBrandLast; ++leaf)
        {
            regs = Query(source, leaf, 0);
            memcpy(info.m_brand + (leaf - kLeafBrandFirst) * 16, &regs, 16);
        }
    }
    FillModel(info);
    return info;
}

const char* GetCpuFeatureName(U64 id)
{
    return id < kCpuFeatureCount ? kFeatureTable[id].m_pName : "unknown";
}

bool IsCpuFeatureApplicable(const CpuInfo& info, U64 id)
{
    if (id >= kCpuFeatureCount)
        return true;
    switch (kFeatureTable[id].m_vendor)
    {
    case CpuVendorRule::kIntel:
        return info.m_isIntel != 0;
    case CpuVendorRule::kAMD:
        return info.m_isAMD != 0;
    case CpuVendorRule::kAll:
        break;
    }
    return true;
}

void PrintCpuInfo(const CpuInfo& info)
{
    // Feature names wrap before column 47, continuing under the first name.
    constexpr U32 kFeatureWrapColumn = 47;
    constexpr const char* kFeatureContinuation = "\n                     ";

    PrintToMsgOutput(kMsgChannelInfo,
                     "-[ CPU Info ]--------------------------------------------------------\n");
    // The brand is read bounded: one filling all 48 bytes has no terminator.
    PrintToMsgOutput(kMsgChannelInfo, "    %-15s: %.48s\n",
                     info.m_vendor[0] ? info.m_vendor : "Unknown vendor",
                     info.m_brand[0] ? info.m_brand : "Unknown brand");
    PrintToMsgOutput(kMsgChannelInfo, "    # Logical Cores: %d\n", int(info.m_numLogicalCores));
    PrintToMsgOutput(kMsgChannelInfo, "    Base Frequency : %3.2fGHz\n", F32(info.m_baseFrequency) / 1.0e9f);
    PrintToMsgOutput(kMsgChannelInfo, "    Max Frequency  : %3.2fGHz\n", F32(info.m_maxFrequency) / 1.0e9f);
    PrintToMsgOutput(kMsgChannelInfo, "    Ref Frequency  : %3.2fGHz\n", F32(info.m_refFrequency) / 1.0e9f);
    PrintToMsgOutput(kMsgChannelInfo, "    Features       : ");
    U32 column = 0;
    bool first = true;
    for (U64 id = 0; id < kCpuFeatureCount; ++id)
    {
        if (!HasCpuFeature(info, id))
            continue;
        const char* pName = GetCpuFeatureName(id);
        const U32 length = U32(strlen(pName));
        const char* pPrefix = "";
        if (first)
        {
            column = length;
            first = false;
        }
        else if (column + 2 + length < kFeatureWrapColumn)
        {
            pPrefix = ", ";
            column += 2 + length;
        }
        else
        {
            pPrefix = kFeatureContinuation;
            column = length;
        }
        PrintToMsgOutput(kMsgChannelInfo, "%s%s", pPrefix, pName);
    }
    PrintToMsgOutput(kMsgChannelInfo, "\n");
    PrintToMsgOutput(kMsgChannelInfo,
                     "---------------------------------------------------------------------\n");
}
