// Replays the fuzzers' seed corpora and every input that ever broke a rule
// (fuzz/regressions) through the same checks the fuzzers make, in the
// ordinary builds and under the sanitizers.
#include "fuzz/ScenarioHarness.h"
#include "fuzz/SettingsFileHarness.h"
#include "host/sim/PlistValue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace thrumline::hardening {
namespace {

namespace fs = std::filesystem;

std::vector<fs::path> inputsOf(const std::string& target) {
    std::vector<fs::path> files;
    for (const char* kind : {"corpus", "regressions"}) {
        const fs::path dir = fs::path(THRUMLINE_FUZZ_DIR) / kind / target;
        if (!fs::is_directory(dir)) continue;
        for (const auto& entry : fs::directory_iterator(dir)) {
            if (entry.is_regular_file() && entry.path().filename() != ".gitkeep") {
                files.push_back(entry.path());
            }
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::string bytesOf(const fs::path& path) {
    std::string bytes;
    sim::readFileBytes(path.string(), &bytes);
    return bytes;
}

TEST(FuzzReplay, EverySettingsFileInputLoadsByTheRules) {
    const auto inputs = inputsOf("settings_file");
    ASSERT_GE(inputs.size(), 40u) << "the seed corpus is missing";
    SettingsFileHarness harness;
    for (const fs::path& input : inputs) {
        EXPECT_EQ(harness.run(bytesOf(input)), "") << input;
    }
}

TEST(FuzzReplay, EveryScenarioInputParsesOrNamesItsLine) {
    const auto inputs = inputsOf("scenario");
    ASSERT_GE(inputs.size(), 10u) << "the seed corpus is missing";
    for (const fs::path& input : inputs) {
        EXPECT_EQ(checkScenarioText(bytesOf(input)), "") << input;
    }
}

// The oracle itself, on values where the rules are easy to get wrong.
TEST(FuzzReplay, TheSettingsOracleFollowsTheConversionRules) {
    using sim::PlistValue;
    const PlistValue file = PlistValue::dictionary({
        {"isEnabled", PlistValue::string("  -00Yes")},
        {"isNotRespringing", PlistValue::real(0.0)},
        {"isVibrationsNumber", PlistValue::integer(-7)},
        {"oldMethod", PlistValue::data("1")},
        {"firstVibrationNumber", PlistValue::string(" +99999999999x")},
        {"lastVibrationNumber", PlistValue::real(-250.9)},
        {"VibrationDuration", PlistValue::unsignedInteger(18446744073709551615ULL)},
        {"vibration1", PlistValue::array()},
    });
    const SettingsValues v = expectedSettings(file);
    EXPECT_TRUE(v.isEnabled);
    EXPECT_FALSE(v.isNotRespringing);
    EXPECT_TRUE(v.isVibrationsNumber);
    EXPECT_FALSE(v.oldMethod);  // data answers no boolValue: missing
    EXPECT_EQ(v.firstVibrationNumber, 2147483647);
    EXPECT_EQ(v.lastVibrationNumber, -250);
    EXPECT_EQ(v.VibrationDuration, 2147483647);
    EXPECT_EQ(v.vibration1, 300);  // an array: missing
    EXPECT_EQ(v.vibration2, 300);
    const SettingsValues none = expectedSettings(PlistValue::array({file}));
    EXPECT_FALSE(none.isEnabled);
    EXPECT_EQ(none.VibrationDuration, 200);
}

}  // namespace
}  // namespace thrumline::hardening
