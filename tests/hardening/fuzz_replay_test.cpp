// Replays the fuzzers' seed corpora and every input that ever broke a rule
// (fuzz/regressions) through the same checks the fuzzers make, in the
// ordinary builds and under the sanitizers.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>

#include "fuzz/ScenarioHarness.h"
#include "fuzz/SettingsFileHarness.h"
#include "host/sim/Files.h"

namespace thrumline::hardening {
namespace {

namespace fs = std::filesystem;
using sim::PlistValue;

// The inputs of a target, by file name.
std::map<std::string, std::string> inputsOf(const std::string& target) {
    std::map<std::string, std::string> inputs;
    for (const char* kind : {"corpus", "regressions"}) {
        const fs::path dir = fs::path(THRUMLINE_FUZZ_DIR) / kind / target;
        for (const auto& entry : fs::directory_iterator(dir)) {
            if (entry.path().filename() == ".gitkeep") continue;
            sim::readFileBytes(entry.path().string(), &inputs[entry.path().string()]);
        }
    }
    return inputs;
}

TEST(FuzzReplay, EverySettingsFileInputLoadsByTheRules) {
    const auto inputs = inputsOf("settings_file");
    ASSERT_GE(inputs.size(), 40u) << "the seed corpus is missing";
    SettingsFileHarness harness;
    for (const auto& [name, bytes] : inputs) EXPECT_EQ(harness.run(bytes), "") << name;
}

TEST(FuzzReplay, EveryScenarioInputParsesOrNamesItsLine) {
    const auto inputs = inputsOf("scenario");
    ASSERT_GE(inputs.size(), 10u) << "the seed corpus is missing";
    for (const auto& [name, text] : inputs) EXPECT_EQ(checkScenarioText(text), "") << name;
}

// The expected values themselves, where the rules are easy to get wrong:
// the four booleans, the five integers, then the three optional keys.
TEST(FuzzReplay, TheExpectedSettingsFollowTheConversionRules) {
    const PlistValue file = PlistValue::dictionary({
        {"isEnabled", PlistValue::string("  -00Yes")},
        {"isNotRespringing", PlistValue::real(0.0)},
        {"isVibrationsNumber", PlistValue::integer(-7)},
        {"oldMethod", PlistValue::data("1")},  // data answers no boolValue: missing
        {"firstVibrationNumber", PlistValue::string(" +99999999999x")},
        {"lastVibrationNumber", PlistValue::real(-250.9)},
        {"VibrationDuration", PlistValue::unsignedInteger(18446744073709551615ULL)},
        {"vibration1", PlistValue::array()},               // missing
        {"vibration2", PlistValue::integer(-4294967096)},  // the low 32 bits: 200
        {"connectOutgoingOnly", PlistValue::string("t")},
        {"minuteMinder", PlistValue::date(0)},  // missing
        {"minuteMinderSecond", PlistValue::real(59.9)},
    });
    auto text = [](const SettingsValues& v) {
        std::ostringstream out;
        out << v.isEnabled << v.isNotRespringing << v.isVibrationsNumber << v.oldMethod << ' '
            << v.firstVibrationNumber << ' ' << v.lastVibrationNumber << ' ' << v.VibrationDuration
            << ' ' << v.vibration1 << ' ' << v.vibration2 << ' ' << v.connectOutgoingOnly
            << v.minuteMinder << ' ' << v.minuteMinderSecond;
        return out.str();
    };
    EXPECT_EQ(text(expectedSettings(file)), "1010 2147483647 -250 -1 300 200 10 59");
    // Not a dictionary: every key is missing.
    EXPECT_EQ(text(expectedSettings(PlistValue::array({file}))), "0000 0 0 200 300 300 00 50");
}

}  // namespace
}  // namespace thrumline::hardening
