// The vibration timeline of a run as an SVG picture.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "simulator/thrumline-sim/Timeline.h"

namespace thrumline::simtool {

// A time axis with labelled ticks, the scenario's commands as labelled marks,
// pattern on-steps as bars, classic pulses as markers, and each burst drawn
// again at its own millisecond scale.
std::string svgTimeline(const std::vector<Entry>& entries, std::uint64_t endNs,
                        const std::string& title);

}  // namespace thrumline::simtool
