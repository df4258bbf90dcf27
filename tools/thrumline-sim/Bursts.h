// The vibrations and classic pulses of a run, each with the call moment or
// preview that caused it, for the SVG picture.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/sim/PlistValue.h"
#include "tools/thrumline-sim/Timeline.h"

namespace thrumline::simtool {

// The cause of the minute minder's pulses.
constexpr const char* kMinuteMinderCause = "minute minder";

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
// preview notification delivered; a pulse a queued step plays belongs to the
// cause that queued the step, but for the minute minder's, which are its own.
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
    struct PendingStep {
        std::uint64_t due;
        Cause cause;
    };
    const Burst* addEvent(const sim::Event& e);
    void newCause(std::string text);
    // The pending step due now that `e` shows running, if any, made the cause.
    void stepRan(const sim::Event& e, bool mindersOnly);

    std::string command_;      // the scenario command running now
    Cause cause_;              // what the library is doing now
    bool callChange_ = false;  // cause_ is a change of active call, not a step of it
    int causes_ = 0;
    std::vector<PendingStep> pending_;
    std::vector<Burst> vibrations_;
    std::vector<Burst> pulses_;
};

}  // namespace thrumline::simtool
