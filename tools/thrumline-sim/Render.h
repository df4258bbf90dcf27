// The three ways thrumline-sim shows a run: a readable timeline, JSON Lines
// and an SVG picture of the vibrations.
#pragma once

#include "host/sim/PlistValue.h"
#include "tools/thrumline-sim/Runner.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

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

// One step of a vibration pattern as the library built it.
struct PatternStepView {
    bool on = false;
    std::int64_t ms = 0;
};
// Reads "VibePattern" of a vibration dictionary as on/off steps. False when
// it is not an array of (boolean, integer) pairs.
bool readPattern(const sim::PlistValue& dictionary, std::vector<PatternStepView>& steps);
// "▮300 ·200 ▮300"
std::string patternDrawing(const std::vector<PatternStepView>& steps);

// One timeline line (no newline), or empty for records the timeline leaves out.
std::string textLine(const Record& record);

// One JSON object; every object has "t_ns" and "event".
nlohmann::ordered_json jsonObject(const Record& record);
nlohmann::ordered_json plistToJson(const sim::PlistValue& value);

// The vibration timeline as an SVG document: time axis with labelled ticks,
// the scenario's commands as labelled marks, pattern on-steps as bars,
// classic pulses as markers, and each pattern drawn again at its own scale.
std::string svgTimeline(const std::vector<Record>& records, std::uint64_t endNs, const std::string& title);

}  // namespace thrumline::simtool
