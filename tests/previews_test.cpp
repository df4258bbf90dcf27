// The four previews: the figure each one plays for the settings in force,
// whatever the gate, the output method and the hook group.
#include "tests/SimFixture.h"

namespace thrumline::test {
namespace {

struct PreviewRow {
    const char* label;
    double version;
    PlistValue::Entries settings;
    const char* notification;
    std::string expected;  // empty: no platform call at all
};

void PrintTo(const PreviewRow& row, std::ostream* out) { *out << row.label; }

constexpr double v11 = kVersion_iOS11;

const std::vector<PreviewRow> kRows = {
    {"vib1_defaults", v11, {}, kVib1Preview, "[1 300]"},
    {"vib3_defaults", v11, {}, kVib3Preview, "[1 300 0 200 1 300]"},
    {"vib3_first_slot_only",
     v11,
     {{"vibration1", I(60)}, {"firstVibrationNumber", I(3)}, {"VibrationDuration", I(-5)}},
     kVib3Preview,
     "[1 60 0 -5 1 60]"},
    {"vib4_last_slot_only",
     v11,
     {{"vibration2", I(70)}, {"lastVibrationNumber", I(7)}},
     kVib4Preview,
     "[1 70 0 200 1 70]"},
    {"vib1_number1",
     v11,
     {{"firstVibrationNumber", I(1)}, {"vibration1", I(90)}, {"VibrationDuration", I(40)}},
     kVib1Preview,
     "[1 90 0 40 1 90]"},
    {"vib1_number2",
     v11,
     {{"firstVibrationNumber", I(2)}, {"vibration1", I(120)}, {"VibrationDuration", I(80)}},
     kVib1Preview,
     "[1 120 0 80 1 120 0 80 1 120]"},
    {"vib1_number3",
     v11,
     {{"firstVibrationNumber", I(3)}, {"vibration1", I(999)}},
     kVib1Preview,
     kRhythm},
    {"vib2_number3", v11, {{"lastVibrationNumber", I(3)}}, kVib2Preview, kRhythm},
    {"vib2_last_slot_only",
     v11,
     {{"firstVibrationNumber", I(2)},
      {"lastVibrationNumber", I(1)},
      {"vibration1", I(11)},
      {"vibration2", I(22)}},
     kVib2Preview,
     "[1 22 0 200 1 22]"},
    {"vib2_number4", v11, {{"lastVibrationNumber", I(4)}}, kVib2Preview, ""},
    {"vib1_number_minus1", v11, {{"firstVibrationNumber", I(-1)}}, kVib1Preview, ""},
    {"vib2_no_hook_group",
     kVersionNoGroup,
     {{"lastVibrationNumber", I(2)}, {"vibration2", I(20)}, {"VibrationDuration", I(5)}},
     kVib2Preview,
     "[1 20 0 5 1 20 0 5 1 20]"},
    {"vib4_iOS10", kVersion_iOS10, {{"vibration2", I(0)}}, kVib4Preview, "[1 0 0 200 1 0]"},
};

class Previews : public SimTest, public ::testing::WithParamInterface<PreviewRow> {};

TEST_P(Previews, PlayTheFigureOfTheSettingsWithTheGateClosedInClassicOutput) {
    const PreviewRow& row = GetParam();
    PlistValue settings = enabledSettings({{"isEnabled", B(false)},
                                           {"isNotRespringing", B(false)},
                                           {"oldMethod", B(true)},
                                           {"isVibrationsNumber", B(true)}});
    for (const auto& [key, value] : row.settings) settings.set(key, value);
    startWith(settings, row.version);
    const Mark from = mark();
    EXPECT_EQ(preview(row.notification), row.expected);
    EXPECT_EQ(countSince(from, EventKind::StepScheduled), 0u);
}

INSTANTIATE_TEST_SUITE_P(Table, Previews, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace thrumline::test
