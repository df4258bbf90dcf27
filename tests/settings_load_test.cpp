// The settings store: how each value in the file converts, what a missing key
// or an unusable file gives, and when a reload takes effect.
#include <cinttypes>
#include <cstdio>
#include <limits>

#include "tests/SimFixture.h"

namespace thrumline::test {
namespace {

// Every key set unlike its missing-key value.
PlistValue probe() {
    return PlistValue::dictionary({
        {"isEnabled", B(true)},
        {"isNotRespringing", B(true)},
        {"isVibrationsNumber", B(true)},
        {"oldMethod", B(true)},
        {"firstVibrationNumber", I(2)},
        {"lastVibrationNumber", I(3)},
        {"VibrationDuration", I(77)},
        {"vibration1", I(111)},
        {"vibration2", I(222)},
    });
}
const std::string kProbeSeen = "first=2 last=3 dur=77 v1=111 v2=222 call=chain";
const std::string kMissingSeen = "first=0 last=0 dur=200 v1=300 v2=300 call=silent";

class Settings : public SimTest {
protected:
    // The values as the library acts on them: the integers through the four
    // previews, the booleans through what a connected call on iOS 11 plays.
    std::string seen() {
        std::int64_t v1 = 0, v2 = 0, dur = 0, dur2 = 0;
        std::sscanf(preview(kVib3Preview).c_str(), "[1 %" SCNd64 " 0 %" SCNd64, &v1, &dur);
        std::sscanf(preview(kVib4Preview).c_str(), "[1 %" SCNd64 " 0 %" SCNd64, &v2, &dur2);
        EXPECT_EQ(dur, dur2);
        std::string text = "first=" + number(preview(kVib1Preview), v1, dur) +
                           " last=" + number(preview(kVib2Preview), v2, dur) +
                           " dur=" + std::to_string(dur) + " v1=" + std::to_string(v1) +
                           " v2=" + std::to_string(v2);
        Object call = process->newCall(true);
        const Mark from = mark();
        process->setActiveCall(call);
        const std::string inCall = played(from);
        advance(2 * kSecond);
        process->releaseObject(call);
        const char* kind = played(from).empty()                ? "silent"
                           : inCall.empty()                    ? "chain"
                           : inCall[0] == 'C'                  ? "pulse"
                           : inCall.find(" 0 ") == inCall.npos ? "single"
                                                               : "figure";
        return text + " call=" + kind;
    }

    // The vibration number a slot preview's figure stands for.
    static std::string number(const std::string& figure, std::int64_t pulse, std::int64_t pause) {
        if (figure.empty()) return "none";
        if (figure == kRhythm) return "3";
        std::string built = "[1 " + std::to_string(pulse);
        for (int n = 0; n <= 2; ++n) {
            if (figure == built + "]") return std::to_string(n);
            built += " 0 " + std::to_string(pause) + " 1 " + std::to_string(pulse);
        }
        return "?" + figure;
    }

