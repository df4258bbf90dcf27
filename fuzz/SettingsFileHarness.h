// Feeds arbitrary bytes to the library as its settings file and checks, from
// what the library does, that every load ended with all its values set by
// the rules. Shared by the libFuzzer target and the tests that replay its
// corpus, so a crash input found once stays a test.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "simulator/home-screen/Process.h"

namespace thrumline::hardening {

// The values a load must produce.
// One field per settings key, in the contract's order; minuteMinderSecond as
// read (the minder itself takes 1..59, else its default second).
#define THRUMLINE_VALUE_TYPE_BOOLEAN bool
#define THRUMLINE_VALUE_TYPE_INTEGER std::int32_t
#define THRUMLINE_VALUE(key, type, missing, initial) THRUMLINE_VALUE_TYPE_##type key;
struct SettingsValues {
    THRUMLINE_SETTING_KEYS(THRUMLINE_VALUE)
};
#undef THRUMLINE_VALUE
#undef THRUMLINE_VALUE_TYPE_BOOLEAN
#undef THRUMLINE_VALUE_TYPE_INTEGER

// The values a load of this file content gives, computed here on our own
// (not by asking the library): missing keys, files that are not a dictionary
// and values that cannot be converted take the missing-key values; the rest
// converts as Foundation's boolValue and intValue do.
SettingsValues expectedSettings(const sim::PlistValue& file);

// One simulated phone with one home-screen process (iOS 11 hooks), kept for
// many inputs: loading the library takes far longer than one input.
class SettingsFileHarness {
public:
    SettingsFileHarness() { start(); }
    ~SettingsFileHarness() { stop(); }

    // Writes `bytes` as the settings file and posts the change notification;
    // then plays the four previews and a connected (incoming) and an ended
    // call, lets the minute minder's step find the call over, lets
    // the home screen launch (the respring guard writes the file twice) and
    // checks the same again. Returns the first thing that went against the
    // rules, or an empty string.
    std::string run(const std::string& bytes);

private:
    void start();
    void stop();
    std::string runChecks(const std::string& bytes);
    std::string check(const SettingsValues& values, const char* when, bool drainChains);
    std::string checkMinder(const SettingsValues& values, std::size_t mark);

    std::unique_ptr<sim::Device> device_;
    std::unique_ptr<sim::Process> process_;
    Object connectedCall_ = nullptr;  // an incoming call, connected when announced
    std::size_t baselineObjects_ = 0;
};

}  // namespace thrumline::hardening
