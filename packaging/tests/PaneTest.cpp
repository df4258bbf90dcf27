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
#include <string>
#include <vector>

#include "PlistReader.h"
#include "hooks/Hooks.h"
#include "settings/Settings.h"

using thrumline::SettingType;
using thrumline::plistcheck::Kind;
using thrumline::plistcheck::Value;

// Settings.cpp, which holds the table, also holds the loader; this test never
// loads settings, so no platform is ever bound.
extern "C" thrumline::HostServices* thrumlineBindHost() { return nullptr; }

namespace {

TEST(Pane, EveryCellIsAKeyOfTheTableShowingTheValueTheLibraryAssumes) {
    const auto document = thrumline::plistcheck::readFile(THRUMLINE_PANE_PLIST);
    ASSERT_EQ(document.root["entry"]["cell"].text, "PSLinkCell") << THRUMLINE_PANE_PLIST;
    EXPECT_EQ(document.root["title"].kind, Kind::String);
    std::map<std::string, std::vector<const Value*>> cells;
    for (const Value& item : document.root["items"].items) {
        // A pane without code can only post on a change: any other
        // notification would leave the library's values behind the file.
        if (item.has("PostNotification")) {
            EXPECT_EQ(item["PostNotification"].text, thrumline::kPrefsChangedNotification);
        }
        if (item.has("key")) cells[item["key"].text].push_back(&item);
    }
    // Every key of the table once, and no other. The respring flag is the
    // library's own state: a switch for it would silence calls for good.
    EXPECT_EQ(cells.size(), thrumline::kSettingKeyCount - 1u);
    for (const thrumline::SettingKey& row : thrumline::kSettingKeys) {
        SCOPED_TRACE(row.key);
        const std::string key = row.key;
        ASSERT_EQ(cells[key].size(), key == thrumline::kIsNotRespringingKey ? 0u : 1u);
        if (cells[key].empty()) continue;
        const Value& cell = *cells[key][0];
        // PreferenceLoader keeps a cell's value in <defaults>.plist there.
        EXPECT_EQ("/var/mobile/Library/Preferences/" + cell["defaults"].text + ".plist",
                  thrumline::kSettingsPath);
        EXPECT_EQ(cell["PostNotification"].text, thrumline::kPrefsChangedNotification);
        // What the pane shows for a missing key is what the library then does.
        const Value& shown = cell["default"];
        const bool boolean = row.type == SettingType::Boolean;
        EXPECT_TRUE(boolean ? shown.kind == Kind::Boolean : shown.isNumber())
            << thrumline::plistcheck::kindName(shown.kind);
        EXPECT_EQ(boolean ? shown.boolean : shown.number(), row.missingValue);
        if (boolean) {
            EXPECT_EQ(cell["cell"].text, "PSSwitchCell");
        } else if (key == "firstVibrationNumber" || key == "lastVibrationNumber") {
            // One choice per figure the library plays, 0 to 3, each titled.
            EXPECT_EQ(cell["cell"].text, "PSSegmentCell");
            std::string values;
            for (const Value& v : cell["validValues"].items)
                values += std::to_string(v.integer) + " ";
            EXPECT_EQ(values, "0 1 2 3 ");
            EXPECT_EQ(cell["validTitles"].items.size(), 4u);
        } else {
            EXPECT_EQ(cell["cell"].text, "PSSliderCell");
            EXPECT_GE(cell["min"].number(), 0);
            EXPECT_LE(cell["min"].number(), shown.number());
            EXPECT_LE(shown.number(), cell["max"].number());
            EXPECT_TRUE(cell["showValue"].boolean);
        }
    }
}

// The package's postinst, run as dpkg runs it, writes every key of the table
// with its type: the feature and the respring flag on, the rest as the
// library takes a missing key.
TEST(PackageDefaults, PostinstWritesEveryKeyOfTheTable) {
    const std::string root = std::filesystem::temp_directory_path().string() +
                             "/thrumline-postinst-" + std::to_string(::getpid());
    const std::string command =
        "THRUMLINE_ROOT='" + root + "' sh '" + THRUMLINE_POSTINST + "' configure ''";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const auto document = thrumline::plistcheck::readFile(root + thrumline::kSettingsPath);
    std::filesystem::remove_all(root);
    EXPECT_TRUE(document.xml);
    EXPECT_EQ(document.root.entries.size(), static_cast<std::size_t>(thrumline::kSettingKeyCount));
    for (const thrumline::SettingKey& row : thrumline::kSettingKeys) {
        SCOPED_TRACE(row.key);
        const Value& value = document.root[row.key];
        const bool boolean = row.type == SettingType::Boolean;
        const bool on = row.key == std::string("isEnabled") ||
                        row.key == std::string(thrumline::kIsNotRespringingKey);
        EXPECT_EQ(value.kind, boolean ? Kind::Boolean : Kind::Integer);
        EXPECT_EQ(boolean ? value.boolean : value.integer, on ? 1 : row.missingValue);
    }
}

}  // namespace
