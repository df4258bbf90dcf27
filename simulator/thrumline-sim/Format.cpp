#include "simulator/thrumline-sim/Format.h"

#include <cstdio>

namespace thrumline::simtool {

using sim::PlistValue;

std::string formatTime(std::uint64_t t_ns) {
    char buffer[48];
    const unsigned long long seconds = t_ns / 1000000000ULL;
    const unsigned long long fraction = t_ns % 1000000000ULL;
    if (fraction % 1000000ULL == 0) {
        std::snprintf(buffer, sizeof buffer, "%4llu.%03llus", seconds, fraction / 1000000ULL);
    } else {
        std::snprintf(buffer, sizeof buffer, "%4llu.%09llus", seconds, fraction);
    }
    return buffer;
}

std::string formatDuration(std::uint64_t nanos) {
    struct Unit {
        std::uint64_t nanos;
        const char* name;
    };
    static const Unit units[] = {{3600000000000ULL, "h"}, {60000000000ULL, "m"},
                                 {1000000000ULL, "s"},    {1000000ULL, "ms"},
                                 {1000ULL, "us"},         {1ULL, "ns"}};
    if (nanos == 0) return "0ms";
    std::string out;
    for (const Unit& unit : units) {
        if (nanos >= unit.nanos) {
            out += std::to_string(nanos / unit.nanos) + unit.name;
            nanos %= unit.nanos;
        }
    }
    return out;
}

std::string settingsText(const PlistValue& dictionary) {
    if (dictionary.entries().empty()) return "(no keys)";
    std::string out;
    for (const auto& entry : dictionary.entries()) {
        if (!out.empty()) out += ' ';
        out += entry.first + "=" + entry.second.describe();
    }
    return out;
}

}  // namespace thrumline::simtool
