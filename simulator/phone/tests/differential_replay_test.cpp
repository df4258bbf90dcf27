// The differential fuzzer's seeds and regressions, replayed in every test
// run: each scenario on the Linux library and on each slice of the phone
// binary, the same.
#include <gtest/gtest.h>

#include <filesystem>

#include "fuzz/DifferentialHarness.h"
#include "simulator/home-screen/Files.h"

namespace {

namespace fs = std::filesystem;

TEST(PhoneDifferential, EverySeedScenarioRunsTheSameOnBothSlicesOfThePhoneBinary) {
    int compared = 0;
    for (const char* dir : {"corpus/scenario", "regressions/scenario_differential"}) {
        for (const auto& entry : fs::directory_iterator(fs::path(THRUMLINE_FUZZ_DIR) / dir)) {
            if (entry.path().filename() == ".gitkeep") continue;
            std::string text;
            ASSERT_TRUE(thrumline::sim::readFileBytes(entry.path().string(), &text));
            for (const char* slice : {"arm64", "arm64e"}) {
                EXPECT_EQ(
                    thrumline::hardening::compareOnPhone(text, THRUMLINE_PHONE_ROOTLESS, {}, slice),
                    "")
                    << entry.path() << " on " << slice;
            }
            ++compared;
        }
    }
    EXPECT_GE(compared, 10) << "the seed corpus is missing";
}

}  // namespace
