// The four previews: the figure each one plays for the settings in force, and
// that they play whatever the gate, the output method and the hook group.
#include "tests/SimFixture.h"

#include <optional>
#include <string>
#include <vector>

namespace thrumline::test {
namespace {

struct PreviewRow {
    const char* label;
    PlistValue::Entries settings;  // on top of enabledSettings()
    const char* notification;
    std::optional<Pattern> expected;  // nothing: no platform call at all
};

THRUMLINE_PRINT_ROW_AS_LABEL(PreviewRow)

const std::vector<PreviewRow> kPreviewRows = {
    {"vib1_defaults", {}, kVib1Preview, Pattern{ON, 300}},
    {"vib2_defaults", {}, kVib2Preview, Pattern{ON, 300}},
    {"vib3_defaults", {}, kVib3Preview, Pattern{ON, 300, OFF, 200, ON, 300}},
    {"vib4_defaults", {}, kVib4Preview, Pattern{ON, 300, OFF, 200, ON, 300}},
    {"vib1_number1",
     {{"firstVibrationNumber", I(1)}, {"vibration1", I(90)}, {"VibrationDuration", I(40)}},
     kVib1Preview,
     Pattern{ON, 90, OFF, 40, ON, 90}},
    {"vib1_number2",
     {{"firstVibrationNumber", I(2)}, {"vibration1", I(120)}, {"VibrationDuration", I(80)}},
     kVib1Preview,
     Pattern{ON, 120, OFF, 80, ON, 120, OFF, 80, ON, 120}},
    {"vib1_number3_ignores_lengths",
     {{"firstVibrationNumber", I(3)}, {"vibration1", I(999)}, {"VibrationDuration", I(7)}},
     kVib1Preview,
     rhythmFigure()},
    {"vib2_number3", {{"lastVibrationNumber", I(3)}, {"vibration2", I(1)}}, kVib2Preview,
     rhythmFigure()},
    {"vib2_uses_last_slot",
     {{"firstVibrationNumber", I(2)}, {"lastVibrationNumber", I(1)}, {"vibration1", I(11)},
      {"vibration2", I(22)}},
     kVib2Preview,
     Pattern{ON, 22, OFF, 200, ON, 22}},
    {"vib2_number4", {{"lastVibrationNumber", I(4)}}, kVib2Preview, std::nullopt},
    {"vib2_number_minus1", {{"lastVibrationNumber", I(-1)}}, kVib2Preview, std::nullopt},
    {"vib1_number_minus1", {{"firstVibrationNumber", I(-1)}}, kVib1Preview, std::nullopt},
    {"vib3_ignores_first_number",
     {{"firstVibrationNumber", I(3)}, {"vibration1", I(60)}},
     kVib3Preview,
     Pattern{ON, 60, OFF, 200, ON, 60}},
    {"vib4_ignores_last_number",
     {{"lastVibrationNumber", I(7)}, {"vibration2", I(70)}},
     kVib4Preview,
     Pattern{ON, 70, OFF, 200, ON, 70}},
    {"vib4_zero_pulse", {{"vibration2", I(0)}}, kVib4Preview, Pattern{ON, 0, OFF, 200, ON, 0}},
    {"vib3_negative_pause", {{"VibrationDuration", I(-5)}}, kVib3Preview,
     Pattern{ON, 300, OFF, -5, ON, 300}},
};

// Settings that close the gate or pick classic output change no preview.
const std::vector<std::pair<const char*, PlistValue::Entries>> kIrrelevantSettings = {
    {"asConfigured", {}},
    {"disabled", {{"isEnabled", B(false)}}},
    {"respringing", {{"isNotRespringing", B(false)}}},
    {"classic", {{"oldMethod", B(true)}, {"isVibrationsNumber", B(true)}}},
};

class PreviewTable
    : public SimTest,
      public ::testing::WithParamInterface<
          std::tuple<PreviewRow, std::pair<const char*, PlistValue::Entries>>> {};

TEST_P(PreviewTable, PlaysTheFigureOfTheSettingsInForce) {
    const auto& [row, irrelevant] = GetParam();
    startWith(withKeys(enabledSettings(row.settings), irrelevant.second));
    const std::size_t from = mark();
    EXPECT_EQ(preview(row.notification), row.expected);
    EXPECT_EQ(countSince(from, EventKind::Vibrate), row.expected ? 1u : 0u);
    EXPECT_EQ(countSince(from, EventKind::Sound), 0u);
    EXPECT_EQ(countSince(from, EventKind::StepScheduled), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PreviewTable,
    ::testing::Combine(::testing::ValuesIn(kPreviewRows), ::testing::ValuesIn(kIrrelevantSettings)),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).label) + "_" + std::get<1>(info.param).first;
    });

using Previews = SimTest;

TEST_F(Previews, PlayWhicheverHookGroupIsInstalled) {
    for (const double version : {kVersion_iOS10, kVersion_iOS11, kVersionNoGroup}) {
        SCOPED_TRACE(version);
        startWith(enabledSettings({{"isEnabled", B(false)},
                                   {"lastVibrationNumber", I(2)},
                                   {"vibration1", I(10)},
                                   {"vibration2", I(20)},
                                   {"VibrationDuration", I(5)}}),
                  version);
        EXPECT_EQ(preview(kVib1Preview), (Pattern{ON, 10}));
        EXPECT_EQ(preview(kVib2Preview), (Pattern{ON, 20, OFF, 5, ON, 20, OFF, 5, ON, 20}));
        EXPECT_EQ(preview(kVib3Preview), (Pattern{ON, 10, OFF, 5, ON, 10}));
        EXPECT_EQ(preview(kVib4Preview), (Pattern{ON, 20, OFF, 5, ON, 20}));
        endProcess();
    }
}

TEST_F(Previews, WithNoSettingsFileUseTheMissingKeyValues) {
    start();
    EXPECT_EQ(preview(kVib1Preview), (Pattern{ON, 300}));
    EXPECT_EQ(preview(kVib3Preview), (Pattern{ON, 300, OFF, 200, ON, 300}));
}

TEST_F(Previews, PlayOnlyOnceTheMainQueueDeliversAndOncePerPost) {
    startWith(enabledSettings());
    const std::size_t from = mark();
    device.panePost(kVib3Preview);
    device.panePost(kVib3Preview);
    EXPECT_EQ(countSince(from, EventKind::Vibrate), 0u) << "played inside the post";
    runUntilIdle();
    EXPECT_EQ(countSince(from, EventKind::Vibrate), 2u);
}

TEST_F(Previews, KeepNothingAlive) {
    startWith(enabledSettings({{"firstVibrationNumber", I(3)}}));
    const std::size_t before = process->liveObjects();
    for (const char* name : {kVib1Preview, kVib2Preview, kVib3Preview, kVib4Preview}) {
        device.panePost(name);
    }
    runUntilIdle();
    EXPECT_EQ(countSince(0, EventKind::Vibrate), 4u);
    EXPECT_EQ(process->liveObjects(), before);
}

TEST_F(Previews, NeverPostAnything) {
    startWith(enabledSettings());
    const std::size_t from = mark();
    for (const char* name : {kVib1Preview, kVib2Preview, kVib3Preview, kVib4Preview}) {
        post(name);
    }
    EXPECT_EQ(libraryPostsSince(from), 0u);
    EXPECT_EQ(countSince(from, EventKind::SettingsWritten), 0u);
}

}  // namespace
}  // namespace thrumline::test
