#include "bench/bench-main.h"

#include "bench/ratio-reporter.h"
#include "corelib/util/console-reports.h"

#include <benchmark/benchmark.h>

#include <cstdio>

int main(int argc, char** argv)
{
    InstallConsoleReports(); // a failed assertion says what failed
    benchmark::Initialize(&argc, argv);
    // A flag this Google Benchmark does not know, or whose value it cannot parse, stays in
    // argv; running anyway would silently ignore it.
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    const BenchProgram program = DescribeBenchProgram();
    if (program.m_pSetUp)
        program.m_pSetUp();
    RatioReporter reporter(program.m_title.c_str(), program.m_pairs);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    if (program.m_pTearDown)
        program.m_pTearDown();

    // When every benchmark ran, a pair without figures names a benchmark that does not
    // exist (renamed, or its arguments changed): the table would lose its line unseen.
    const std::string filter = benchmark::GetBenchmarkFilter();
    if (reporter.HasFigures() && (filter.empty() || filter == "." || filter == "all"))
    {
        const auto missing = reporter.GetMissingPairs();
        for (const auto& [fast, slow] : missing)
            fprintf(stderr, "No ratio for %s against %s: no benchmark of one of these names ran.\n",
                    fast.c_str(), slow.c_str());
        if (!missing.empty())
            return 1;
    }
    return 0;
}
