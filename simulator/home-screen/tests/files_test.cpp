#include "simulator/home-screen/Files.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "simulator/home-screen/Device.h"

namespace thrumline::sim {
namespace {

TEST(FilesTest, AtomicWriteReplacesTheFileInOneStepOrKeepsTheOldOne) {
    Device device;  // for its temporary folder
    const std::string folder = device.deviceRoot() + "/w";
    ASSERT_TRUE(std::filesystem::create_directory(folder));
    const std::string path = folder + "/settings.plist";
    const PlistValue first = PlistValue::dictionary({{"v", PlistValue::integer(1)}});
    const PlistValue second = PlistValue::array({PlistValue::string("x<&>")});
    ASSERT_TRUE(writePlistFileAtomically(path, first));

    // A reader that has the old file keeps all of it.
    ASSERT_EQ(::link(path.c_str(), (folder + "/held").c_str()), 0);
    ASSERT_TRUE(writePlistFileAtomically(path, second));
    EXPECT_EQ(readPlistFile(folder + "/held"), first);
    EXPECT_EQ(readPlistFile(path), second);

    // Failures leave the old file as it was.
    EXPECT_FALSE(writePlistFileAtomically(folder + "/missing/x.plist", second));
    EXPECT_FALSE(writePlistFileAtomically(path, PlistValue()));
    EXPECT_EQ(readPlistFile(path), second);
}

}  // namespace
}  // namespace thrumline::sim
