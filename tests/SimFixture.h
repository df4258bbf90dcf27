// Shared fixture for the library's behaviour tests: a simulated phone with one
// home-screen process that loads the real libthrumline, the settings pane
// stand-in, and readers for what the library asked the platform to do.
//
// Every observation goes through the simulated host's event log: the library's
// globals are private to it, so a value is seen only through its effect.
#pragma once

#include "host/sim/PlistValue.h"
#include "host/sim/SimHost.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace thrumline::test {

using sim::Event;
using sim::EventKind;
using sim::PlistValue;

// CoreFoundation versions that pick each hook group.
constexpr double kVersion_iOS10 = 1348.0;
constexpr double kVersion_iOS11 = 1443.0;
constexpr double kVersionNoGroup = 1200.0;

constexpr const char* kPrefsChanged = "com.brindle.thrumline.prefschanged";
constexpr const char* kVib1Preview = "com.brindle.thrumline.vib1Preview";
constexpr const char* kVib2Preview = "com.brindle.thrumline.vib2Preview";
constexpr const char* kVib3Preview = "com.brindle.thrumline.vib3Preview";
constexpr const char* kVib4Preview = "com.brindle.thrumline.vib4Preview";

constexpr std::uint32_t kVibrateSound = 4095;
constexpr std::uint32_t kClassicSound = 1352;

constexpr std::uint64_t kMs = 1000000;
constexpr std::uint64_t kSecond = 1000 * kMs;

// A "VibePattern" decoded: each step as its on flag (1 or 0) then its length.
using Pattern = std::vector<std::int64_t>;
using Patterns = std::vector<Pattern>;
constexpr std::int64_t ON = 1;
constexpr std::int64_t OFF = 0;

// The fixed rhythm of vibration number 3.
inline Pattern rhythmFigure() {
    return {ON, 50, OFF, 100, ON, 50, OFF, 300, ON, 50, OFF, 300, ON, 50, OFF, 100, ON, 50};
}

inline PlistValue B(bool v) { return PlistValue::boolean(v); }
inline PlistValue I(std::int64_t v) { return PlistValue::integer(v); }
inline PlistValue R(double v) { return PlistValue::real(v); }
inline PlistValue S(std::string v) { return PlistValue::string(std::move(v)); }

// A settings dictionary: `base` with `overrides` set on top of it.
inline PlistValue withKeys(PlistValue base, const PlistValue::Entries& overrides) {
    for (const auto& [key, value] : overrides) base.set(key, value);
    return base;
}

// All nine keys; call events vibrate (gate open), pattern output, one pulse.
inline PlistValue enabledSettings(const PlistValue::Entries& overrides = {}) {
    PlistValue base = PlistValue::dictionary({
        {"isEnabled", B(true)},
        {"isNotRespringing", B(true)},
        {"isVibrationsNumber", B(false)},
        {"oldMethod", B(false)},
        {"firstVibrationNumber", I(0)},
        {"lastVibrationNumber", I(0)},
        {"VibrationDuration", I(200)},
        {"vibration1", I(300)},
        {"vibration2", I(300)},
    });
    return withKeys(std::move(base), overrides);
}

// The bytes of `value` as a binary property list.
std::string binaryPlist(const PlistValue& value);

bool fileExists(const std::string& path);
std::string fileBytes(const std::string& path);

// The pattern of a Vibrate event. Checks the request's form on the way: sound
// 4095, exactly the keys "Intensity" (the integer 1) and "VibePattern"
// (alternating booleans and integers); a malformed request fails the test.
Pattern decodeVibration(const Event& event);

class SimTest : public ::testing::Test {
protected:
    sim::Device device;
    std::unique_ptr<sim::Process> process;

    // Starts a home-screen process (the library loads and its first settings
    // load runs) and lets the main queue settle.
    sim::Process& start(double version = kVersion_iOS11,
                        std::vector<std::string> absentClasses = {});
    // Writes `settings` as the settings file, then starts.
    sim::Process& startWith(const PlistValue& settings, double version = kVersion_iOS11);
    // Ends the running process; the settings file stays.
    void endProcess();

    // The pane posts `name` and the main queue delivers it.
    void post(const std::string& name);
    // The pane writes `settings`, posts the change notification, and the
    // library reloads.
    void reload(const PlistValue& settings);

    std::uint64_t now() { return device.clock().now(); }
    void runUntilIdle() { process->queue().runUntilIdle(); }
    void advance(std::uint64_t nanos) { process->queue().advanceBy(nanos); }

    // A position in the event log; the readers below take events after it.
    std::size_t mark() const { return device.events().size(); }
    std::vector<Event> eventsSince(std::size_t from, EventKind kind) const;
    std::size_t countSince(std::size_t from, EventKind kind) const;
    // Every pattern played (sound 4095) since `from`, in order.
    std::vector<Pattern> patternsSince(std::size_t from) const;
    // The virtual times of the classic pulses (sound 1352) since `from`.
    std::vector<std::uint64_t> classicPulsesSince(std::size_t from) const;
    // Index of the first event of `kind` at or after `from`, or npos.
    std::size_t indexOf(EventKind kind, std::size_t from = 0) const;
    // Posts by the library itself since `from`.
    std::size_t libraryPostsSince(std::size_t from) const;

    // Posts a preview and returns what it played: nothing, or one pattern.
    std::optional<Pattern> preview(const char* notification);

    // The settings file's `isNotRespringing`, or nothing when the file or the
    // key is missing.
    std::optional<bool> fileNotRespringing() const;

    void TearDown() override;
};

// What a call event did: the patterns and classic pulses played inside the
// hooked call, and the classic pulses a chain played after it returned.
struct CallOutcome {
    std::vector<Pattern> patterns;
    int pulsesInCall = 0;
    int pulsesAfter = 0;
};

inline bool operator==(const CallOutcome& a, const CallOutcome& b) {
    return a.patterns == b.patterns && a.pulsesInCall == b.pulsesInCall &&
           a.pulsesAfter == b.pulsesAfter;
}

std::ostream& operator<<(std::ostream& out, const CallOutcome& outcome);

}  // namespace thrumline::test

namespace thrumline::sim {
// Test names and failure messages show values as text, not bytes.
inline void PrintTo(const PlistValue& value, std::ostream* out) { *out << value.describe(); }
}  // namespace thrumline::sim

namespace thrumline::test {

// Table rows print as their label.
#define THRUMLINE_PRINT_ROW_AS_LABEL(Row) \
    inline void PrintTo(const Row& row, std::ostream* out) { *out << row.label; }

}  // namespace thrumline::test
