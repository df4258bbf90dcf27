// The benchmark programs' reporter: prints as Google Benchmark's console
// reporter does and keeps each benchmark's time and counters (the median of
// the repetitions when there are several), so that a program can print its
// ratios at the end of the same run.
#pragma once

#include <benchmark/benchmark.h>

#include <functional>
#include <initializer_list>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace thrumline::hardening {

class MedianReporter : public benchmark::ConsoleReporter {
public:
    // Which time the figures are: wall-clock, or the process's CPU time,
    // which leaves out the time other processes had the core on a shared
    // machine. A benchmark's own manual timing is taken as it is.
    enum class Clock { Real, Cpu };
    explicit MedianReporter(Clock clock = Clock::Real);

    void ReportRuns(const std::vector<Run>& runs) override;

    // Every one of `names` (benchmark functions) has a figure.
    bool has(std::initializer_list<std::string> names) const;
    // Time per iteration in nanoseconds; has() must hold.
    double nanos(const std::string& name) const;
    bool hasCounter(const std::string& name, const std::string& counter) const;
    // The counter's value; 0 when there is none.
    double counter(const std::string& name, const std::string& counter) const;
    // Some benchmark stopped with an error (SkipWithError).
    bool failed() const { return failed_; }

private:
    Clock clock_;
    std::map<std::string, double> nanos_;
    std::map<std::string, std::map<std::string, double>> counters_;
    std::set<std::string> medians_;
    bool failed_ = false;
};

// Runs the benchmarks the command line selects, then `summary` with their
// figures. The exit status: 1 for an unknown flag or a benchmark that
// stopped with an error, else 0.
int runBenchmarks(int argc, char** argv, const std::function<void(const MedianReporter&)>& summary,
                  MedianReporter::Clock clock = MedianReporter::Clock::Real);

}  // namespace thrumline::hardening
