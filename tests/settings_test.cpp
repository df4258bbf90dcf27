// The settings store: how each value in the file converts, what a missing key
// or an unusable file gives, and when a reload takes effect.
#include <limits>

#include "host/sim/PropertyList.h"
#include "tests/SimFixture.h"

namespace thrumline::test {
namespace {

// Every key set unlike its missing-key value, as strings: read as booleans
// and as integers they differ, so a key read with the wrong conversion, or
// under another name, shows.
PlistValue probe() {
    return PlistValue::dictionary({
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
}
// What Settings::seen() shows for these values: a slot preview plays its
// number's figure, the other two previews always two pulses.
std::string shows(int first, int last, int dur, int v1, int v2, const char* call) {
    const auto figure = [dur](int number, int pulse) {
        if (number == 3) return std::string(kRhythm);
        if (number < 0 || number > 3) return std::string();
        std::string text = "[1 " + std::to_string(pulse);
        for (int n = 0; n < number; ++n) {
            text += " 0 " + std::to_string(dur) + " 1 " + std::to_string(pulse);
        }
        return text + "]";
    };
    return figure(first, v1) + " " + figure(last, v2) + " " + figure(1, v1) + " " + figure(1, v2) +
           " call=" + call;
}
const std::string kProbeSeen = shows(2, 3, 77, 111, 222, "chain");
const std::string kMissingSeen = shows(0, 0, 200, 300, 300, "silent");

class Settings : public SimTest {
protected:
    // The values as the library acts on them: the four previews, and what a
    // connected call on iOS 11 plays.
    std::string seen() {
        std::string text;
        for (const char* name : {kVib1Preview, kVib2Preview, kVib3Preview, kVib4Preview}) {
            text += preview(name) + " ";
        }
        Object call = process->newCall(true);
        const Mark from = mark();
        process->setActiveCall(call);
        const std::string inCall = played(from);
        advance(2 * kSecond);
        const bool silent = played(from).empty();
        // The call ends, so that the library lets it go.
        process->setConnected(call, false);
        process->setActiveCall(nullptr);
        advance(2 * kSecond);
        process->releaseObject(call);
        const char* kind = silent                              ? "silent"
                           : inCall.empty()                    ? "chain"
                           : inCall[0] == 'C'                  ? "pulse"
                           : inCall.find(" 0 ") == inCall.npos ? "single"
                                                               : "figure";
        return text + "call=" + kind;
    }

    void write(const PlistValue& file, bool binary) {
        device.paneWriteSettingsBytes(binary ? sim::toBinaryPlist(file) : sim::toXmlPlist(file));
    }
};

// Each value under a boolean key (isEnabled: the call plays or not) and an
// integer key (VibrationDuration: the pause of vib3Preview). Values that
// answer neither conversion count as missing. Each from XML and binary files.
TEST_F(Settings, ValuesConvertAsBooleansAndAsIntegers) {
    constexpr std::int64_t kMax = INT32_MAX, kMin = INT32_MIN;
    const std::vector<std::tuple<PlistValue, bool, std::int64_t>> rows = {
        {B(true), 1, 1},
        {B(false), 0, 0},
        {I(0), 0, 0},
        {I(-50), 1, -50},
        {I(1LL << 32), 1, 0},  // the low 32 bits, but true
        {I(-(1LL << 40) + 200), 1, 200},
        {I((1LL << 32) - 50), 1, -50},
        {PlistValue::unsignedInteger(UINT64_MAX), 1, -1},
        {R(0.5), 1, 0},
        {R(-250.9), 1, -250},
        {R(0.0), 0, 0},
        {R(1e12), 1, kMax},
        {R(-1e12), 1, kMin},
        {R(std::numeric_limits<double>::quiet_NaN()), 1, 0},
        {S("9lives"), 1, 9},
        {S(" +0001"), 1, 1},
        {S("-00y"), 1, 0},
        {S("\t Y"), 1, 0},
        {S("0x10"), 0, 0},
        {S("+000"), 0, 0},
        {S(""), 0, 0},
        {S("99999999999"), 1, kMax},
        {S("-99999999999"), 1, kMin},
        {PlistValue::data("1"), 0, 200},
        {PlistValue::date(1000.0), 0, 200},
        {PlistValue::dictionary({{"a", I(5)}}), 0, 200}};
    start();
    for (const auto& [value, asBoolean, asInteger] : rows) {
        for (const bool binary : {false, true}) {
            SCOPED_TRACE(value.describe() + (binary ? " binary" : " XML"));
            write(enabledSettings({{"isEnabled", value}, {"VibrationDuration", value}}), binary);
            post(kPrefsChanged);
            const Object call = process->newCall(true);
            const Mark from = mark();
            process->setActiveCall(call);
            EXPECT_EQ(played(from), asBoolean ? "[1 300]" : "");
            EXPECT_EQ(preview(kVib3Preview), "[1 300 0 " + std::to_string(asInteger) + " 1 300]");
            process->releaseObject(call);
        }
    }
}

// From XML and binary files, at a load or when removed by a later one
// (call-ios10.scn removes isNotRespringing).
TEST_F(Settings, MissingKeysTakeTheirMissingValue) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> rows = {
        {{}, kProbeSeen},
        {{"oldMethod", "vibration1", "lastVibrationNumber"}, shows(2, 0, 77, 300, 222, "figure")},
        {{"isVibrationsNumber", "VibrationDuration", "vibration2"},
         shows(2, 3, 200, 111, 300, "pulse")},
        {{"isEnabled", "firstVibrationNumber"}, shows(0, 3, 77, 111, 222, "silent")}};
    for (const auto& [keys, expected] : rows) {
        PlistValue file = probe();
        for (const std::string& key : keys) file.erase(key);
        for (const bool binary : {false, true}) {
            SCOPED_TRACE(file.describe() + (binary ? " binary" : " XML"));
            write(file, binary);
            start();
            EXPECT_EQ(seen(), expected);
            write(probe(), !binary);
            post(kPrefsChanged);
            EXPECT_EQ(seen(), kProbeSeen);
            write(file, binary);
            post(kPrefsChanged);
            EXPECT_EQ(seen(), expected);
            endProcess();
        }
    }
}

// Each file gives every missing-key value both to a new process (the one
// before had other values) and to a reload after a good load, which frees
// the old dictionary. An empty dictionary is kept as one; the others leave none.
TEST_F(Settings, UnusableFileGivesEveryMissingKeyValue) {
    const std::vector<std::pair<std::string, bool>> files = {
        {"", false},  // no file
        {sim::toXmlPlist(PlistValue::array({B(true)})), false},
        {std::string("\x01\x02garbage\xff<plist"), false},
        {sim::toBinaryPlist(PlistValue::dictionary()), true}};
    for (const auto& file : files) {
        SCOPED_TRACE(file.first);
        const auto place = [&] {
            file.first.empty() ? device.paneDeleteSettings()
                               : device.paneWriteSettingsBytes(file.first);
        };
        startWith(probe());
        endProcess();
        place();
        const Mark from = mark();
        start();
        const auto reads = since<sim::events::SettingsRead>(from);
        ASSERT_EQ(reads.size(), 1u);
        EXPECT_EQ(reads[0].outcome == sim::events::SettingsRead::Outcome::Found, file.second)
            << "read as a dictionary";
        EXPECT_EQ(seen(), kMissingSeen);
        const std::size_t objects = process->liveObjects();
        reload(probe());
        EXPECT_EQ(seen(), kProbeSeen);
        place();
        post(kPrefsChanged);
        EXPECT_EQ(seen(), kMissingSeen);
        EXPECT_EQ(process->liveObjects(), objects);
        endProcess();
    }
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
    process->device().mainQueue().runUntilIdle();
    EXPECT_EQ(countSince(from, EventKind::SettingsRead), 1u);
    EXPECT_EQ(preview(kVib3Preview), "[1 42 0 200 1 42]");
}

}  // namespace
}  // namespace thrumline::test
