// The vibrations and classic pulses of a run, each with the call moment or
// preview that caused it, for the SVG picture.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "simulator/home-screen/PlistValue.h"
#include "simulator/thrumline-sim/Timeline.h"

namespace thrumline::simtool {

// The cause of the minute minder's pulses, as the simulated host names the
// library's minder steps.
inline const std::string kMinuteMinderCause = sim::stepPurposeName(StepPurpose::MinuteMinder);

// One vibration request or one classic pulse.
struct Burst {
    std::uint64_t t_ns = 0;
    sim::PlistValue request;  // vibrations: the dictionary
    std::uint32_t sound = 0;
    std::string cause;  // "call connected", "history", "vib1Preview", "minute minder", ...;
                        // empty: unknown
    int causeId = 0;    // the same for every burst of one cause
};

// What the picture draws again at its own millisecond scale: one vibration,
// or the classic pulses one cause played (a chain, or a single pulse).
struct DetailRow {
    std::uint64_t t_ns = 0;
    std::string cause;
    const Burst* vibration = nullptr;   // a vibration row
    std::vector<std::uint64_t> pulses;  // a classic row: each pulse's offset from the first

    // How long the row lasts: a pattern's steps, or a chain's last pulse.
    std::uint64_t nanos() const;
};

// How long a vibration request's pattern lasts; 0 when it is not a step list.
std::uint64_t requestNanos(const sim::PlistValue& request);

// Reads the entries of a run in order and attributes each burst to its
// cause: the scenario command whose host method the library hooked, or the
// preview notification delivered. A burst a main-queue step plays belongs to
// whatever queued the step, but for the minute minder's steps, as the library
// names them: each of their pulses is a cause of its own.
class BurstCollector {
public:
    // Returns the burst the entry made, or null.
    const Burst* add(const Entry& entry);

    const std::vector<Burst>& vibrations() const { return vibrations_; }
    const std::vector<Burst>& pulses() const { return pulses_; }
    // Every vibration and every cause's pulses, by time.
    std::vector<DetailRow> detailRows() const;

private:
    struct Cause {
        int id = 0;
        std::string text;
    };
    const Burst* addEvent(const sim::Event& e);
    void newCause(std::string text);
    // The cause of what `e` shows the library doing.
    const Cause& causeOf(const sim::Event& e) const;

    std::string command_;  // the scenario command running now
    Cause cause_;          // the command or preview the library serves now
    int causes_ = 0;
    std::map<std::uint64_t, Cause> steps_;  // what queued each step, by its number
    std::vector<Burst> vibrations_;
    std::vector<Burst> pulses_;
};

}  // namespace thrumline::simtool
