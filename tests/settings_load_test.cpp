// The settings store: how each value in the file converts, what a missing key
// or an unreadable file gives, and when a reload takes effect. The library's
// values are private, so each one is read back through what it makes the
// library do: integers through the previews, booleans through a call event.
#include "tests/SimFixture.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace thrumline::test {
namespace {

// What vib1Preview / vib2Preview played, as the vibration number it stands for.
constexpr int kNoFigure = -1;

int figureOf(const std::optional<Pattern>& played, std::int64_t pulse, std::int64_t pause) {
    if (!played) return kNoFigure;
    for (int number = 0; number <= 2; ++number) {
        Pattern figure;
        for (int i = 0; i <= number; ++i) {
            if (i > 0) figure.insert(figure.end(), {OFF, pause});
            figure.insert(figure.end(), {ON, pulse});
        }
        if (*played == figure) return number;
    }
    if (*played == rhythmFigure()) return 3;
    ADD_FAILURE() << "a preview played no known figure";
    return -2;
}

struct Integers {
    int firstVibrationNumber;
    int lastVibrationNumber;
    std::int64_t VibrationDuration;
    std::int64_t vibration1;
    std::int64_t vibration2;
    bool operator==(const Integers& o) const {
        return firstVibrationNumber == o.firstVibrationNumber &&
               lastVibrationNumber == o.lastVibrationNumber &&
               VibrationDuration == o.VibrationDuration && vibration1 == o.vibration1 &&
               vibration2 == o.vibration2;
    }
};

std::ostream& operator<<(std::ostream& out, const Integers& v) {
    return out << "{first " << v.firstVibrationNumber << ", last " << v.lastVibrationNumber
               << ", duration " << v.VibrationDuration << ", v1 " << v.vibration1 << ", v2 "
               << v.vibration2 << "}";
}

// The values a load gives to keys that are missing.
constexpr Integers kMissingIntegers = {0, 0, 200, 300, 300};

class SettingsTest : public SimTest {
protected:
    // The five integers, through the four previews.
    Integers observeIntegers() {
        const std::optional<Pattern> two1 = preview(kVib3Preview);
        const std::optional<Pattern> two2 = preview(kVib4Preview);
        if (!two1 || two1->size() != 6 || !two2 || two2->size() != 6) {
            ADD_FAILURE() << "vib3Preview and vib4Preview must play two pulses";
            return {};
        }
        Integers v{};
        v.vibration1 = (*two1)[1];
        v.VibrationDuration = (*two1)[3];
        v.vibration2 = (*two2)[1];
        EXPECT_EQ((*two2)[3], v.VibrationDuration);
        v.firstVibrationNumber = figureOf(preview(kVib1Preview), v.vibration1, v.VibrationDuration);
        v.lastVibrationNumber = figureOf(preview(kVib2Preview), v.vibration2, v.VibrationDuration);
        return v;
    }

    std::int64_t observeInteger(const std::string& key) {
        const Integers v = observeIntegers();
        if (key == "firstVibrationNumber") return v.firstVibrationNumber;
        if (key == "lastVibrationNumber") return v.lastVibrationNumber;
        if (key == "VibrationDuration") return v.VibrationDuration;
        if (key == "vibration1") return v.vibration1;
        if (key == "vibration2") return v.vibration2;
        ADD_FAILURE() << "not an integer key: " << key;
        return 0;
    }

    // Read under kBooleanProbe with one key changed: a connected call (first
    // slot, number 1) on iOS 11, and the queue run past a chain's gap.
    bool observeBoolean(const std::string& key) {
        Object call = process->newCall(true);
        const std::size_t from = mark();
        process->setActiveCall(call);
        advance(1 * kSecond);
        process->releaseObject(call);
        const std::vector<Pattern> patterns = patternsSince(from);
        const std::size_t pulses = classicPulsesSince(from).size();
        const bool played = !patterns.empty() || pulses > 0;
        if (key == "isEnabled" || key == "isNotRespringing") return played;
        EXPECT_TRUE(played) << "the probe must open the gate";
        if (key == "oldMethod") return pulses > 0;
        if (key == "isVibrationsNumber") {
            // Figure 1 (two pulses) against one pulse, in either output.
            return pulses == 2 || (patterns.size() == 1 && patterns[0].size() == 6);
        }
        ADD_FAILURE() << "not a boolean key: " << key;
        return false;
    }

