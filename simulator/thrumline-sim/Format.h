// Times, durations and settings as thrumline-sim writes them, in a
// scenario's own terms.
#pragma once

#include <cstdint>
#include <string>

#include "simulator/home-screen/PlistValue.h"

namespace thrumline::simtool {

// "   7.000s": seconds with milliseconds, right-aligned; finer times keep
// all nine digits.
std::string formatTime(std::uint64_t t_ns);
// "250ms", "7s", "2m30s" ...: a duration as a scenario would write it.
std::string formatDuration(std::uint64_t nanos);

// A dictionary as KEY=VALUE words, each value as a scenario writes it.
std::string settingsText(const sim::PlistValue& dictionary);

}  // namespace thrumline::simtool
