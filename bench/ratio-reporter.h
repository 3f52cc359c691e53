// A console reporter for the benchmark programs that, after the usual table, prints how
// many times faster each benchmark ran than its baseline, both measured in the same run.
// CPU time is compared: the machines running these share their cores with other work.
// A benchmark measured in wall-clock time (UseRealTime, UseManualTime) is compared by that
// time: its work runs on other threads, whose CPU time the timing thread does not see.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

class RatioReporter : public benchmark::ConsoleReporter
{
public:
    // pairs: (benchmark, baseline) names as Google Benchmark prints them.
    RatioReporter(const char* title, std::vector<std::pair<std::string, std::string>> pairs)
        : m_title(title), m_pairs(std::move(pairs))
    {
    }

    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs)
            m_times[run.benchmark_name()] =
                run.run_name.time_type.empty() ? run.GetAdjustedCPUTime() : run.GetAdjustedRealTime();
    }

    void Finalize() override
    {
        ConsoleReporter::Finalize();
        printf("\n%s\n", m_title);
        for (const auto& [fast, slow] : m_pairs)
        {
            auto fastTime = m_times.find(fast);
            auto slowTime = m_times.find(slow);
            if (fastTime != m_times.end() && slowTime != m_times.end() && fastTime->second > 0)
                printf("  %-38s %6.2fx  (vs %s)\n", fast.c_str(), slowTime->second / fastTime->second,
                       slow.c_str());
        }
    }

    // True once a benchmark has reported (not when the benchmarks were only listed).
    bool HasFigures() const { return !m_times.empty(); }

    // The pairs with no figure for the benchmark or its baseline: a name that matches no
    // benchmark, or one the filter left out.
    std::vector<std::pair<std::string, std::string>> GetMissingPairs() const
    {
        std::vector<std::pair<std::string, std::string>> missing;
        for (const auto& pair : m_pairs)
        {
            if (!m_times.count(pair.first) || !m_times.count(pair.second))
                missing.push_back(pair);
        }
        return missing;
    }

private:
    const char* m_title;
    std::vector<std::pair<std::string, std::string>> m_pairs;
    std::map<std::string, double> m_times;
};