    // Whether the launch hook arms the respring guard: it reads isEnabled alone.
    bool guardArms() {
        const std::size_t from = mark();
        process->applicationDidFinishLaunching(process->application());
        return libraryPostsSince(from) > 0;
    }
};

// All four booleans true and a first figure of two pulses: every boolean
// changes what a connected call plays.
PlistValue booleanProbe() {
    return PlistValue::dictionary({
        {"isEnabled", B(true)},
        {"isNotRespringing", B(true)},
        {"isVibrationsNumber", B(true)},
        {"oldMethod", B(true)},
        {"firstVibrationNumber", I(1)},
        {"VibrationDuration", I(200)},
    });
}

// Integers that differ from every missing-key value.
PlistValue integerProbe() {
    return PlistValue::dictionary({
        {"firstVibrationNumber", I(2)},
        {"lastVibrationNumber", I(3)},
        {"VibrationDuration", I(77)},
        {"vibration1", I(111)},
        {"vibration2", I(222)},
    });
}

const std::vector<std::string> kBooleanKeys = {"isEnabled", "isNotRespringing",
                                               "isVibrationsNumber", "oldMethod"};
const std::vector<std::string> kIntegerKeys = {"firstVibrationNumber", "lastVibrationNumber",
                                               "VibrationDuration", "vibration1", "vibration2"};

// --- Conversions ---

struct BooleanRow {
    const char* label;
    PlistValue value;
    bool expected;
    bool binary = false;  // written as a binary property list
};

const std::vector<BooleanRow> kBooleanRows = {
    {"bool_true", B(true), true},
    {"bool_false", B(false), false},
    {"int_2", I(2), true},
    {"int_0", I(0), false},
    {"int_minus1", I(-1), true},
    {"int_2pow32", I(4294967296LL), true},  // not cut to 32 bits first
    {"real_half", R(0.5), true},
    {"real_zero", R(0.0), false},
    {"str_YES", S("YES"), true},
    {"str_Yes", S("Yes"), true},
    {"str_y", S("y"), true},
    {"str_true", S("true"), true},
    {"str_T", S("T"), true},
    {"str_1", S("1"), true},
    {"str_9lives", S("9lives"), true},
    {"str_space_plus_0001", S(" +0001"), true},
    {"str_minus_00y", S("-00y"), true},
    {"str_tab_space_Y", S("\t Y"), true},
    {"str_no", S("no"), false},
    {"str_N", S("N"), false},
    {"str_0", S("0"), false},
    {"str_plus000", S("+000"), false},
    {"str_0_5", S("0.5"), false},
    {"str_empty", S(""), false},
    {"str_x1", S("x1"), false},
    {"str_space_space", S("  "), false},
    {"data", PlistValue::data("YES"), false},
    {"date", PlistValue::date(1000.0), false},
    {"array", PlistValue::array({B(true)}), false},
    {"dictionary", PlistValue::dictionary({{"isEnabled", B(true)}}), false},
    {"binary_int_2", I(2), true, true},
    {"binary_real_nan", R(std::numeric_limits<double>::quiet_NaN()), true, true},
};

// Writes a row's file the way the row says.
void writeFile(sim::Device& device, const PlistValue& file, bool binary) {
    if (binary) {
        device.paneWriteSettingsBytes(binaryPlist(file));
    } else {
        device.paneWriteSettings(file);
    }
}

// Every row under one key, reloaded one after another in one process.
class BooleanConversion : public SettingsTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(BooleanConversion, EveryValueReadsAsExpected) {
    const std::string& key = GetParam();
    start();
    for (const BooleanRow& row : kBooleanRows) {
        SCOPED_TRACE(std::string(row.label) + ": " + key + " = " + row.value.describe());
        writeFile(device, withKeys(booleanProbe(), {{key, row.value}}), row.binary);
        post(kPrefsChanged);
        EXPECT_EQ(observeBoolean(key), row.expected);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryBooleanKey, BooleanConversion, ::testing::ValuesIn(kBooleanKeys),
                         [](const auto& info) { return info.param; });

struct IntegerRow {
    const char* label;
    PlistValue value;
    std::int64_t expected;
    bool binary = false;
};

constexpr std::int64_t kMax = INT32_MAX;
constexpr std::int64_t kMin = INT32_MIN;

const std::vector<IntegerRow> kIntegerRows = {
    {"int_150", I(150), 150},
    {"int_minus50", I(-50), -50},
    {"int_0", I(0), 0},
    {"int_max", I(kMax), kMax},
    {"int_min", I(kMin), kMin},
    {"int_above_32bit", I(1LL << 40), kMax},
    {"int_below_32bit", I(-(1LL << 40)), kMin},
    {"int_2pow32_plus5", I(4294967301LL), kMax},
    {"bool_true", B(true), 1},
    {"bool_false", B(false), 0},
    {"real_250_9", R(250.9), 250},
    {"real_minus250_9", R(-250.9), -250},
    {"real_huge", R(1e12), kMax},
    {"real_minus_huge", R(-1e12), kMin},
    {"str_150ms", S("150ms"), 150},
    {"str_space_plus_0001", S(" +0001"), 1},
    {"str_minus42", S("-42"), -42},
    {"str_12_34", S("  12 34"), 12},
    {"str_1e3", S("1e3"), 1},
    {"str_0x10", S("0x10"), 0},
    {"str_abc", S("abc"), 0},
    {"str_YES", S("YES"), 0},
    {"str_empty", S(""), 0},
    {"str_max", S("2147483647"), kMax},
    {"str_min", S("-2147483648"), kMin},
    {"str_overflow", S("99999999999"), kMax},
    {"str_underflow", S("-99999999999"), kMin},
    {"data", PlistValue::data("150"), 200},
    {"date", PlistValue::date(1000.0), 200},
    {"array", PlistValue::array({I(5)}), 200},
    {"dictionary", PlistValue::dictionary({{"VibrationDuration", I(5)}}), 200},
    {"binary_int_minus50", I(-50), -50, true},
    {"binary_real_nan", R(std::numeric_limits<double>::quiet_NaN()), 0, true},
    {"binary_unsigned_huge", PlistValue::unsignedInteger(9223372036854775813ULL), kMax, true},
};

using IntegerConversion = SettingsTest;

// Every conversion under VibrationDuration: vib3Preview shows its whole range.
TEST_F(IntegerConversion, EveryValueReadsAsExpected) {
    start();
    for (const IntegerRow& row : kIntegerRows) {
        SCOPED_TRACE(std::string(row.label) + ": " + row.value.describe());
        writeFile(device, withKeys(integerProbe(), {{"VibrationDuration", row.value}}), row.binary);
        post(kPrefsChanged);
        EXPECT_EQ(observeInteger("VibrationDuration"), row.expected);
    }
}

// The other integer keys convert the same way and are never limited to the
// values other parts know.
struct KeyedIntegerRow {
    const char* key;
    PlistValue value;
    std::int64_t expected;
};

TEST_F(IntegerConversion, EachKeyConvertsItsOwnValue) {
    const std::vector<KeyedIntegerRow> rows = {
        {"vibration1", R(250.9), 250},
        {"vibration1", S("-7x"), -7},
        {"vibration2", S("0"), 0},
        {"vibration2", I(kMax), kMax},
        {"firstVibrationNumber", S(" 3"), 3},
        {"firstVibrationNumber", B(true), 1},
        {"firstVibrationNumber", I(9), kNoFigure},
        {"lastVibrationNumber", R(2.7), 2},
        {"lastVibrationNumber", I(-1), kNoFigure},
        {"lastVibrationNumber", PlistValue::data("3"), 0},
    };
    start();
    for (const KeyedIntegerRow& row : rows) {
        SCOPED_TRACE(std::string(row.key) + " = " + row.value.describe());
        reload(withKeys(integerProbe(), {{row.key, row.value}}));
        EXPECT_EQ(observeInteger(row.key), row.expected);
    }
}

// --- Missing keys ---

enum class Absence { AtTheLoad, RemovedAfterAGoodLoad };

std::string absenceName(Absence absence) {
    return absence == Absence::AtTheLoad ? "atLoad" : "removedLater";
}

class MissingKeyTest : public SettingsTest,
                       public ::testing::WithParamInterface<std::tuple<std::string, Absence>> {
protected:
    // Loads `probe` without `key`, either from the start or by removing the
    // key from a good file and posting.
    void loadWithout(const PlistValue& probe, const std::string& key, Absence absence) {
        if (absence == Absence::AtTheLoad) {
            PlistValue file = probe;
            file.erase(key);
            startWith(file);
        } else {
            startWith(probe);
            device.paneUnsetKeys({key});
            post(kPrefsChanged);
        }
    }
};

auto missingKeyName = [](const auto& info) {
    return std::get<0>(info.param) + "_" + absenceName(std::get<1>(info.param));
};

using MissingBooleanKey = MissingKeyTest;

TEST_P(MissingBooleanKey, ReadsFalse) {
    const auto& [key, absence] = GetParam();
    // Present and true, the key shows; so its absence is what changes the call.
    startWith(booleanProbe());
    ASSERT_TRUE(observeBoolean(key));
    endProcess();
    loadWithout(booleanProbe(), key, absence);
    EXPECT_FALSE(observeBoolean(key));
}

INSTANTIATE_TEST_SUITE_P(EveryKey, MissingBooleanKey,
                         ::testing::Combine(::testing::ValuesIn(kBooleanKeys),
                                            ::testing::Values(Absence::AtTheLoad,
                                                              Absence::RemovedAfterAGoodLoad)),
                         missingKeyName);

using MissingIntegerKey = MissingKeyTest;

TEST_P(MissingIntegerKey, TakesItsMissingValueAndTheOthersStay) {
    const auto& [key, absence] = GetParam();
    loadWithout(integerProbe(), key, absence);
    Integers expected = {2, 3, 77, 111, 222};
    if (key == "firstVibrationNumber") expected.firstVibrationNumber = 0;
    if (key == "lastVibrationNumber") expected.lastVibrationNumber = 0;
    if (key == "VibrationDuration") expected.VibrationDuration = 200;
    if (key == "vibration1") expected.vibration1 = 300;
    if (key == "vibration2") expected.vibration2 = 300;
    EXPECT_EQ(observeIntegers(), expected);
}

INSTANTIATE_TEST_SUITE_P(EveryKey, MissingIntegerKey,
                         ::testing::Combine(::testing::ValuesIn(kIntegerKeys),
                                            ::testing::Values(Absence::AtTheLoad,
                                                              Absence::RemovedAfterAGoodLoad)),
                         missingKeyName);

// --- Whole files ---

struct FileRow {
    const char* label;
    std::string bytes;  // empty: no file at all
    bool readsAsDictionary;
};

THRUMLINE_PRINT_ROW_AS_LABEL(FileRow)

class UnusableFile : public SettingsTest, public ::testing::WithParamInterface<FileRow> {};

TEST_P(UnusableFile, GivesEveryMissingKeyValue) {
    const FileRow& row = GetParam();
    if (!row.bytes.empty()) device.paneWriteSettingsBytes(row.bytes);
    start();

    const std::vector<Event> reads = eventsSince(0, EventKind::SettingsRead);
    ASSERT_EQ(reads.size(), 1u);
    // An empty dictionary is kept as a dictionary; the others leave none.
    EXPECT_EQ(reads[0].flag, row.readsAsDictionary);

    EXPECT_EQ(observeIntegers(), kMissingIntegers);
    // isEnabled false: the launch guard stays off and calls stay silent.
    Object call = process->newCall(true);
    const std::size_t from = mark();
    process->setActiveCall(call);
    runUntilIdle();
    EXPECT_TRUE(patternsSince(from).empty());
    EXPECT_TRUE(classicPulsesSince(from).empty());
    EXPECT_EQ(process->isConnectedQueries(call), 0);
    process->releaseObject(call);
    EXPECT_FALSE(guardArms());
}

INSTANTIATE_TEST_SUITE_P(
    Table, UnusableFile,
    ::testing::Values(
        FileRow{"no_file", "", false},
        FileRow{"array_root", sim::toXmlPlist(PlistValue::array({B(true), I(1)})), false},
        FileRow{"binary_array_root", binaryPlist(PlistValue::array({B(true)})), false},
        FileRow{"string_root", sim::toXmlPlist(S("isEnabled")), false},
        FileRow{"garbage", std::string("\x01\x02garbage\xff<plist"), false},
        FileRow{"truncated_xml", sim::toXmlPlist(enabledSettings()).substr(0, 120), false},
        FileRow{"empty_dictionary", sim::toXmlPlist(PlistValue::dictionary()), true},
        FileRow{"binary_empty_dictionary", binaryPlist(PlistValue::dictionary()), true}),
    [](const auto& info) { return std::string(info.param.label); });

using SettingsFile = SettingsTest;

PlistValue everyKeyCustom() {
    return PlistValue::dictionary({
        {"isEnabled", B(true)},
        {"isNotRespringing", B(true)},
        {"isVibrationsNumber", B(true)},
        {"oldMethod", B(false)},
        {"firstVibrationNumber", I(2)},
        {"lastVibrationNumber", I(3)},
        {"VibrationDuration", I(-5)},
        {"vibration1", I(120)},
        {"vibration2", I(0)},
        {"someoneElsesKey", S("kept")},
    });
}

TEST_F(SettingsFile, XmlAndBinaryFilesReadAlike) {
    const Integers expected = {2, 3, -5, 120, 0};
    for (const bool binary : {false, true}) {
        SCOPED_TRACE(binary ? "binary" : "XML");
        if (binary) {
            device.paneWriteSettingsBytes(binaryPlist(everyKeyCustom()));
        } else {
            device.paneWriteSettings(everyKeyCustom());
        }
        start();
        EXPECT_EQ(observeIntegers(), expected);
        // Pattern output, numbers on: a connected call plays figure 2.
        Object call = process->newCall(true);
        const std::size_t from = mark();
        process->setActiveCall(call);
        EXPECT_EQ(patternsSince(from),
                  (Patterns{{ON, 120, OFF, -5, ON, 120, OFF, -5, ON, 120}}));
        process->releaseObject(call);
        endProcess();
    }
}

TEST_F(SettingsFile, ChangeNotificationReloadsOnceAfterThePostReturns) {
    startWith(enabledSettings());
    device.paneWriteSettings(enabledSettings({{"vibration1", I(42)}}));

    const std::size_t from = mark();
    device.panePost(kPrefsChanged);
    EXPECT_EQ(countSince(from, EventKind::SettingsRead), 0u) << "read inside the post";
    EXPECT_EQ(countSince(from, EventKind::NotificationDelivered), 0u);
    runUntilIdle();
    EXPECT_EQ(countSince(from, EventKind::SettingsRead), 1u);
    EXPECT_EQ(countSince(from, EventKind::NotificationDelivered), 1u);
    EXPECT_EQ(observeInteger("vibration1"), 42);
}

TEST_F(SettingsFile, OtherNamesDoNotReload) {
    startWith(enabledSettings());
    device.paneWriteSettings(enabledSettings({{"vibration1", I(42)}}));
    const std::size_t from = mark();
    post("com.brindle.thrumline.PrefsChanged");
    post("com.brindle.thrumline.prefschanged.extra");
    post("prefschanged");
    EXPECT_EQ(countSince(from, EventKind::SettingsRead), 0u);
    EXPECT_EQ(observeInteger("vibration1"), 300);
}

TEST_F(SettingsFile, DeletedAfterAGoodLoadGivesMissingValuesAndReleasesTheOldDictionary) {
    start();  // no file
    const std::size_t withoutDictionary = process->liveObjects();

    reload(everyKeyCustom());
    EXPECT_GT(process->liveObjects(), withoutDictionary);
    const std::size_t withDictionary = process->liveObjects();
    // Reloading the same file swaps one dictionary for another.
    post(kPrefsChanged);
    EXPECT_EQ(process->liveObjects(), withDictionary);

    device.paneDeleteSettings();
    const std::size_t from = mark();
    post(kPrefsChanged);
    const std::vector<Event> reads = eventsSince(from, EventKind::SettingsRead);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_FALSE(reads[0].flag);
    EXPECT_EQ(process->liveObjects(), withoutDictionary);
    EXPECT_EQ(observeIntegers(), kMissingIntegers);
    EXPECT_FALSE(guardArms());
}

TEST_F(SettingsFile, EnabledWithoutNotRespringingArmsTheGuardButKeepsCallsSilent) {
    PlistValue file = enabledSettings();
    file.erase("isNotRespringing");
    startWith(file);
    Object call = process->newCall(true);
    const std::size_t from = mark();
    process->setActiveCall(call);
    EXPECT_TRUE(patternsSince(from).empty());
    process->releaseObject(call);
    EXPECT_TRUE(guardArms());
}

TEST_F(SettingsFile, AReloadTakesEffectAtTheNextReadOnly) {
    startWith(enabledSettings({{"vibration1", I(100)}}));
    EXPECT_EQ(preview(kVib3Preview), (Pattern{ON, 100, OFF, 200, ON, 100}));
    // Written but not posted: nothing changes yet.
    device.paneWriteSettings(enabledSettings({{"vibration1", I(150)}}));
    EXPECT_EQ(preview(kVib3Preview), (Pattern{ON, 100, OFF, 200, ON, 100}));
    post(kPrefsChanged);
    EXPECT_EQ(preview(kVib3Preview), (Pattern{ON, 150, OFF, 200, ON, 150}));
}

}  // namespace
}  // namespace thrumline::test
