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

#include "PlistReader.h"
#include "hooks/Hooks.h"
#include "settings/Settings.h"

using thrumline::SettingKey;
using thrumline::SettingType;
using thrumline::plistcheck::Kind;
using thrumline::plistcheck::Value;

// Settings.cpp, which holds the table, also holds the loader; this test never
// loads settings, so no platform is ever bound.
extern "C" thrumline::HostServices* thrumlineBindHost() { return nullptr; }

namespace {

const std::string kPreferencesFolder = "/var/mobile/Library/Preferences/";

const SettingKey* settingFor(const std::string& key) {
    for (const SettingKey& row : thrumline::kSettingKeys) {
        if (key == row.key) return &row;
    }
    return nullptr;
}

// PreferenceLoader stores a cell's value in <defaults>.plist in the
// preferences folder: it must be the file the library reads.
std::string settingsFileOfDomain(const std::string& domain) {
    return kPreferencesFolder + domain + ".plist";
}

class PaneTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto document = thrumline::plistcheck::readFile(THRUMLINE_PANE_PLIST);
        ASSERT_TRUE(document.parsed) << THRUMLINE_PANE_PLIST;
        pane_ = document.root;
        ASSERT_EQ(pane_.kind, Kind::Dictionary);
    }
    Value pane_;
};

TEST_F(PaneTest, IsAPlistOnlyPreferenceLoaderPane) {
    EXPECT_EQ(pane_["entry"]["cell"].text, "PSLinkCell");
    EXPECT_FALSE(pane_["entry"]["label"].text.empty());
    EXPECT_EQ(pane_["title"].kind, Kind::String);
    ASSERT_EQ(pane_["items"].kind, Kind::Array);
    for (const Value& item : pane_["items"].items) {
        EXPECT_EQ(item.kind, Kind::Dictionary);
        EXPECT_EQ(item["cell"].kind, Kind::String);
        // A pane without code of its own can only post on a change; posting
        // anything but the change notification would leave the library's
        // values behind the file.
        if (item.has("PostNotification")) {
            EXPECT_EQ(item["PostNotification"].text, thrumline::kPrefsChangedNotification);
        }
    }
}

TEST_F(PaneTest, EveryCellMatchesTheSettingsTable) {
    std::map<std::string, int> seen;
    for (const Value& item : pane_["items"].items) {
        if (!item.has("key")) continue;
        const std::string key = item["key"].text;
        SCOPED_TRACE(key);
        ++seen[key];
        const SettingKey* row = settingFor(key);
        ASSERT_NE(row, nullptr) << "the library does not read this key";

        EXPECT_EQ(settingsFileOfDomain(item["defaults"].text), thrumline::kSettingsPath);
        EXPECT_EQ(item["PostNotification"].text, thrumline::kPrefsChangedNotification);

        // What the pane shows for a key missing from the file is what the
        // library then does.
        const Value& shown = item["default"];
        const std::string cell = item["cell"].text;
        if (row->type == SettingType::Boolean) {
            EXPECT_EQ(cell, "PSSwitchCell");
            ASSERT_EQ(shown.kind, Kind::Boolean) << thrumline::plistcheck::kindName(shown.kind);
            EXPECT_EQ(shown.boolean, row->missingValue != 0);
        } else {
            ASSERT_TRUE(shown.isNumber()) << thrumline::plistcheck::kindName(shown.kind);
            EXPECT_EQ(shown.number(), row->missingValue);
        }
    }
    for (const SettingKey& row : thrumline::kSettingKeys) {
        // The respring flag is the library's own state: a switch for it
        // would let the user silence every call for good.
        const int expected = std::string(row.key) == thrumline::kIsNotRespringingKey ? 0 : 1;
        EXPECT_EQ(seen[row.key], expected) << row.key;
    }
}

TEST_F(PaneTest, VibrationNumbersAreChoicesAndLengthsAreSliders) {
    for (const Value& item : pane_["items"].items) {
        if (!item.has("key")) continue;
        const std::string key = item["key"].text;
        const SettingKey* row = settingFor(key);
        if (row == nullptr || row->type != SettingType::Integer) continue;
        SCOPED_TRACE(key);
        const bool isNumber = key == "firstVibrationNumber" || key == "lastVibrationNumber";
        if (isNumber) {
            // One choice per figure the library plays: 0 to 3.
            EXPECT_EQ(item["cell"].text, "PSSegmentCell");
            const Value& values = item["validValues"];
            ASSERT_EQ(values.items.size(), 4u);
            for (std::size_t i = 0; i < values.items.size(); ++i) {
                EXPECT_EQ(values.items[i].kind, Kind::Integer);
                EXPECT_EQ(values.items[i].integer, static_cast<std::int64_t>(i));
            }
            EXPECT_EQ(item["validTitles"].items.size(), values.items.size());
        } else {
            EXPECT_EQ(item["cell"].text, "PSSliderCell");
            ASSERT_TRUE(item["min"].isNumber());
            ASSERT_TRUE(item["max"].isNumber());
            EXPECT_GE(item["min"].number(), 0);
            EXPECT_LE(item["min"].number(), item["default"].number());
            EXPECT_LE(item["default"].number(), item["max"].number());
            EXPECT_EQ(item["showValue"].kind, Kind::Boolean);
            EXPECT_TRUE(item["showValue"].boolean);
        }
    }
}

// The package's postinst, run as dpkg runs it, writes every key of the
// table with its type, and the respring flag on.
TEST(PackageDefaults, PostinstWritesEveryKeyOfTheTable) {
    const std::filesystem::path root = std::filesystem::temp_directory_path() /
                                       ("thrumline-postinst-" + std::to_string(::getpid()));
    std::filesystem::remove_all(root);
    const std::string command =
        "THRUMLINE_ROOT='" + root.string() + "' sh '" + THRUMLINE_POSTINST + "' configure ''";
    ASSERT_EQ(std::system(command.c_str()), 0);

    const auto document = thrumline::plistcheck::readFile(root.string() + thrumline::kSettingsPath);
    std::filesystem::remove_all(root);
    ASSERT_TRUE(document.parsed);
    EXPECT_TRUE(document.xml);
    const Value& file = document.root;
    EXPECT_EQ(file.entries.size(), static_cast<std::size_t>(thrumline::kSettingKeyCount));
    for (const SettingKey& row : thrumline::kSettingKeys) {
        SCOPED_TRACE(row.key);
        const Value& value = file[row.key];
        if (row.type == SettingType::Boolean) {
            ASSERT_EQ(value.kind, Kind::Boolean) << thrumline::plistcheck::kindName(value.kind);
            // On after install: the feature and the respring flag; the other
            // switches as the library takes a missing key.
            const bool on = std::string(row.key) == "isEnabled" ||
                            std::string(row.key) == thrumline::kIsNotRespringingKey;
            EXPECT_EQ(value.boolean, on ? true : row.missingValue != 0);
        } else {
            ASSERT_EQ(value.kind, Kind::Integer) << thrumline::plistcheck::kindName(value.kind);
            EXPECT_EQ(value.integer, row.missingValue);
        }
    }
}

}  // namespace
