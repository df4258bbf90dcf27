// The package's first settings file against the library's own settings
// table: every key the library reads, of the type it reads.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "simulator/home-screen/Files.h"
#include "simulator/home-screen/PlistValue.h"
#include "simulator/home-screen/PropertyList.h"
#include "tweak/settings/Settings.h"

using thrumline::SettingType;
using Value = thrumline::sim::PlistValue;
using Kind = Value::Type;

// Settings.cpp, which holds the table, also holds the loader; this test never
// loads settings, so no platform is ever bound.
extern "C" thrumline::HostServices* thrumlineBindHost() { return nullptr; }

namespace {

// The package's postinst, run as dpkg runs it, writes every key of the table
// with its type: the feature and the respring flag on, the rest as the
// library takes a missing key.
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
    EXPECT_EQ(document.entries().size(), static_cast<std::size_t>(thrumline::kSettingKeyCount));
    for (const thrumline::SettingKey& row : thrumline::kSettingKeys) {
        SCOPED_TRACE(row.key);
        const Value& value = document.at(row.key);
        const bool boolean = row.type == SettingType::Boolean;
        const bool on = row.key == std::string("isEnabled") ||
                        row.key == std::string(thrumline::kIsNotRespringingKey);
        EXPECT_EQ(value.type(), boolean ? Kind::Boolean : Kind::Integer);
        EXPECT_EQ(boolean ? value.boolValue() : value.intValue(), on ? 1 : row.missingValue);
    }
}

}  // namespace
