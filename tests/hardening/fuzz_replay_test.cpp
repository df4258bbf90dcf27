// Replays the fuzzers' seed corpora and every input that ever broke a rule
// (fuzz/regressions) through the same checks the fuzzers make, in the
// ordinary builds and under the sanitizers. The settings harness's own
// expectations come from the contract's table and the conversion rules,
// which examples/settings-missing-keys.scn, hand-edited-numbers.scn and
// simulator/home-screen/tests/value_conversion_test.cpp pin.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "fuzz/ScenarioHarness.h"
#include "fuzz/SettingsFileHarness.h"
#include "simulator/home-screen/Files.h"

namespace thrumline::hardening {
namespace {

namespace fs = std::filesystem;

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

}  // namespace
}  // namespace thrumline::hardening
