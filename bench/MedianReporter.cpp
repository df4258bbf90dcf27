#include "bench/MedianReporter.h"

#include <unistd.h>

namespace thrumline::hardening {

// Colours only for a terminal: the full run is often kept in a file.
MedianReporter::MedianReporter(Clock clock)
    : ConsoleReporter(::isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular), clock_(clock) {}

void MedianReporter::ReportRuns(const std::vector<Run>& runs) {
    for (const Run& run : runs) {
        if (run.error_occurred) failed_ = true;
        const bool aggregate = run.run_type == Run::RT_Aggregate;
        if (aggregate && run.aggregate_name != "median") continue;
        const std::string name = run.run_name.function_name;
        // A median, once there is one, stands for every repetition.
        if (!aggregate && medians_.count(name) != 0) continue;
        if (aggregate) medians_.insert(name);
        const bool cpu = clock_ == Clock::Cpu && run.run_name.time_type != "manual_time";
        nanos_[name] = (cpu ? run.GetAdjustedCPUTime() : run.GetAdjustedRealTime()) * 1e9 /
                       benchmark::GetTimeUnitMultiplier(run.time_unit);
        for (const auto& [counter, value] : run.counters) counters_[name][counter] = value.value;
    }
    ConsoleReporter::ReportRuns(runs);
}

bool MedianReporter::has(std::initializer_list<std::string> names) const {
    for (const std::string& name : names) {
        if (nanos_.count(name) == 0) return false;
    }
    return true;
}

double MedianReporter::nanos(const std::string& name) const { return nanos_.at(name); }

bool MedianReporter::hasCounter(const std::string& name, const std::string& counter) const {
    const auto found = counters_.find(name);
    return found != counters_.end() && found->second.count(counter) != 0;
}

double MedianReporter::counter(const std::string& name, const std::string& counter) const {
    return hasCounter(name, counter) ? counters_.at(name).at(counter) : 0.0;
}

int runBenchmarks(int argc, char** argv, const std::function<void(const MedianReporter&)>& summary,
                  MedianReporter::Clock clock) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    MedianReporter reporter(clock);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    summary(reporter);
    benchmark::Shutdown();
    return reporter.failed() ? 1 : 0;
}

}  // namespace thrumline::hardening
