// The previews: the figure each one plays for the settings in force, whatever
// the gate, the output method and the hook group. Which slot each preview
// reads is pinned by the settings tests, which read every value through them.
#include "tests/SimFixture.h"

namespace thrumline::test {
namespace {

using Previews = SimTest;

TEST_F(Previews, PlayTheSlotFigureWithTheGateClosedInClassicOutput) {
    // The version, the first slot number and what vib1Preview plays (empty: no
    // platform call at all).
    const std::vector<std::tuple<double, int, std::string>> rows = {
        {kVersion_iOS11, 1, "[1 90 0 40 1 90]"},
        {kVersion_iOS11, -1, ""},
        {kVersionNoGroup, 2, "[1 90 0 40 1 90 0 40 1 90]"},
        {kVersion_iOS10, 0, "[1 90]"}};
    for (const auto& [version, number, vib1] : rows) {
        SCOPED_TRACE(std::to_string(version) + " number " + std::to_string(number));
        startWith(enabledSettings({{"isEnabled", B(false)},
                                   {"isNotRespringing", B(false)},
                                   {"oldMethod", B(true)},
                                   {"isVibrationsNumber", B(true)},
                                   {"firstVibrationNumber", I(number)},
                                   {"vibration1", I(90)},
                                   {"VibrationDuration", I(40)}}),
                  version);
        EXPECT_EQ(preview(kVib1Preview), vib1);
        EXPECT_EQ(preview(kVib3Preview), "[1 90 0 40 1 90]");
        endProcess();
    }
}

}  // namespace
}  // namespace thrumline::test
