#include "corelib/system/cpu-info.h"

#include "corelib/util/msg.h"
#include "tests/support/test-support.h"
#include "tests/system/cpu-dumps.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace
{
class CpuInfoTest : public testing::Test
{
protected:
    void SetUp() override
    {
        InitMsgOutputs();
        SetMsgOutput(kMsgChannelInfo, &m_out);
    }
    void TearDown() override { InitMsgOutputs(); }

    std::string Report(const CpuInfo& info)
    {
        m_out.m_text.clear();
        PrintCpuInfo(info);
        return m_out.m_text;
    }

    DoutCapture m_out;
};

class CpuCorpusTest : public CpuInfoTest
{
protected:
    void SetUp() override
    {
        CpuInfoTest::SetUp();
        m_dumps = LoadCpuDumps();
        if (m_dumps.empty())
            GTEST_SKIP() << "the shared cpuid corpus is not present";
    }
    std::vector<CpuDump> m_dumps;
};

// The names of the set bits, in id order.
std::string FeatureNames(U64 mask)
{
    std::string names;
    for (U64 id = 0; id < kCpuFeatureCount; ++id)
    {
        if (mask & (U64(1) << id))
            names += std::string(names.empty() ? "" : " ") + GetCpuFeatureName(id);
    }
    return names;
}

// A cpuid source made of a table of leaves; unlisted leaves read as zeros.
struct FakeLeaf
{
    U32 m_leaf;
    CpuidRegisters m_regs;
};
struct FakeCpu
{
    std::vector<FakeLeaf> m_leaves;
};
void QueryFakeCpu(void* pContext, U32 leaf, U32, CpuidRegisters& out)
{
    out = CpuidRegisters{0, 0, 0, 0};
    for (const FakeLeaf& entry : static_cast<FakeCpu*>(pContext)->m_leaves)
    {
        if (entry.m_leaf == leaf)
            out = entry.m_regs;
    }
}

// Packs 12 vendor characters as cpuid's leaf 0 returns them (EBX, EDX, ECX).
CpuidRegisters VendorLeaf(U32 maxLeaf, const char* pVendor)
{
    CpuidRegisters regs = {maxLeaf, 0, 0, 0};
    memcpy(&regs.m_ebx, pVendor + 0, 4);
    memcpy(&regs.m_edx, pVendor + 4, 4);
    memcpy(&regs.m_ecx, pVendor + 8, 4);
    return regs;
}

// Adds the three brand leaves holding the given 48 bytes.
void AddBrand(FakeCpu& cpu, const char (&brand)[48])
{
    cpu.m_leaves.push_back({0x80000000u, {0x80000004u, 0, 0, 0}});
    for (U32 part = 0; part < 3; ++part)
    {
        CpuidRegisters regs;
        memcpy(&regs, brand + part * 16, 16);
        cpu.m_leaves.push_back({0x80000002u + part, regs});
    }
}

CpuInfo DetectFake(FakeCpu& cpu)
{
    CpuInfo info = {};
    DetectCpuInfo(info, CpuidSource{QueryFakeCpu, &cpu});
    return info;
}

// The model cut from a recorded brand, derived on its own from the vendor rule:
// the third word on Intel, the second to fourth on AMD, nothing on other vendors.
std::string ExpectedModel(const std::string& brand, const std::string& vendor)
{
    std::istringstream in(brand);
    std::vector<std::string> words;
    std::string word;
    while (in >> word)
        words.push_back(word);
    std::string model;
    if (vendor == "GenuineIntel" && words.size() >= 3)
        model = words[2];
    if (vendor == "AuthenticAMD")
    {
        for (size_t i = 1; i < words.size() && i < 4; ++i)
            model += (i > 1 ? " " : "") + words[i];
    }
    return model.substr(0, 47);
}

TEST(CpuFeatureNames, TableAndUnknownIds)
{
    // Every id has its own name; ids past the table read "unknown".
    std::set<std::string> names;
    for (U64 id = 0; id < kCpuFeatureCount; ++id)
        names.insert(GetCpuFeatureName(id));
    EXPECT_EQ(names.size(), size_t(kCpuFeatureCount));
    EXPECT_STREQ(GetCpuFeatureName(0), "mmx");
    EXPECT_STREQ(GetCpuFeatureName(13), "abm");
    EXPECT_STREQ(GetCpuFeatureName(14), "lzcnt");
    EXPECT_STREQ(GetCpuFeatureName(46), "3dnow");
    EXPECT_STREQ(GetCpuFeatureName(51), "prefetchwt1");
    EXPECT_STREQ(GetCpuFeatureName(52), "unknown");
    EXPECT_STREQ(GetCpuFeatureName(~U64(0)), "unknown");
}

TEST(CpuFeatureApplicability, ByVendor)
{
    const U64 kAmdOnly[] = {1, 9, 13, 44, 45, 46, 47};
    const U64 kIntelOnly[] = {14, 16, 33, 34, 48};
    CpuInfo intel = {};
    intel.m_isIntel = 1;
    CpuInfo amd = {};
    amd.m_isAMD = 1;
    CpuInfo other = {};
    for (U64 id : kAmdOnly)
    {
        EXPECT_TRUE(IsCpuFeatureApplicable(amd, id)) << id;
        EXPECT_FALSE(IsCpuFeatureApplicable(intel, id)) << id;
        EXPECT_FALSE(IsCpuFeatureApplicable(other, id)) << id;
    }
    for (U64 id : kIntelOnly)
    {
        EXPECT_TRUE(IsCpuFeatureApplicable(intel, id)) << id;
        EXPECT_FALSE(IsCpuFeatureApplicable(amd, id)) << id;
        EXPECT_FALSE(IsCpuFeatureApplicable(other, id)) << id;
    }
    for (U64 id : {U64(0), U64(2), U64(3), U64(15), U64(51), U64(52), U64(1000)})
        EXPECT_TRUE(IsCpuFeatureApplicable(other, id)) << id;
}

TEST_F(CpuCorpusTest, FeatureMasksMatchTheRecordedProcessors)
{
    std::map<std::string, std::string> features = LoadCpuCorpusTable("features.txt");
    ASSERT_EQ(features.size(), m_dumps.size());
    for (const CpuDump& dump : m_dumps)
    {
        CpuInfo info = DetectFromDump(dump);
        ASSERT_TRUE(features.count(dump.m_id)) << dump.m_id;
        U64 expected = ExpectedFeatureMask(features[dump.m_id], dump.m_vendor);
        EXPECT_EQ(FeatureNames(info.m_features), FeatureNames(expected)) << dump.m_id;
        EXPECT_STREQ(info.m_vendor, dump.m_vendor.c_str()) << dump.m_id;
        EXPECT_EQ(info.m_isIntel, dump.m_vendor == "GenuineIntel") << dump.m_id;
        EXPECT_EQ(info.m_isAMD, dump.m_vendor == "AuthenticAMD") << dump.m_id;
        // Detection reads only the leaves the processor's maximum allows.
        EXPECT_TRUE(dump.m_absentQueries.empty())
            << dump.m_id << " queried leaf " << std::hex << dump.m_absentQueries.front();
        EXPECT_EQ(info.m_numLogicalCores, GetNumLogicalProcessors());
    }
}

TEST_F(CpuCorpusTest, FrequenciesOnlyFromLeaf16)
{
    for (const CpuDump& dump : m_dumps)
    {
        CpuInfo info = DetectFromDump(dump);
        auto leaf = dump.m_leaves.find({0x16u, 0u});
        if (leaf == dump.m_leaves.end())
        {
            EXPECT_FALSE(info.m_hasFrequencies) << dump.m_id;
            EXPECT_EQ(info.m_baseFrequency + info.m_maxFrequency + info.m_refFrequency, 0u) << dump.m_id;
            continue;
        }
        EXPECT_EQ(info.m_baseFrequency, U64(leaf->second.m_eax) * 1000000u) << dump.m_id;
        EXPECT_EQ(info.m_hasFrequencies, info.m_baseFrequency != 0) << dump.m_id;
    }
}

TEST_F(CpuCorpusTest, ModelIsCutFromTheBrand)
{
    std::map<std::string, std::string> brands = LoadCpuCorpusTable("brands.txt");
    for (const CpuDump& dump : m_dumps)
    {
        CpuInfo info = DetectFromDump(dump);
        // "<raw>"\t"<trimmed>": the raw text is the brand up to its first zero.
        const std::string& entry = brands[dump.m_id];
        std::string raw = entry.substr(1, entry.find("\"\t") - 1);
        EXPECT_EQ(std::string(info.m_brand), raw) << dump.m_id;
        EXPECT_LT(strnlen(info.m_model, sizeof(info.m_model)), sizeof(info.m_model)) << dump.m_id;
        EXPECT_EQ(std::string(info.m_model), ExpectedModel(raw, dump.m_vendor)) << dump.m_id;
    }
}

TEST_F(CpuCorpusTest, ReportOfEveryProcessorFollowsTheLayout)
{
    for (const CpuDump& dump : m_dumps)
    {
        CpuInfo info = DetectFromDump(dump);
        std::istringstream lines(Report(info));
        std::string line;
        std::vector<std::string> all;
        while (std::getline(lines, line))
            all.push_back(line);
        ASSERT_GE(all.size(), 8u) << dump.m_id;
        EXPECT_EQ(all[1],
                  "    " + dump.m_vendor + std::string(15 - dump.m_vendor.size(), ' ') + ": " + info.m_brand);
        // The feature lines, joined, list the detected features; each stays within the
        // 47-column rule and continuation lines sit under the first name.
        const std::string kHead = "    Features       : ";
        ASSERT_EQ(all[6].compare(0, kHead.size(), kHead), 0) << dump.m_id;
        std::string joined;
        for (size_t i = 6; i + 1 < all.size(); ++i)
        {
            std::string body = all[i].substr(kHead.size());
            if (i > 6)
            {
                EXPECT_EQ(all[i].substr(0, kHead.size()), std::string(kHead.size(), ' ')) << dump.m_id;
            }
            EXPECT_LT(body.size(), 47u) << dump.m_id << ": " << body;
            EXPECT_NE(body.back(), ',') << dump.m_id;
            joined += (joined.empty() ? "" : " ") + body;
        }
        std::string names;
        for (char c : joined)
        {
            if (c != ',')
                names += c;
        }
        EXPECT_EQ(names, FeatureNames(info.m_features)) << dump.m_id;
        EXPECT_EQ(all.back(), std::string(69, '-')) << dump.m_id;
    }
}

TEST_F(CpuInfoTest, ReportIsByteExact)
{
    CpuInfo info = {};
    strcpy(info.m_vendor, "GenuineIntel");
    strcpy(info.m_brand, "Intel(R) Core(TM) i7-6700K CPU @ 4.00GHz");
    info.m_numLogicalCores = 8;
    info.m_baseFrequency = 4000000000u;
    info.m_maxFrequency = 4200000000u;
    info.m_refFrequency = 100000000u;
    info.m_features = 0x1FF; // mmx to sse42: the ninth name no longer fits before column 47
    EXPECT_EQ(Report(info), "-[ CPU Info ]--------------------------------------------------------\n"
                            "    GenuineIntel   : Intel(R) Core(TM) i7-6700K CPU @ 4.00GHz\n"
                            "    # Logical Cores: 8\n"
                            "    Base Frequency : 4.00GHz\n"
                            "    Max Frequency  : 4.20GHz\n"
                            "    Ref Frequency  : 0.10GHz\n"
                            "    Features       : mmx, mmxext, avx, avx2, sse, sse2, sse3, sse41\n"
                            "                     sse42\n"
                            "---------------------------------------------------------------------\n");

    CpuInfo empty = {};
    EXPECT_EQ(Report(empty), "-[ CPU Info ]--------------------------------------------------------\n"
                             "    Unknown vendor : Unknown brand\n"
                             "    # Logical Cores: 0\n"
                             "    Base Frequency : 0.00GHz\n"
                             "    Max Frequency  : 0.00GHz\n"
                             "    Ref Frequency  : 0.00GHz\n"
                             "    Features       : \n"
                             "---------------------------------------------------------------------\n");
}

TEST_F(CpuInfoTest, ReportWrapsLongNamesAndPrintsEachOnce)
{
    CpuInfo info = {};
    // avx512cd ends at column 37; pclmulqdq would reach 48, so it starts the next line.
    info.m_features = (U64(1) << 49) | (U64(1) << 50) | (U64(1) << 51) | (U64(1) << 37) | (U64(1) << 38) |
                      (U64(1) << 39) | (U64(1) << 40);
    std::string report = Report(info);
    EXPECT_NE(report.find("    Features       : avx512f, avx512pf, avx512er, avx512cd\n"
                          "                     pclmulqdq, cmpxchg16b, prefetchwt1\n"),
              std::string::npos)
        << report;
}

TEST_F(CpuInfoTest, SkylakeFromRegisters)
{
    // Intel Core i7-6700K: leaf 0x16 gives 4000, 4200 and 100 MHz.
    FakeCpu cpu;
    cpu.m_leaves.push_back({0, VendorLeaf(0x16, "GenuineIntel")});
    cpu.m_leaves.push_back({1, {0x000506E3, 0x00100800, 0x7FFAFBBF, 0xBFEBFBFF}});
    cpu.m_leaves.push_back({7, {0, 0x029C6FBF, 0, 0x9C002400}});
    cpu.m_leaves.push_back({0x16, {0xFA0, 0x1068, 0x64, 0}});
    const char brand[48] = "Intel(R) Core(TM) i7-6700K CPU @ 4.00GHz";
    AddBrand(cpu, brand);
    cpu.m_leaves[4].m_regs.m_eax = 0x80000008u;
    cpu.m_leaves.push_back({0x80000001u, {0, 0, 0x121, 0x2C100000}});
    CpuInfo info = DetectFake(cpu);
    EXPECT_EQ(info.m_baseFrequency, 4000000000u);
    EXPECT_EQ(info.m_maxFrequency, 4200000000u);
    EXPECT_EQ(info.m_refFrequency, 100000000u);
    EXPECT_TRUE(info.m_hasFrequencies);
    EXPECT_STREQ(info.m_model, "i7-6700K");
    EXPECT_TRUE(HasCpuFeature(info, kCpuFeatureLzcnt));
    EXPECT_FALSE(HasCpuFeature(info, kCpuFeatureAbm));
    EXPECT_TRUE(HasCpuFeature(info, kCpuFeatureHle));
    EXPECT_FALSE(HasCpuFeature(info, kCpuFeatureSyscall)); // the recording was a 32-bit reader
    EXPECT_TRUE(HasCpuFeature(info, kCpuFeatureAvx2));
}

TEST_F(CpuInfoTest, VendorRulesOnTheSharedBits)
{
    // The same registers on three vendors: vendor-specific bits follow the vendor only.
    const CpuidRegisters kLeaf7 = {0, (1u << 4) | (1u << 11) | (1u << 5), 1, 0};
    const CpuidRegisters kExt = {0, 0, (1u << 5) | (1u << 6) | (1u << 0) | (1u << 11) | (1u << 21),
                                 (1u << 11) | (1u << 22) | (1u << 27) | (1u << 30) | (1u << 31)};
    struct Case
    {
        const char* m_pVendor;
        const char* m_pExpected;
    };
    const Case kCases[] = {
        {"GenuineIntel", "avx2 lzcnt rdtscp hle rtm lahf syscall prefetchwt1"},
        {"AuthenticAMD", "mmxext avx2 sse4a abm lahf xop tbm 3dnow 3dnowext prefetchwt1"},
        {"HygonGenuine", "avx2 lahf prefetchwt1"},
    };
    for (const Case& c : kCases)
    {
        FakeCpu cpu;
        cpu.m_leaves.push_back({0, VendorLeaf(7, c.m_pVendor)});
        cpu.m_leaves.push_back({7, kLeaf7});
        cpu.m_leaves.push_back({0x80000000u, {0x80000001u, 0, 0, 0}});
        cpu.m_leaves.push_back({0x80000001u, kExt});
        EXPECT_EQ(FeatureNames(DetectFake(cpu).m_features), c.m_pExpected) << c.m_pVendor;
    }
}

TEST_F(CpuInfoTest, LowLeafLimitsAndOddRegisters)
{
    // Highest leaf 5: leaf 7 and 0x16 are not read even when a source would answer.
    FakeCpu cpu;
    cpu.m_leaves.push_back({0, VendorLeaf(5, "GenuineIntel")});
    cpu.m_leaves.push_back({7, {0, 0xFFFFFFFFu, 0xFFFFFFFFu, 0}});
    cpu.m_leaves.push_back({0x16, {1000, 2000, 100, 0}});
    CpuInfo info = DetectFake(cpu);
    EXPECT_EQ(info.m_features, 0u);
    EXPECT_FALSE(info.m_hasFrequencies);
    EXPECT_EQ(info.m_brand[0], '\0');
    EXPECT_EQ(info.m_model[0], '\0');
    EXPECT_NE(Report(info).find("Unknown brand\n"), std::string::npos);

    // A negative highest leaf (top bit set) counts as below 1: nothing is read.
    FakeCpu negative;
    negative.m_leaves.push_back({0, VendorLeaf(0x80000010u, "GenuineIntel")});
    negative.m_leaves.push_back({1, {0, 0, 0xFFFFFFFFu, 0xFFFFFFFFu}});
    EXPECT_EQ(DetectFake(negative).m_features, 0u);

    // Reserved upper bits of leaf 0x16 are not part of the frequency.
    FakeCpu freq;
    freq.m_leaves.push_back({0, VendorLeaf(0x16, "GenuineIntel")});
    freq.m_leaves.push_back({0x16, {0xFFFF0FA0u, 0x80001068u, 0x00010064u, 0}});
    info = DetectFake(freq);
    EXPECT_EQ(info.m_baseFrequency, 4000000000u);
    EXPECT_EQ(info.m_maxFrequency, 4200000000u);
    EXPECT_EQ(info.m_refFrequency, 100000000u);
}

TEST_F(CpuInfoTest, DetectionKeepsUsageFieldsAndResetsTheRest)
{
    CpuInfo info;
    memset(&info, 0xAB, sizeof(info));
    info.m_lastUsageSampleTime = 12.5f;
    info.m_cpuUsagePercent = 42;
    FakeCpu cpu;
    cpu.m_leaves.push_back({0, VendorLeaf(0, "SomeVendor!!")});
    DetectCpuInfo(info, CpuidSource{QueryFakeCpu, &cpu});
    EXPECT_EQ(info.m_features, 0u);
    EXPECT_EQ(info.m_reserved0, 0u);
    EXPECT_EQ(info.m_reserved1, 0u);
    EXPECT_EQ(info.m_isIntel + info.m_isAMD + info.m_hasFrequencies, 0);
    EXPECT_EQ(info.m_baseFrequency + info.m_maxFrequency + info.m_refFrequency, 0u);
    EXPECT_STREQ(info.m_vendor, "SomeVendor!!");
    EXPECT_EQ(info.m_brand[0], '\0');
    EXPECT_EQ(info.m_model[0], '\0');
    EXPECT_EQ(info.m_lastUsageSampleTime, 12.5f);
    EXPECT_EQ(info.m_cpuUsagePercent, 42u);
}

TEST_F(CpuInfoTest, ModelFromUnusualBrands)
{
    struct Case
    {
        const char* m_pVendor;
        const char* m_pBrand; // up to 48 bytes, no terminator needed
        const char* m_pModel;
    };
    const std::string k48(48, 'X');
    const std::string kLongWords = "A " + std::string(22, 'b') + " " + std::string(23, 'c');
    const std::string kLongModel = std::string(22, 'b') + " " + std::string(23, 'c');
    const Case kCases[] = {
        {"GenuineIntel", "Intel(R) Core(TM)", ""},
        {"GenuineIntel", "   Intel   Pentium   4   CPU", "4"},
        {"GenuineIntel", "", ""},
        {"GenuineIntel", "                                               ", ""},
        {"GenuineIntel", k48.c_str(), ""},
        {"AuthenticAMD", "AMD Athlon", "Athlon"},
        {"AuthenticAMD", "AMD  E-350  Processor", "E-350 Processor"},
        {"AuthenticAMD", k48.c_str(), ""},
        {"AuthenticAMD", kLongWords.c_str(), kLongModel.c_str()},
        {"CentaurHauls", "  VIA Nano processor", ""},
    };
    for (const Case& c : kCases)
    {
        FakeCpu cpu;
        cpu.m_leaves.push_back({0, VendorLeaf(1, c.m_pVendor)});
        char brand[48] = {};
        memcpy(brand, c.m_pBrand, strnlen(c.m_pBrand, 48));
        AddBrand(cpu, brand);
        CpuInfo info = DetectFake(cpu);
        EXPECT_EQ(memcmp(info.m_brand, brand, 48), 0) << c.m_pBrand;
        EXPECT_STREQ(info.m_model, c.m_pModel) << c.m_pVendor << " / " << c.m_pBrand;
    }
}

TEST_F(CpuInfoTest, UnterminatedBrandStaysBounded)
{
    // A brand filling all 48 bytes: the model stays terminated and the report prints
    // exactly the 48 characters, however random the bytes.
    std::mt19937 random(7);
    for (int round = 0; round < 200; ++round)
    {
        char brand[48];
        for (char& c : brand)
            c = char(random() % 2 ? ' ' : 33 + random() % 200);
        FakeCpu cpu;
        cpu.m_leaves.push_back({0, VendorLeaf(1, round % 2 ? "AuthenticAMD" : "GenuineIntel")});
        AddBrand(cpu, brand);
        CpuInfo info = DetectFake(cpu);
        EXPECT_LT(strnlen(info.m_model, sizeof(info.m_model)), sizeof(info.m_model));
        std::string report = Report(info);
        size_t brandLine = report.find(": ") + 2;
        EXPECT_EQ(report.substr(brandLine, 49), std::string(brand, 48) + "\n");
    }
}

TEST(CpuInfoGlobal, DetectedAtStartup)
{
    // The process-wide record was filled before main: it agrees with a fresh detection.
    CpuInfo fresh = {};
    DetectCpuInfo(fresh);
    EXPECT_EQ(g_cpuInfo.m_features, fresh.m_features);
    EXPECT_STREQ(g_cpuInfo.m_vendor, fresh.m_vendor);
    EXPECT_EQ(memcmp(g_cpuInfo.m_brand, fresh.m_brand, sizeof(fresh.m_brand)), 0);
    EXPECT_EQ(g_cpuInfo.m_numLogicalCores, fresh.m_numLogicalCores);
    EXPECT_GE(g_cpuInfo.m_numLogicalCores, 1u);
#if OX_ARCH_X64
    // Every x86-64 processor has these.
    EXPECT_TRUE(HasCpuFeature(g_cpuInfo, kCpuFeatureSse2));
    EXPECT_TRUE(HasCpuFeature(g_cpuInfo, kCpuFeatureCmov));
    EXPECT_NE(g_cpuInfo.m_vendor[0], '\0');
#endif
}

TEST(CpuMemory, TotalAndUsedAreConsistent)
{
    const U64 total = GetTotalPhysicalMemory();
    const U64 used = GetUsedPhysicalMemory();
    EXPECT_GE(total, U64(64) << 20);
    EXPECT_GT(used, 0u);
    EXPECT_LE(used, total);
}
} // namespace
