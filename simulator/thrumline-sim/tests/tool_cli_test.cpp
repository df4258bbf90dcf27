// thrumline-sim's command line as a user meets it: bad options and files,
// bad scenarios, state errors, expects and exit codes, the settings options,
// bytes that are not UTF-8. What it prints is pinned by the examples
// (examples/: the timeline, --json and --svg).
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "ToolProcess.h"
#include "tweak/settings/Contract.h"

namespace thrumline::simtool::test {
namespace {

TEST(ToolCommandLine, BadOptionsAndFilesExitWithTwoAndRunNothing) {
    TempDir dir;
    const std::string empty = dir.write("empty.scn", "");
    const struct {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{}, "expected a SCENARIO file, or - for standard input"},
        {{"--loud", empty}, "unknown option --loud"},
        {{empty, empty}, "one SCENARIO only"},
        {{empty, "--svg"}, "--svg needs a FILE"},
        {{"--root=", empty}, "--root needs a DIR"},
        {{dir.path() + "/missing.scn"}, "cannot read scenario"},
        {{dir.path()}, "cannot read scenario"},
        {{"--settings", dir.path() + "/missing.plist", empty}, "cannot read settings file"},
        {{"--svg", dir.path() + "/no/such/folder/out.svg", empty}, "cannot write"},
        {{"--slice", "arm64e", empty}, "--slice needs --phone"},
        {{"--phone", empty, "--slice", "armv7", empty}, "--slice needs arm64 or arm64e"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        const ToolResult r = runTool(c.args);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_TRUE(contains(r.err, c.message)) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

// --help is compared with help.txt (tool.help), whose example the docs
// test runs.
TEST(ToolCommandLine, Version) {
    const ToolResult version = runTool({"--version"});
    EXPECT_TRUE(version.exitCode == 0 && version.out.rfind("thrumline-sim ", 0) == 0)
        << version.out;
}

// A bad line stops everything before anything runs (what the parser says of
// each: scenario_parser_test.cpp); a command in the wrong state stops the
// run at its line, after what came before it.
TEST(ToolScenarioErrors, ExitWithTwoAtTheLineAndRunNothingAfterIt) {
    const struct {
        const char* scenario;
        const char* message;  // after "FILE:"
        bool runsBefore;
    } cases[] = {
        {"start\ncall connected\nsettings-file nowhere.plist\nsettings a=1\n",
         "3: cannot read settings file ", false},
        {"call connected\nsettings a=1\n",
         "1: call needs a running home-screen process: expected start", true},
        {"start\nstart\nsettings a=1\n", "2: start: process 1 is already running", true},
        {"stop\nsettings a=1\n", "1: stop needs a running home-screen process", true},
        {"post prefschanged\nsettings a=1\n", "1: post needs a running home-screen process", true},
        {"wait 5124095h\nwait 5124095h\nsettings a=1\n",
         "2: wait 5124095h would take the clock past its end", true},
        {"expect file a=1\ncall nil\nsettings a=1\n", "2: call needs",
         true},  // 2 even after a failed expect
        {"telephony refresh\nsettings a=1\n", "1: telephony needs a running home-screen", true},
        {"start\ntelephony ring A\ntelephony ring A\nsettings a=1\n",
         "3: telephony ring A: A is a call in progress (ringing)", true},
        {"start\ntelephony dial A\ntelephony hold A\nsettings a=1\n",
         "3: telephony hold A: A is not active", true},
        {"start\ntelephony ring A\ntelephony end A\ntelephony active A\nsettings a=1\n",
         "4: telephony active A: no call A in progress", true},
    };
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.scenario);
        const std::string path = dir.write("s.scn", c.scenario);
        const ToolResult r = runTool({path});
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_TRUE(contains(r.err, path + ":" + c.message)) << r.err;
        EXPECT_EQ(r.out.empty(), !c.runsBefore) << r.out;
        EXPECT_FALSE(contains(r.out, "settings a=1")) << r.out;
    }
}

TEST(ToolExpect, FailuresNameTheirLineAndExitWithOneAfterTheLastCommand) {
    const std::string on =
        "settings isEnabled=true isNotRespringing=true isVibrationsNumber=false\n";
    const struct {
        std::string scenario;
        int line;  // of the one expect that fails
        std::string message;
    } cases[] = {
        {on + "start\ncall connected\nexpect vibrations 2\n", 4, "saw 1 vibration"},
        // One window for consecutive expects; the next command opens a new one.
        {on + "set oldMethod=true\nstart\ncall connected\nexpect vibrations 0\nexpect sounds "
              "1\ncall ended\n"
              "expect sounds 2\n",
         8, "saw 1 sound"},
        {"settings isEnabled=true\nexpect file isEnabled=1 vibration1=300\n", 2,
         "the file holds isEnabled=true; vibration1 is not in the file"},
        {"expect no-file\nsettings a=1\nexpect no-file\n", 3, "the settings file exists: a=1"},
        {"settings a=1 b=\"x\"\nset c=2.5\nunset a\nexpect no-key a\nexpect file b=\"x\" "
         "c=2.5\nexpect no-key b\n",
         6, "the file holds b=\"x\""},
        {"settings a=1\ndelete-settings\nexpect no-file\nstart\nexpect group iOS11\nstop\nexpect "
         "group none\n",
         7, "no home-screen process is running"},
        {"cf 1442.995\nstart\nexpect group iOS10\n", 3, "the running process has hook group none"},
        {"settings isEnabled=true\nstart\nlaunch\nexpect pending 0\n", 4,
         "the main queue holds 1 pending step"},
        {"start\ncall connected\ncall connected\nexpect live-calls 3\n", 4,
         "2 call objects are alive"},
        {"start\nexpect live-calls 1\n", 2, "0 call objects are alive"},
        {"start\npost vib3Preview\npost vib4Preview\nexpect overlaps 0\n", 4, "saw 1 overlap"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.scenario);
        const ToolResult r = runTool({"-"}, c.scenario + "wait 1s\n");
        EXPECT_TRUE(contains(r.out, "> wait 1s"))
            << r.out;  // a failed expect does not stop the run
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_TRUE(contains(r.out, "FAILED (line " + std::to_string(c.line) + ")")) << r.out;
        std::istringstream lines(c.scenario);
        std::string command;
        for (int i = 0; i < c.line; ++i) std::getline(lines, command);
        EXPECT_EQ(r.err, "<stdin>:" + std::to_string(c.line) + ": expect failed: " + command +
                             ": " + c.message + "\n");
    }
}

TEST(ToolSettingsOptions, SettingsStartsTheFileAndRootKeepsItForTheNextRun) {
    TempDir dir;
    const std::string plist =
        dir.write("start.plist",
                  "<plist version=\"1.0\"><dict><key>isEnabled</key><true/>"
                  "<key>vibration2</key><integer>120</integer></dict></plist>");
    const std::string root = dir.path() + "/phone";
    ToolResult r = runTool({"--settings", plist, "--root", root, "-"},
                           "expect file isEnabled=true vibration2=120\nset vibration1=250\n");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    r = runTool({"--root=" + root, "-"},
                "expect file isEnabled=true vibration1=250 vibration2=120\n");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(contains(readFile(root + THRUMLINE_SETTINGS_PATH), "<key>vibration1</key>"));
    // Without --root, every run starts with no settings file.
    ASSERT_EQ(runTool({"-"}, "settings a=1\n").exitCode, 0);
    EXPECT_EQ(runTool({"-"}, "expect no-file\n").exitCode, 0);
}

// A scenario's strings may hold any bytes; the JSON and the SVG stay UTF-8.
TEST(ToolOutput, BytesThatAreNotUtf8AreReplacedInJsonAndSvg) {
    TempDir dir;
    const std::string svg = dir.path() + "/out.svg";
    const ToolResult r = runTool({"--json", "--svg", svg, "-"}, "set s=\"caf\xc3\xa9 \xff\"\n");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const std::string replaced = "caf\xc3\xa9 \xef\xbf\xbd";
    EXPECT_TRUE(contains(r.out, "\"s\":\"" + replaced + "\"")) << r.out;
    EXPECT_TRUE(contains(readFile(svg), replaced));
    EXPECT_FALSE(contains(r.out + readFile(svg), "\xff"));
}

}  // namespace
}  // namespace thrumline::simtool::test
