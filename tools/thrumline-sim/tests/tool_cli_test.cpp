// thrumline-sim's command line as a user meets it: options, bad scenarios,
// state errors, expects and exit codes, the settings options.
#include "ToolProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace thrumline::simtool::test {
namespace {

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(ToolCommandLine, UsageErrorsExitWithTwo) {
    struct Case {
        std::vector<std::string> args;
        const char* message;
    };
    const Case cases[] = {
        {{}, "expected a SCENARIO file, or - for standard input"},
        {{"--loud", "x.scn"}, "unknown option --loud"},
        {{"a.scn", "b.scn"}, "one SCENARIO only"},
        {{"x.scn", "--svg"}, "--svg needs a FILE"},
        {{"--root=", "x.scn"}, "--root needs a DIR"},
        {{"x.scn", "--settings"}, "--settings needs a FILE"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        const ToolResult r = runTool(c.args);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_TRUE(contains(r.err, c.message)) << r.err;
        EXPECT_TRUE(contains(r.err, "usage: thrumline-sim")) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

TEST(ToolCommandLine, HelpAndVersion) {
    const ToolResult help = runTool({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    for (const char* part : {"--json", "--svg FILE", "--root DIR", "--settings FILE", "Scenario language",
                             "call connected|ended|nil", "expect vibrations N", "Example:", "Exit codes"}) {
        EXPECT_TRUE(contains(help.out, part)) << part;
    }
    // The example in the help runs and holds what its comments say.
    const std::size_t from = help.out.find("Example:\n");
    ASSERT_NE(from, std::string::npos);
    std::string example;
    for (std::size_t at = from + 9; at < help.out.size() && help.out.compare(at, 2, "  ") == 0;) {
        const std::size_t end = help.out.find('\n', at);
        example += help.out.substr(at + 2, end - at - 2) + "\n";
        at = end + 1;
    }
    EXPECT_TRUE(contains(example, "expect vibrations 1")) << example;
    const ToolResult run = runTool({"-"}, example);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(contains(run.out, "vibrate \u25AE250  (250 ms)")) << run.out;

    const ToolResult version = runTool({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out.rfind("thrumline-sim ", 0), 0u) << version.out;
}

TEST(ToolCommandLine, UnreadableFilesAreErrors) {
    TempDir dir;
    const std::string scenario = dir.write("s.scn", "start\n");
    struct Case {
        std::vector<std::string> args;
        const char* message;
    };
    const Case cases[] = {
        {{dir.path() + "/missing.scn"}, "cannot read scenario"},
        {{dir.path()}, "cannot read scenario"},
        {{"--settings", dir.path() + "/missing.plist", scenario}, "cannot read settings file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        const ToolResult r = runTool(c.args);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_TRUE(contains(r.err, c.message)) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

// A scenario that does not parse runs nothing at all: no timeline.
TEST(ToolScenarioErrors, BadLinesStopBeforeAnythingRuns) {
    struct Case {
        const char* scenario;
        const char* message;  // after "FILE:"
    };
    const Case cases[] = {
        {"start\ncall connected\nvibrate now\n", "3: unknown command \"vibrate\""},
        {"start\nset isEnabled=yes\n", "2: bad value \"yes\" for \"isEnabled\""},
        {"start\nwait forever\n", "2: expected a duration such as 250ms"},
        {"# only a comment\n\ncall sideways\n", "3: expected connected, ended or nil after call"},
        {"post vib9Preview\n", "1: unknown notification \"vib9Preview\""},
        {"start\nexpect vibrations many\n", "2: expected a count of vibrations"},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scenario);
        const std::string path = dir.write("bad.scn", c.scenario);
        const ToolResult r = runTool({path});
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(r.err.rfind(path + ":" + c.message, 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << "one message: " << r.err;
        EXPECT_EQ(r.out, "") << "a scenario that does not parse must not run";
    }
}

// A command in the wrong state stops the run at its line; what ran before
// it is shown, nothing after it runs.
TEST(ToolScenarioErrors, WrongStateStopsTheRunAtItsLine) {
    struct Case {
        const char* scenario;
        const char* message;
    };
    const Case cases[] = {
        {"call connected\nsettings a=1\n", "1: call needs a running home-screen process: expected start before it"},
        {"start\nstart\nsettings a=1\n", "2: start: process 1 is already running"},
        {"stop\nsettings a=1\n", "1: stop needs a running home-screen process"},
        {"restart\nsettings a=1\n", "1: restart needs a running home-screen process"},
        {"start\nstop\nlaunch\nsettings a=1\n", "3: launch needs a running home-screen process"},
        {"post prefschanged\nsettings a=1\n", "1: post needs a running home-screen process"},
        {"history\nsettings a=1\n", "1: history needs a running home-screen process"},
        {"wait 5124095h\nwait 5124095h\nsettings a=1\n", "2: wait 5124095h would take the clock past its end"},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scenario);
        const std::string path = dir.write("state.scn", c.scenario);
        const ToolResult r = runTool({path});
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_TRUE(contains(r.err, path + ":" + c.message)) << r.err;
        EXPECT_FALSE(contains(r.out, "settings a=1")) << r.out;
    }
}

TEST(ToolScenarioErrors, MissingSettingsFileIsFoundBeforeAnythingRuns) {
    TempDir dir;
    const std::string path = dir.write("s.scn", "start\ncall connected\nsettings-file nowhere.plist\n");
    const ToolResult r = runTool({path});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(contains(r.err, path + ":3: cannot read settings file " + dir.path() + "/nowhere.plist")) << r.err;
    EXPECT_EQ(r.out, "");
}

TEST(ToolScenarioErrors, StandardInputIsNamedInMessages) {
    const ToolResult r = runTool({"-"}, "start\nfly\n");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(contains(r.err, "<stdin>:2: unknown command \"fly\"")) << r.err;
}

// Pattern output, one pulse per call: each call event is one vibration.
const char* const kPatternSettings =
    "settings isEnabled=true isNotRespringing=true isVibrationsNumber=false oldMethod=false\n";
// Classic output, one pulse per call: each call event is one sound.
const char* const kClassicSettings =
    "settings isEnabled=true isNotRespringing=true isVibrationsNumber=false oldMethod=true\n";

TEST(ToolExpect, ResultsAndExitCodes) {
    struct Case {
        std::string scenario;
        int exitCode;
        const char* failure;  // part of the message, or "" when every expect holds
    };
    const Case cases[] = {
        {std::string(kPatternSettings) + "start\ncall connected\nexpect vibrations 1\nexpect sounds 0\n", 0, ""},
        {std::string(kPatternSettings) + "start\ncall connected\nexpect vibrations 2\n", 1,
         ":4: expect failed: expect vibrations 2: saw 1 vibration"},
        {std::string(kClassicSettings) + "start\ncall connected\nexpect sounds 0\n", 1, "saw 1 sound"},
        // Consecutive expects share one window; the next command opens a new one.
        {std::string(kClassicSettings) +
             "start\ncall connected\nexpect vibrations 0\nexpect sounds 1\ncall ended\nexpect sounds 1\n",
         0, ""},
        {std::string(kClassicSettings) + "start\ncall connected\nexpect sounds 1\ncall ended\nexpect sounds 2\n", 1,
         ":6: expect failed: expect sounds 2: saw 1 sound"},
        {"settings isEnabled=true\nexpect file isEnabled=true\n", 0, ""},
        {"settings isEnabled=true\nexpect file isEnabled=1\n", 1, "the file holds isEnabled=true"},
        {"settings isEnabled=true\nexpect file vibration1=300\n", 1, "vibration1 is not in the file"},
        {"expect no-file\n", 0, ""},
        {"settings a=1\nexpect no-file\n", 1, "the settings file exists: a=1"},
        {"settings a=1\ndelete-settings\nexpect no-file\n", 0, ""},
        {"settings a=1 b=2\nunset a\nexpect no-key a\nexpect file b=2\n", 0, ""},
        {"settings a=1 b=\"x\"\nexpect no-key b\n", 1, "the file holds b=\"x\""},
        {"settings a=1\nset b=2.5\nexpect file a=1 b=2.5\n", 0, ""},
        {"ios 11\nstart\nexpect group iOS11\n", 0, ""},
        {"ios 10\nstart\nexpect group iOS10\n", 0, ""},
        {"cf 1442.995\nstart\nexpect group none\n", 0, ""},
        {"ios 9\nstart\nexpect group iOS11\n", 1, "the running process has hook group none"},
        {"expect group none\n", 1, "no home-screen process is running"},
        {"settings isEnabled=true\nstart\nlaunch\nexpect pending 1\nwait 7s\nexpect pending 0\n", 0, ""},
        {"settings isEnabled=true\nstart\nlaunch\nexpect pending 0\n", 1, "the main queue holds 1 pending step"},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scenario);
        const std::string path = dir.write("expect.scn", c.scenario);
        const ToolResult r = runTool({path});
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        if (*c.failure == '\0') {
            EXPECT_EQ(r.err, "");
            EXPECT_FALSE(contains(r.out, "FAILED"));
        } else {
            EXPECT_TRUE(contains(r.err, c.failure)) << r.err;
            EXPECT_TRUE(contains(r.out, "FAILED (line ")) << r.out;
        }
    }
}

TEST(ToolExpect, AFailedExpectLetsTheScenarioRunToItsEnd) {
    TempDir dir;
    const std::string path =
        dir.write("s.scn", std::string(kPatternSettings) + "start\nexpect vibrations 5\ncall connected\nexpect vibrations 1\n");
    const ToolResult r = runTool({path});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(contains(r.err, path + ":3: expect failed")) << r.err;
    EXPECT_TRUE(contains(r.out, "> call connected"));
    EXPECT_TRUE(contains(r.out, "> expect vibrations 1: ok"));
}

TEST(ToolExpect, AStateErrorAfterAFailedExpectStillExitsWithTwo) {
    const ToolResult r = runTool({"-"}, "expect file a=1\ncall nil\n");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(contains(r.err, "<stdin>:1: expect failed")) << r.err;
    EXPECT_TRUE(contains(r.err, "<stdin>:2: call needs")) << r.err;
}

TEST(ToolSettingsOptions, RootKeepsTheSettingsFileForTheNextRun) {
    TempDir dir;
    const std::string root = dir.path() + "/phone";
    const ToolResult first = runTool({"--root", root, "-"}, "settings isEnabled=true vibration1=250\n");
    ASSERT_EQ(first.exitCode, 0) << first.err;
    const std::string file = root + "/var/mobile/Library/Preferences/com.brindle.thrumline.plist";
    EXPECT_TRUE(contains(readFile(file), "<key>vibration1</key>"));

    const ToolResult second =
        runTool({"--root=" + root, "-"}, "expect file isEnabled=true vibration1=250\nset vibration1=100\n");
    EXPECT_EQ(second.exitCode, 0) << second.err;
    EXPECT_TRUE(contains(readFile(file), "<integer>100</integer>"));
}

TEST(ToolSettingsOptions, TheDefaultRootIsTemporary) {
    const ToolResult r = runTool({"--json", "-"}, "settings a=1\n");
    ASSERT_EQ(r.exitCode, 0);
    // Every run starts without a settings file.
    const ToolResult again = runTool({"-"}, "expect no-file\n");
    EXPECT_EQ(again.exitCode, 0) << again.err;
}

TEST(ToolSettingsOptions, SettingsOptionAndSettingsFileCommandCopyBytes) {
    TempDir dir;
    const std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
        "<key>isEnabled</key><true/>\n<key>vibration2</key><integer>120</integer>\n</dict>\n</plist>\n";
    const std::string plist = dir.write("in/start.plist", xml);
    dir.write("scenarios/later.plist", "this is not a property list");
    const std::string scenario = dir.write("scenarios/s.scn",
                                           "expect file isEnabled=true vibration2=120\n"
                                           "settings-file later.plist\n"
                                           "start\n");
    const std::string root = dir.path() + "/phone";
    // Run from another folder: settings-file paths follow the scenario.
    const ToolResult r = runTool({"--settings", plist, "--root", root, scenario}, "", "/");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "library read the settings: not a property list")) << r.out;
    EXPECT_EQ(readFile(root + "/var/mobile/Library/Preferences/com.brindle.thrumline.plist"),
              "this is not a property list");
}

}  // namespace
}  // namespace thrumline::simtool::test
