// The main() shared by the benchmark programs (bench-main.cpp): it runs the benchmarks
// the command line selects, prints Google Benchmark's usual table and then the program's
// ratio table, each benchmark against its baseline measured in the same run
// (ratio-reporter.h). A program declares that table once, at namespace scope:
//
//   OX_BENCH_RATIOS("Uncontended lock + unlock, times faster than std::mutex (same run):",
//                   {{"BM_OxMutex", "BM_StdMutex"}, {"BM_OxSpinLock32", "BM_StdMutex"}});
//
// A program that builds its pairs in a loop, or whose benchmarks share state set up once
// for the whole run, defines DescribeBenchProgram itself instead.
#pragma once

#include <string>
#include <utility>
#include <vector>

struct BenchProgram
{
    // Printed above the ratios.
    std::string m_title;
    // (benchmark, baseline) names as Google Benchmark prints them.
    std::vector<std::pair<std::string, std::string>> m_pairs;
    // Optional: called once before the first benchmark and once after the last.
    void (*m_pSetUp)() = nullptr;
    void (*m_pTearDown)() = nullptr;
};

// Defined once by each benchmark program; the shared main calls it once, after reading
// the command line.
BenchProgram DescribeBenchProgram();

// Defines DescribeBenchProgram with a ratio table and nothing to set up.
#define OX_BENCH_RATIOS(title, ...)                                                                          \
    BenchProgram DescribeBenchProgram()                                                                      \
    {                                                                                                        \
        return BenchProgram{.m_title = (title), .m_pairs = __VA_ARGS__};                                     \
    }
