// The settings pane and the package's first settings file against the
// library's own settings table: every key the pane writes is one the library
// reads, of the type it reads, with the value the library assumes when the
// key is missing, in the file the library reads, announced by the
// notification the library observes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "hooks/Hooks.h"
#include "host/sim/Files.h"
#include "host/sim/PlistValue.h"
#include "host/sim/PropertyList.h"
#include "settings/Settings.h"

using thrumline::SettingType;
using Value = thrumline::sim::PlistValue;
using Kind = Value::Type;

// Settings.cpp, which holds the table, also holds the loader; this test never
// loads settings, so no platform is ever bound.
extern "C" thrumline::HostServices* thrumlineBindHost() { return nullptr; }

namespace {

// Keys of optional features, off when missing: the postinst leaves them out,
// and the pane has no cells for them yet.
const std::set<std::string> kOptionalKeys = {"connectOutgoingOnly", "minuteMinder",
                                             "minuteMinderSecond"};

bool isNumber(const Value& v) { return v.type() == Kind::Integer || v.type() == Kind::Real; }
double number(const Value& v) {
    return v.type() == Kind::Integer ? static_cast<double>(v.intValue()) : v.realValue();
}

TEST(Pane, EveryCellIsAKeyOfTheTableShowingTheValueTheLibraryAssumes) {
    const Value document = thrumline::sim::readPlistFile(THRUMLINE_PANE_PLIST);
    ASSERT_EQ(document.at("entry").at("cell").stringValue(), "PSLinkCell") << THRUMLINE_PANE_PLIST;
    EXPECT_EQ(document.at("title").type(), Kind::String);
    std::map<std::string, std::vector<const Value*>> cells;
    for (const Value& item : document.at("items").items()) {
        // A pane without code can only post on a change: any other
        // notification would leave the library's values behind the file.
        if (item.find("PostNotification") != nullptr) {
            EXPECT_EQ(item.at("PostNotification").stringValue(),
                      thrumline::kPrefsChangedNotification);
        }
        if (item.find("key") != nullptr) cells[item.at("key").stringValue()].push_back(&item);
    }
    // Every key of the table once, and no other. The respring flag is the
    // library's own state: a switch for it would silence calls for good.
    EXPECT_EQ(cells.size(), thrumline::kSettingKeyCount - 1u - kOptionalKeys.size());
    for (const thrumline::SettingKey& row : thrumline::kSettingKeys) {
        SCOPED_TRACE(row.key);
        const std::string key = row.key;
        const bool noCell = key == thrumline::kIsNotRespringingKey || kOptionalKeys.count(key) != 0;
        ASSERT_EQ(cells[key].size(), noCell ? 0u : 1u);
        if (cells[key].empty()) continue;
        const Value& cell = *cells[key][0];
        // PreferenceLoader keeps a cell's value in <defaults>.plist there.
        EXPECT_EQ("/var/mobile/Library/Preferences/" + cell.at("defaults").stringValue() + ".plist",
                  thrumline::kSettingsPath);
        EXPECT_EQ(cell.at("PostNotification").stringValue(), thrumline::kPrefsChangedNotification);
        // What the pane shows for a missing key is what the library then does.
        const Value& shown = cell.at("default");
        const bool boolean = row.type == SettingType::Boolean;
        EXPECT_TRUE(boolean ? shown.type() == Kind::Boolean : isNumber(shown)) << shown.describe();
        EXPECT_EQ(boolean ? shown.boolValue() : number(shown), row.missingValue);
        if (boolean) {
            EXPECT_EQ(cell.at("cell").stringValue(), "PSSwitchCell");
        } else if (key == "firstVibrationNumber" || key == "lastVibrationNumber") {
            // One choice per figure the library plays, 0 to 3, each titled.
            EXPECT_EQ(cell.at("cell").stringValue(), "PSSegmentCell");
            std::string values;
            for (const Value& v : cell.at("validValues").items())
                values += std::to_string(v.intValue()) + " ";
            EXPECT_EQ(values, "0 1 2 3 ");
            EXPECT_EQ(cell.at("validTitles").items().size(), 4u);
        } else {
            EXPECT_EQ(cell.at("cell").stringValue(), "PSSliderCell");
            EXPECT_GE(number(cell.at("min")), 0);
            EXPECT_LE(number(cell.at("min")), number(shown));
            EXPECT_LE(number(shown), number(cell.at("max")));
            EXPECT_TRUE(cell.at("showValue").boolValue());
        }
    }
}

// The package's postinst, run as dpkg runs it, writes every key of the table
// but the optional features' with its type: the feature and the respring
// flag on, the rest as the library takes a missing key.
TEST(PackageDefaults, PostinstWritesEveryKeyOfTheTable) {
    const std::string root = std::filesystem::temp_directory_path().string() +
                             "/thrumline-postinst-" + std::to_string(::getpid());
    const std::string command =
        "THRUMLINE_ROOT='" + root + "' sh '" + THRUMLINE_POSTINST + "' configure ''";
    ASSERT_EQ(std::system(command.c_str()), 0);
    std::string bytes;
    ASSERT_TRUE(thrumline::sim::readFileBytes(root + thrumline::kSettingsPath, &bytes));
    std::filesystem::remove_all(root);
    EXPECT_EQ(bytes.rfind("<?xml", 0), 0u);
    const Value document = thrumline::sim::parsePlist(bytes);
    EXPECT_EQ(document.entries().size(), thrumline::kSettingKeyCount - kOptionalKeys.size());
    for (const thrumline::SettingKey& row : thrumline::kSettingKeys) {
        SCOPED_TRACE(row.key);
        if (kOptionalKeys.count(row.key) != 0) continue;
        const Value& value = document.at(row.key);
        const bool boolean = row.type == SettingType::Boolean;
        const bool on = row.key == std::string("isEnabled") ||
                        row.key == std::string(thrumline::kIsNotRespringingKey);
        EXPECT_EQ(value.type(), boolean ? Kind::Boolean : Kind::Integer);
        EXPECT_EQ(boolean ? value.boolValue() : value.intValue(), on ? 1 : row.missingValue);
    }
}

}  // namespace
