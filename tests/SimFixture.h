// Shared fixture for the library's behaviour tests: a simulated phone with one
// home-screen process that loads the real libthrumline. The library's globals
// are private to it, so every value is seen through what it makes the
// platform do, as recorded on the device's event log.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "simulator/home-screen/PlistValue.h"
#include "simulator/home-screen/Process.h"

namespace thrumline::test {

using sim::Event;
using sim::EventKind;
using sim::PlistValue;

// CoreFoundation versions that pick each hook group.
constexpr double kVersion_iOS10 = kLowestVersion_iOS10;
constexpr double kVersion_iOS11 = kLowestVersion_iOS11;

constexpr const char* kPrefsChanged = THRUMLINE_PREFS_CHANGED_NOTIFICATION;
constexpr const char* kVib3Preview = THRUMLINE_VIB3_PREVIEW_NOTIFICATION;

constexpr std::uint64_t kMs = 1000000;
constexpr std::uint64_t kSecond = 1000 * kMs;

inline PlistValue B(bool v) { return PlistValue::boolean(v); }
inline PlistValue I(std::int64_t v) { return PlistValue::integer(v); }

// Every key at its value when missing but the gate open: pattern output,
// one pulse of 300 ms; then `overrides` on top.
PlistValue enabledSettings(const PlistValue::Entries& overrides = {});

// A position in the event log and the virtual time when it was taken.
struct Mark {
    std::size_t index;
    std::uint64_t t;
};

class SimTest : public ::testing::Test {
protected:
    sim::Device device;
    std::unique_ptr<sim::Process> process;

    // Starts a home-screen process: the library loads and its first settings
    // load runs.
    void start(double version = kVersion_iOS11, std::vector<std::string> absentClasses = {});
    void startWith(const PlistValue& settings, double version = kVersion_iOS11) {
        device.paneWriteSettings(settings);
        start(version);
    }
    void endProcess() {
        process->end();
        process.reset();
    }
    // The pane posts `name` and the main queue delivers it.
    void post(const std::string& name) {
        device.panePost(name);
        process->device().mainQueue().runUntilIdle();
    }
    // The pane writes `settings` and posts the change notification.
    void reload(const PlistValue& settings) {
        device.paneWriteSettings(settings);
        post(kPrefsChanged);
    }
    void advance(std::uint64_t nanos) { process->device().mainQueue().runFor(nanos); }

    Mark mark() { return {device.events().size(), device.mainQueue().now()}; }
    std::size_t countSince(const Mark& from, EventKind kind) const;
    // What played since `from`: each vibration pattern as its steps,
    // "(true, 300, false, 200, ...)", and each sound as "sound N". (The
    // requests' form is pinned by the examples' JSON.)
    std::string played(const Mark& from) const;

    void TearDown() override;
};

}  // namespace thrumline::test

namespace thrumline::sim {
// Failure messages show values as text, not bytes.
inline void PrintTo(const PlistValue& value, std::ostream* out) { *out << value.describe(); }
}  // namespace thrumline::sim