    void write(const PlistValue& file, bool binary) {
        device.paneWriteSettingsBytes(binary ? binaryPlist(file) : sim::toXmlPlist(file));
    }
};

struct ConversionRow {
    PlistValue value;
    bool asBoolean;
    std::int64_t asInteger;
    bool binary = false;
};

constexpr std::int64_t kMax = INT32_MAX;
constexpr std::int64_t kMin = INT32_MIN;
const double kNaN = std::numeric_limits<double>::quiet_NaN();

// Each value under a boolean key (isEnabled: the call plays or not) and an
// integer key (VibrationDuration: the pause of vib3Preview). Values that
// answer neither conversion count as missing.
TEST_F(Settings, ValuesConvertAsBooleansAndAsIntegers) {
    const std::vector<ConversionRow> rows = {{B(true), 1, 1},
                                             {B(false), 0, 0},
                                             {I(150), 1, 150},
                                             {I(0), 0, 0},
                                             {I(-50), 1, -50, true},
                                             {I(1LL << 32), 1, kMax},
                                             {I(-(1LL << 40)), 1, kMin},
                                             {R(0.5), 1, 0},
                                             {R(-250.9), 1, -250},
                                             {R(0.0), 0, 0},
                                             {R(1e12), 1, kMax},
                                             {R(-1e12), 1, kMin},
                                             {R(kNaN), 1, 0, true},
                                             {S("YES"), 1, 0},
                                             {S("true"), 1, 0},
                                             {S("9lives"), 1, 9},
                                             {S(" +0001"), 1, 1},
                                             {S("-00y"), 1, 0},
                                             {S("\t Y"), 1, 0},
                                             {S("150ms"), 1, 150},
                                             {S("  12 34"), 1, 12},
                                             {S("0x10"), 0, 0},
                                             {S("no"), 0, 0},
                                             {S("+000"), 0, 0},
                                             {S("0.5"), 0, 0},
                                             {S(""), 0, 0},
                                             {S("99999999999"), 1, kMax},
                                             {S("-99999999999"), 1, kMin},
                                             {PlistValue::data("1"), 0, 200},
                                             {PlistValue::date(1000.0), 0, 200},
                                             {PlistValue::array({I(5)}), 0, 200},
                                             {PlistValue::dictionary({{"a", I(5)}}), 0, 200}};
    start();
    const Object call = process->newCall(true);
    for (const ConversionRow& row : rows) {
        SCOPED_TRACE(row.value.describe() + (row.binary ? " binary" : ""));
        write(enabledSettings({{"isEnabled", row.value}, {"VibrationDuration", row.value}}),
              row.binary);
        post(kPrefsChanged);
        const Mark from = mark();
        process->setActiveCall(call);
        EXPECT_EQ(played(from), row.asBoolean ? "[1 300]" : "");
        EXPECT_EQ(preview(kVib3Preview), "[1 300 0 " + std::to_string(row.asInteger) + " 1 300]");
    }
    process->releaseObject(call);
}

// Strings read as booleans and as integers differ, so a key read with the
// wrong conversion, or under another name, shows.
TEST_F(Settings, EachKeyIsReadWithItsOwnConversionFromXmlAndBinaryFiles) {
    const PlistValue file = PlistValue::dictionary({
        {"isEnabled", S("YES")},
        {"isNotRespringing", S("y")},
        {"isVibrationsNumber", S("true")},
        {"oldMethod", S("T")},
        {"firstVibrationNumber", S("2x")},
        {"lastVibrationNumber", S(" 3")},
        {"VibrationDuration", S("+0077ms")},
        {"vibration1", S("111")},
        {"vibration2", S("222.9")},
    });
    for (const bool binary : {false, true}) {
        SCOPED_TRACE(binary ? "binary" : "XML");
        write(file, binary);
        start();
        EXPECT_EQ(seen(), kProbeSeen);
        endProcess();
    }
}

struct MissingRow {
    std::vector<std::string> keys;
    std::string seen;
};

class MissingKeys : public Settings,
                    public ::testing::WithParamInterface<std::tuple<MissingRow, bool>> {};

TEST_P(MissingKeys, TakeTheirMissingValueAtALoadOrWhenRemovedLater) {
    const auto& [row, removedLater] = GetParam();
    if (removedLater) {
        startWith(probe());
        device.paneUnsetKeys(row.keys);
        post(kPrefsChanged);
    } else {
        PlistValue file = probe();
        for (const std::string& key : row.keys) file.erase(key);
        startWith(file);
    }
    EXPECT_EQ(seen(), row.seen);
}

INSTANTIATE_TEST_SUITE_P(
    Table, MissingKeys,
    ::testing::Combine(
        ::testing::Values(MissingRow{{"oldMethod", "vibration1", "lastVibrationNumber"},
                                     "first=2 last=0 dur=77 v1=300 v2=222 call=figure"},
                          MissingRow{{"isVibrationsNumber", "VibrationDuration", "vibration2"},
                                     "first=2 last=3 dur=200 v1=111 v2=300 call=pulse"},
                          MissingRow{{"isEnabled", "firstVibrationNumber"},
                                     "first=0 last=3 dur=77 v1=111 v2=222 call=silent"},
                          MissingRow{{"isNotRespringing"},
                                     "first=2 last=3 dur=77 v1=111 v2=222 call=silent"}),
        ::testing::Bool()));

struct FileRow {
    const char* label;
    std::string bytes;  // empty: no file
    bool readsAsDictionary;
};

void PrintTo(const FileRow& row, std::ostream* out) { *out << row.label; }

class UnusableFile : public Settings, public ::testing::WithParamInterface<FileRow> {};

// The process before had other values: each process starts afresh.
TEST_P(UnusableFile, GivesEveryMissingKeyValueInANewProcess) {
    const FileRow& row = GetParam();
    startWith(probe());
    endProcess();
    if (row.bytes.empty()) {
        device.paneDeleteSettings();
    } else {
        device.paneWriteSettingsBytes(row.bytes);
    }
    const Mark from = mark();
    start();
    const std::vector<Event> reads = eventsSince(from, EventKind::SettingsRead);
    ASSERT_EQ(reads.size(), 1u);
    // An empty dictionary is kept as a dictionary; the others leave none.
    EXPECT_EQ(reads[0].flag, row.readsAsDictionary);
    EXPECT_EQ(seen(), kMissingSeen);
}

INSTANTIATE_TEST_SUITE_P(
    Table, UnusableFile,
    ::testing::Values(FileRow{"no_file", "", false},
                      FileRow{"array_root", sim::toXmlPlist(PlistValue::array({B(true)})), false},
                      FileRow{"garbage", std::string("\x01\x02garbage\xff<plist"), false},
                      FileRow{"empty_dictionary", binaryPlist(PlistValue::dictionary()), true}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(Settings, FileDeletedAfterAGoodLoadGivesMissingValuesAndFreesTheOldDictionary) {
    start();
    const std::size_t withoutDictionary = process->liveObjects();
    reload(probe());
    EXPECT_EQ(seen(), kProbeSeen);
    device.paneDeleteSettings();
    post(kPrefsChanged);
    EXPECT_EQ(seen(), kMissingSeen);
    EXPECT_EQ(process->liveObjects(), withoutDictionary);
}

TEST_F(Settings, OnlyTheChangeNotificationReloadsOnceAfterThePostReturns) {
    startWith(enabledSettings());
    device.paneWriteSettings(enabledSettings({{"vibration1", I(42)}}));
    const Mark from = mark();
    post("com.brindle.thrumline.PrefsChanged");
    post("prefschanged");
    EXPECT_EQ(preview(kVib3Preview), "[1 300 0 200 1 300]");
    device.panePost(kPrefsChanged);
    EXPECT_EQ(countSince(from, EventKind::SettingsRead), 0u) << "read inside the post";
    process->queue().runUntilIdle();
    EXPECT_EQ(countSince(from, EventKind::SettingsRead), 1u);
    EXPECT_EQ(preview(kVib3Preview), "[1 42 0 200 1 42]");
}

}  // namespace
}  // namespace thrumline::test
