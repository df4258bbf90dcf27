// Times, durations and settings values as thrumline-sim writes them; what it
// writes in a scenario's own terms reads back as the same value.
#pragma once

#include <cstdint>
#include <string>

#include "host/sim/PlistValue.h"

namespace thrumline::simtool {

// "   7.000s": seconds with milliseconds, right-aligned; finer times keep
// all nine digits.
std::string formatTime(std::uint64_t t_ns);
// "250ms", "7s", "2m30s" ...: a duration as a scenario would write it.
std::string formatDuration(std::uint64_t nanos);

// A settings value as a scenario writes it (true, 300, 1.5, "text"); other
// property-list types in their compact form.
std::string settingText(const sim::PlistValue& value);
// A dictionary as KEY=VALUE words.
std::string settingsText(const sim::PlistValue& dictionary);

}  // namespace thrumline::simtool
