#pragma once

// A console reporter for Google Benchmark that also keeps each benchmark's time per iteration
// and its counters, so that a benchmark can be reported against its reference as a ratio.

#include <benchmark/benchmark.h>

#include <iomanip>
#include <iostream>
#include <map>
#include <string>
#include <utility>
#include <vector>

class RatioReporter : public benchmark::ConsoleReporter
{
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const auto& run : runs)
        {
            if (run.error_occurred || run.run_type != Run::RT_Iteration)
                continue;
            Result& result = results[run.run_name.function_name +
                                     (run.run_name.args.empty() ? "" : "/" + run.run_name.args)];
            result.nanoseconds = run.GetAdjustedRealTime() * Scale(run.time_unit);
            for (const auto& counter : run.counters)
                result.counters[counter.first] = counter.second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // Whether the benchmark ran (a --benchmark_filter may leave some out).
    bool Ran(const std::string& name) const { return results.count(name) != 0; }
    double Nanoseconds(const std::string& name) const { return results.at(name).nanoseconds; }
    double Counter(const std::string& name, const std::string& counter) const
    {
        return results.at(name).counters.at(counter);
    }

    // One row of a markdown table: the benchmark, its reference, both times and their ratio.
    void PrintTimeRatio(const std::string& name, const std::string& reference) const
    {
        if (!Ran(name) || !Ran(reference))
            return;
        const double ours = Nanoseconds(name), theirs = Nanoseconds(reference);
        std::cout << "| " << name << " | " << std::fixed << std::setprecision(1) << ours << " ns | "
                  << reference << " | " << theirs << " ns | " << std::setprecision(2)
                  << ours / theirs << " |" << std::endl;
    }

private:
    struct Result
    {
        double nanoseconds = 0;
        std::map<std::string, double> counters;
    };

    static double Scale(benchmark::TimeUnit unit)
    {
        switch (unit)
        {
        case benchmark::kSecond:
            return 1e9;
        case benchmark::kMillisecond:
            return 1e6;
        case benchmark::kMicrosecond:
            return 1e3;
        default:
            return 1;
        }
    }

    std::map<std::string, Result> results;
};

// A benchmark program's main: runs the benchmarks the command line selects, then prints each
// (benchmark, reference) pair that ran as a row of a markdown table.
inline int RunAndReportRatios(int argc, char** argv,
                              const std::vector<std::pair<std::string, std::string>>& pairs)
{
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::cout << "\n| benchmark | time | reference | time | ratio |\n|---|---|---|---|---|"
              << std::endl;
    for (const auto& [name, reference] : pairs)
        reporter.PrintTimeRatio(name, reference);
    benchmark::Shutdown();
    return 0;
}
