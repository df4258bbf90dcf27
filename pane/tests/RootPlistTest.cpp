// The preference bundle's plists against the library's own settings table:
// every cell stands for a key the library reads, of the type it reads,
// showing the value the library assumes when the key is missing; each
// preview button sits beside what it plays and posts a name the library
// observes; and PreferenceLoader's entry leads to the bundle's controller.
// The proof test checks that the reset button writes what the package installs.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "simulator/home-screen/Files.h"
#include "simulator/home-screen/PlistValue.h"
#include "tweak/settings/Contract.h"
#include "tweak/settings/Settings.h"

using thrumline::SettingType;
using Value = thrumline::sim::PlistValue;
using Kind = Value::Type;

// Settings.cpp, which holds the table, also holds the loader; this test never
// loads settings, so no platform is ever bound.
extern "C" thrumline::HostServices* thrumlineBindHost() { return nullptr; }

namespace {

const std::string kPane = THRUMLINE_PANE_DIR;

const std::vector<Value>& items() {
    static const Value root = thrumline::sim::readPlistFile(kPane + "/Resources/Root.plist");
    return root.at("items").items();
}

std::string text(const Value& item, const char* key) { return item.at(key).stringValue(); }

bool isSettingCell(const std::string& cell) {
    return cell == "PSSwitchCell" || cell == "PSSegmentCell" || cell == "PSSliderCell";
}

TEST(PaneCells, EveryKeyOfTheTableOnceShowingWhatTheLibraryAssumes) {
    ASSERT_FALSE(items().empty());
    std::map<std::string, std::vector<const Value*>> setters, shown;
    for (const Value& item : items()) {
        if (item.find("key") == nullptr) continue;
        (isSettingCell(text(item, "cell")) ? setters : shown)[text(item, "key")].push_back(&item);
    }
    // The respring flag is the library's own state: a cell for it would
    // silence calls for good.
    EXPECT_EQ(setters.size(), thrumline::kSettingKeyCount - 1u);
    for (const thrumline::SettingKey& row : thrumline::kSettingKeys) {
        SCOPED_TRACE(row.key);
        const std::string key = row.key;
        const bool respring = key == thrumline::kIsNotRespringingKey;
        ASSERT_EQ(setters[key].size(), respring ? 0u : 1u);
        if (respring) continue;
        const Value& cell = *setters[key][0];
        const bool boolean = row.type == SettingType::Boolean;
        const bool figure = key == "firstVibrationNumber" || key == "lastVibrationNumber";
        EXPECT_EQ(text(cell, "cell"), boolean  ? "PSSwitchCell"
                                      : figure ? "PSSegmentCell"
                                               : "PSSliderCell");
        // The controller writes a switch as a boolean, the others as integers.
        const Value& shownDefault = cell.at("default");
        EXPECT_EQ(shownDefault.type(), boolean ? Kind::Boolean : Kind::Integer);
        EXPECT_EQ(boolean ? shownDefault.boolValue() : shownDefault.intValue(), row.missingValue);
        if (figure) {
            std::string values;
            for (const Value& v : cell.at("validValues").items())
                values += std::to_string(v.intValue()) + " ";
            EXPECT_EQ(values, "0 1 2 3 ");
            EXPECT_EQ(cell.at("validTitles").items().size(), 4u);
        } else if (!boolean) {
            // A slider shows its whole milliseconds, or seconds, in the row above it.
            EXPECT_LE(cell.at("min").intValue(), shownDefault.intValue());
            EXPECT_LE(shownDefault.intValue(), cell.at("max").intValue());
            ASSERT_EQ(shown[key].size(), 1u);
            const Value& row = *shown[key][0];
            EXPECT_EQ(text(row, "cell"), "PSTitleValueCell");
            EXPECT_EQ(text(row, "id"), key + "Shown");
            EXPECT_EQ(row.at("default"), shownDefault);
            const bool second = key == "minuteMinderSecond";
            EXPECT_EQ(text(row, "get"), second ? "readSeconds:" : "readMilliseconds:");
            // The library reads a second outside 1..59 as the default: the
            // slider offers exactly that range, and both rows show a value
            // outside it as the default.
            for (const Value* item : {&cell, &row}) {
                const Value* outside = item->find("outsideRangeIsDefault");
                EXPECT_EQ(outside != nullptr && outside->boolValue(), second);
                if (!second) continue;
                EXPECT_EQ(item->at("min").intValue(), 1);
                EXPECT_EQ(item->at("max").intValue(), 59);
            }
        }
    }
    EXPECT_EQ(shown.size(), 4u);
}

// The optional features' cells and the minder's Play button make a group of
// their own, whose footer says what each switch does, by its label.
TEST(PaneCells, DuringACallGroupExplainsEachOfItsSwitches) {
    std::string footer;
    std::vector<std::string> cells, switches;  // of a group, until one holds connectOutgoingOnly
    for (const Value& item : items()) {
        if (text(item, "cell") == "PSGroupCell") {
            if (std::count(cells.begin(), cells.end(), "connectOutgoingOnly") != 0) break;
            footer = text(item, "footerText");
            cells.clear();
            switches.clear();
        } else {
            cells.push_back(item.find("key") != nullptr ? text(item, "key") : text(item, "action"));
            if (text(item, "cell") == "PSSwitchCell") switches.push_back(text(item, "label"));
        }
    }
    for (const std::string& label : switches)
        EXPECT_NE(footer.find(label + ":"), std::string::npos) << label;
    EXPECT_EQ(cells,
              (std::vector<std::string>{"connectOutgoingOnly", "minuteMinder", "minuteMinderSecond",
                                        "minuteMinderSecond", "playMinderPulse:"}));
}

TEST(PaneCells, EachPreviewButtonFollowsWhatItPlays) {
    const std::pair<const char*, std::string> previews[] = {
        {THRUMLINE_VIB1_PREVIEW_NOTIFICATION, "firstVibrationNumber"},
        {THRUMLINE_VIB2_PREVIEW_NOTIFICATION, "lastVibrationNumber"},
        {THRUMLINE_VIB3_PREVIEW_NOTIFICATION, "vibration1"},
        {THRUMLINE_VIB4_PREVIEW_NOTIFICATION, "vibration2"}};
    std::map<std::string, std::string> after;  // notification -> key of the cell before it
    for (std::size_t i = 1; i < items().size(); ++i) {
        if (items()[i].find("previewNotification") == nullptr) continue;
        EXPECT_EQ(text(items()[i], "cell"), "PSButtonCell");
        EXPECT_EQ(text(items()[i], "action"), "playPreview:");
        after[text(items()[i], "previewNotification")] = text(items()[i - 1], "key");
    }
    EXPECT_EQ(after.size(), 4u);
    for (const auto& [notification, key] : previews) EXPECT_EQ(after[notification], key);
}

// PreferenceLoader opens <bundle>.bundle and makes a <detail>; the pane
// proof test loads it so.
TEST(PaneBundle, PreferenceLoaderEntryLeadsToTheController) {
    const Value entry = thrumline::sim::readPlistFile(THRUMLINE_PANE_ENTRY).at("entry");
    const Value info = thrumline::sim::readPlistFile(kPane + "/Resources/Info.plist");
    EXPECT_EQ(text(entry, "cell") + " " + text(entry, "label"), "PSLinkCell Thrumline");
    EXPECT_TRUE(entry.at("isController").boolValue());
    EXPECT_EQ(text(entry, "bundle") + " " + text(entry, "detail"),
              "Thrumline ThrumlineListController");
    EXPECT_EQ(text(info, "CFBundleExecutable") + " " + text(info, "NSPrincipalClass"),
              "Thrumline ThrumlineListController");
    EXPECT_EQ(text(info, "CFBundleIdentifier").rfind("com.brindle.thrumline.", 0), 0u);
}

}  // namespace
