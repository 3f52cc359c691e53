// Recorded cpuid registers of real processors for tests: reads the shared corpus
// (cpuid/dumps.txt, features.txt, brands.txt under SharedDataDir()) and serves a
// record's registers through a CpuidSource. Tests skip when the corpus is absent.
#pragma once

#include "corelib/system/cpu-info.h"
#include "tests/support/test-support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

struct CpuDump
{
    std::string m_id;
    std::string m_vendor;
    // (leaf, sub-leaf) -> registers; absent leaves are not in the map.
    std::map<std::pair<U32, U32>, CpuidRegisters> m_leaves;
    std::set<std::pair<U32, U32>> m_absentLeaves;
    // Queries of leaves the record marks absent (a detector must not need them).
    mutable std::vector<U32> m_absentQueries;
};

inline std::string CpuCorpusDir()
{
    std::string shared = SharedDataDir();
    return shared.empty() ? shared : shared + "/cpuid";
}

// Parses dumps.txt ("cpuid-dumps 1"); empty when the corpus is absent.
inline std::vector<CpuDump> LoadCpuDumps()
{
    std::vector<CpuDump> dumps;
    std::string dir = CpuCorpusDir();
    if (dir.empty())
        return dumps;
    std::ifstream in(dir + "/dumps.txt");
    std::string line;
    while (std::getline(in, line))
    {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream words(line);
        std::string keyword;
        words >> keyword;
        if (keyword == "CPU")
        {
            dumps.emplace_back();
            words >> dumps.back().m_id;
        }
        else if (keyword == "VENDOR")
        {
            size_t first = line.find('"');
            size_t last = line.rfind('"');
            dumps.back().m_vendor = line.substr(first + 1, last - first - 1);
        }
        else if (keyword == "LEAF")
        {
            std::string leaf, subLeaf, eax, ebx, ecx, edx;
            words >> leaf >> subLeaf >> eax;
            auto key =
                std::make_pair(U32(std::stoul(leaf, nullptr, 16)), U32(std::stoul(subLeaf, nullptr, 16)));
            if (eax == "ABSENT")
            {
                dumps.back().m_absentLeaves.insert(key);
                continue;
            }
            words >> ebx >> ecx >> edx;
            dumps.back().m_leaves[key] =
                CpuidRegisters{U32(std::stoul(eax, nullptr, 16)), U32(std::stoul(ebx, nullptr, 16)),
                               U32(std::stoul(ecx, nullptr, 16)), U32(std::stoul(edx, nullptr, 16))};
        }
    }
    return dumps;
}

// Reads "<id>\t<rest>" lines of a corpus file into a map.
inline std::map<std::string, std::string> LoadCpuCorpusTable(const char* fileName)
{
    std::map<std::string, std::string> table;
    std::ifstream in(CpuCorpusDir() + "/" + fileName);
    std::string line;
    while (std::getline(in, line))
    {
        if (line.empty() || line[0] == '#')
            continue;
        size_t tab = line.find('\t');
        table[line.substr(0, tab)] = tab == std::string::npos ? "" : line.substr(tab + 1);
    }
    return table;
}

// The cpuid query of a recorded processor: registers of leaves it has, zeros otherwise
// (and the query is remembered, so tests can check that none was needed).
inline void QueryCpuDump(void* pContext, U32 leaf, U32 subLeaf, CpuidRegisters& out)
{
    const CpuDump& dump = *static_cast<const CpuDump*>(pContext);
    auto found = dump.m_leaves.find({leaf, subLeaf});
    if (found != dump.m_leaves.end())
    {
        out = found->second;
        return;
    }
    dump.m_absentQueries.push_back(leaf);
    out = CpuidRegisters{0, 0, 0, 0};
}

inline CpuidSource MakeCpuDumpSource(const CpuDump& dump)
{
    return CpuidSource{QueryCpuDump, const_cast<CpuDump*>(&dump)};
}

// Detects a record from a recorded processor.
inline CpuInfo DetectFromDump(const CpuDump& dump)
{
    CpuInfo info = {};
    DetectCpuInfo(info, MakeCpuDumpSource(dump));
    return info;
}

// The feature ids features.txt lists for a processor, with the rules by vendor applied:
// AMD-only features kept on AMD, Intel-only ones on Intel, and the shared abm/lzcnt bit
// named abm on AMD and lzcnt on Intel.
inline U64 ExpectedFeatureMask(const std::string& rawFeatures, const std::string& vendor)
{
    const bool isIntel = vendor == "GenuineIntel";
    const bool isAMD = vendor == "AuthenticAMD";
    static const std::set<std::string> kAmdOnly = {"mmxext", "sse4a", "abm",     "xop",
                                                   "tbm",    "3dnow", "3dnowext"};
    static const std::set<std::string> kIntelOnly = {"rdtscp", "hle", "rtm", "syscall"};
    U64 mask = 0;
    std::istringstream words(rawFeatures);
    std::string name;
    while (words >> name)
    {
        if (name == "-")
            continue;
        if (name == "abm" && isIntel)
            name = "lzcnt";
        if ((kAmdOnly.count(name) && !isAMD) || (kIntelOnly.count(name) && !isIntel))
            continue;
        U64 id = 0;
        while (id < kCpuFeatureCount && name != GetCpuFeatureName(id))
            ++id;
        if (id == kCpuFeatureCount)
        {
            ADD_FAILURE() << "unknown feature name in the corpus: " << name;
            continue;
        }
        mask |= U64(1) << id;
    }
    return mask;
}
