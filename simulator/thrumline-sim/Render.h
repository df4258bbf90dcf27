// Two of the ways thrumline-sim shows a run: a readable timeline and JSON
// Lines. (The SVG picture: Svg.h.)
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "simulator/home-screen/PlistValue.h"
#include "simulator/thrumline-sim/Timeline.h"

namespace thrumline::simtool {

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

// How a read of the settings went: "found", "missing", ...
const char* readOutcome(sim::events::SettingsRead::Outcome outcome);

// One timeline line (no newline), or empty for entries the timeline leaves
// out. A vibration or sound is shown with `cause` first, when given.
std::string textLine(const Entry& entry, const std::string& cause = {});

// One JSON object; every object has "t_ns" and "event", and "cause" when
// `cause` is given.
nlohmann::ordered_json jsonObject(const Entry& entry, const std::string& cause = {});
nlohmann::ordered_json plistToJson(const sim::PlistValue& value);
// `object` as one JSON Lines line (no newline). Scenario strings may hold
// any bytes; bytes that are not UTF-8 become U+FFFD, so the JSON stays valid.
std::string jsonLine(const nlohmann::ordered_json& object);

}  // namespace thrumline::simtool
