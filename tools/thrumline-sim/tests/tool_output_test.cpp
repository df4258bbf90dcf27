// What thrumline-sim prints: JSON Lines read back with nlohmann-json, the
// timeline's text, the SVG, and that the same scenario gives the same bytes.
#include "ToolProcess.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

namespace thrumline::simtool::test {
namespace {

using nlohmann::json;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::vector<json> runJson(const std::string& scenario, int expectedExit = 0) {
    const ToolResult r = runTool({"--json", "-"}, scenario);
    EXPECT_EQ(r.exitCode, expectedExit) << r.err;
    std::vector<json> objects;
    std::istringstream lines(r.out);
    std::string line;
    while (std::getline(lines, line)) objects.push_back(json::parse(line));
    return objects;
}

std::vector<json> eventsNamed(const std::vector<json>& objects, const std::string& event) {
    std::vector<json> out;
    for (const json& o : objects) {
        if (o.at("event") == event) out.push_back(o);
    }
    return out;
}

std::uint64_t seconds(std::uint64_t s) { return s * 1000000000ULL; }

TEST(ToolJson, EveryLineIsAnObjectWithTimeAndEventInOrder) {
    const std::vector<json> objects = runJson(
        "settings isEnabled=true isNotRespringing=true\nstart\nlaunch\nwait 8s\ncall connected\n"
        "post vib1Preview\nrestart\nstop\n");
    ASSERT_FALSE(objects.empty());
    std::uint64_t previous = 0;
    for (const json& o : objects) {
        ASSERT_TRUE(o.is_object());
        ASSERT_TRUE(o.at("t_ns").is_number_unsigned()) << o;
        ASSERT_TRUE(o.at("event").is_string()) << o;
        EXPECT_GE(o.at("t_ns").get<std::uint64_t>(), previous) << o;
        previous = o.at("t_ns").get<std::uint64_t>();
    }
    // One of each of the reported kinds turns up in this scenario.
    for (const char* event : {"command", "process-start", "hook-installed", "library-loaded", "observer",
                              "settings-load", "settings-write", "post", "delivered", "host-method", "vibrate",
                              "step-scheduled", "pane-write", "process-end"}) {
        EXPECT_FALSE(eventsNamed(objects, event).empty()) << event;
    }
}

TEST(ToolJson, PatternVibrationsAreExactlyTheRequests) {
    const std::vector<json> objects = runJson(
        "ios 11\n"
        "settings isEnabled=true isNotRespringing=true isVibrationsNumber=true "
        "firstVibrationNumber=2 lastVibrationNumber=3 vibration1=120 VibrationDuration=80\n"
        "start\nwait 1s\ncall connected\nwait 500ms\ncall ended\ncall nil\n");
    const std::vector<json> vibrations = eventsNamed(objects, "vibrate");
    const json rhythm = {true, 50, false, 100, true, 50, false, 300, true, 50, false, 300, true, 50, false, 100, true, 50};
    const std::vector<json> expected = {
        {{"t_ns", seconds(1)}, {"event", "vibrate"}, {"sound", 4095},
         {"pattern", {true, 120, false, 80, true, 120, false, 80, true, 120}}, {"intensity", 1}},
        {{"t_ns", 1500000000ULL}, {"event", "vibrate"}, {"sound", 4095}, {"pattern", rhythm}, {"intensity", 1}},
        {{"t_ns", 1500000000ULL}, {"event", "vibrate"}, {"sound", 4095}, {"pattern", rhythm}, {"intensity", 1}},
    };
    ASSERT_EQ(vibrations.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(vibrations[i], expected[i]) << i;
        // Nothing but the request: consumers compare these objects whole.
        EXPECT_EQ(vibrations[i].size(), 5u);
        EXPECT_TRUE(vibrations[i].at("intensity").is_number_integer());
    }
    EXPECT_TRUE(eventsNamed(objects, "sound").empty());
}

TEST(ToolJson, ClassicChainPulsesFallOnTheVirtualClock) {
    // A chain of three: the first pulse when the main queue next runs, each
    // later one when the step the previous one queued falls due.
    const std::vector<json> objects = runJson(
        "settings isEnabled=true isNotRespringing=true oldMethod=true isVibrationsNumber=true "
        "firstVibrationNumber=2 VibrationDuration=1\n"
        "start\nwait 3s\ncall connected\nwait 20s\n");
    const std::vector<json> sounds = eventsNamed(objects, "sound");
    const std::vector<json> steps = eventsNamed(objects, "step-scheduled");
    ASSERT_EQ(sounds.size(), 3u);
    ASSERT_EQ(steps.size(), 3u);
    EXPECT_EQ(sounds[0], (json{{"t_ns", seconds(3)}, {"event", "sound"}, {"sound", 1352}}));
    EXPECT_EQ(steps[0].at("due_ns"), seconds(3));
    for (std::size_t i = 1; i < 3; ++i) {
        EXPECT_GT(steps[i].at("due_ns"), sounds[i - 1].at("t_ns"));
        EXPECT_EQ(sounds[i].at("t_ns"), steps[i].at("due_ns")) << i;
    }
    EXPECT_TRUE(eventsNamed(objects, "vibrate").empty());
}

TEST(ToolJson, RespringGuardWritesPostsAndSilencesForSevenSeconds) {
    const std::vector<json> objects = runJson(
        "ios 11\nsettings isEnabled=true isNotRespringing=true\nstart\nwait 1s\nlaunch\n"
        "wait 4s\ncall connected\nwait 3s\ncall connected\n");
    const std::vector<json> writes = eventsNamed(objects, "settings-write");
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].at("t_ns"), seconds(1));
    EXPECT_EQ(writes[0].at("settings").at("isNotRespringing"), false);
    EXPECT_EQ(writes[0].at("ok"), true);
    EXPECT_NE(std::find(writes[0].at("keys").begin(), writes[0].at("keys").end(), "isNotRespringing"),
              writes[0].at("keys").end());
    EXPECT_EQ(writes[1].at("t_ns"), seconds(8));
    EXPECT_EQ(writes[1].at("settings").at("isNotRespringing"), true);

    std::vector<json> libraryPosts;
    for (const json& post : eventsNamed(objects, "post")) {
        if (post.at("by") == "library") libraryPosts.push_back(post);
    }
    ASSERT_EQ(libraryPosts.size(), 2u);
    EXPECT_EQ(libraryPosts[0].at("name"), "com.brindle.thrumline.prefschanged");
    EXPECT_EQ(libraryPosts[1].at("t_ns"), seconds(8));

    // The call at 5 s is inside the quiet period; the one at 8 s is not.
    const std::vector<json> vibrations = eventsNamed(objects, "vibrate");
    ASSERT_EQ(vibrations.size(), 1u);
    EXPECT_EQ(vibrations[0].at("t_ns"), seconds(8));
}

TEST(ToolJson, LoadsPostsAndProcessesCarryTheirDetails) {
    const std::vector<json> objects =
        runJson("ios 10\nstart\npost prefschanged\nsettings isEnabled=true\nrestart\nhistory\n");
    const std::vector<json> loaded = eventsNamed(objects, "library-loaded");
    ASSERT_EQ(loaded.size(), 2u);
    EXPECT_EQ(loaded[0].at("group"), "iOS10");
    EXPECT_EQ(loaded[0].at("hooks"),
              (json{"-[CHManager databaseChanged:]", "-[SBTelephonyManager setActiveCall:]"}));
    EXPECT_EQ(loaded[1].at("process"), 2);

    const std::vector<json> starts = eventsNamed(objects, "process-start");
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(starts[0].at("cf"), 1348.0);
    EXPECT_EQ(eventsNamed(objects, "process-end").at(0).at("dropped_steps"), 0);

    const std::vector<json> loads = eventsNamed(objects, "settings-load");
    ASSERT_EQ(loads.size(), 3u);  // first start, the post, the restart
    EXPECT_EQ(loads[0].at("found"), false);
    EXPECT_EQ(loads[0].at("why"), "missing");
    EXPECT_EQ(loads[2].at("found"), true);

    const std::vector<json> posts = eventsNamed(objects, "post");
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0].at("by"), "pane");

    const std::vector<json> methods = eventsNamed(objects, "host-method");
    ASSERT_EQ(methods.size(), 1u);
    EXPECT_EQ(methods[0].at("class"), "CHManager");
    EXPECT_EQ(methods[0].at("selector"), "databaseChanged:");

    const std::vector<json> commands = eventsNamed(objects, "command");
    ASSERT_EQ(commands.size(), 6u);
    EXPECT_EQ(commands[2], (json{{"t_ns", 0}, {"event", "command"}, {"line", 3}, {"command", "post prefschanged"}}));
}

TEST(ToolJson, ExpectResultsAreObjectsToo) {
    const std::vector<json> objects = runJson("expect no-file\nexpect vibrations 2\n", 1);
    const std::vector<json> expects = eventsNamed(objects, "expect");
    ASSERT_EQ(expects.size(), 2u);
    EXPECT_EQ(expects[0].at("ok"), true);
    EXPECT_EQ(expects[1].at("ok"), false);
    EXPECT_EQ(expects[1].at("line"), 2);
    EXPECT_EQ(expects[1].at("message"), "saw 0 vibrations");
}

TEST(ToolTimeline, ShowsTimeCommandsAndVibrationDrawings) {
    const ToolResult r = runTool(
        {"-"},
        "settings isEnabled=true isNotRespringing=true isVibrationsNumber=true firstVibrationNumber=1\n"
        "start\nwait 7s\ncall connected\nwait 1ms\nset oldMethod=true\npost prefschanged\ncall ended\n");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    for (const char* line : {
             "   0.000s  > start\n",
             "   0.000s      library loaded: hook group iOS11\n",
             "   7.000s  > call connected\n",
             "   7.000s      vibrate \u25AE300 \u00B7200 \u25AE300  (800 ms)\n",
             "   7.001s      posted by the pane: prefschanged\n",
             "   7.001s      sound 1352 (classic pulse)\n",
         }) {
        EXPECT_TRUE(contains(r.out, line)) << line << "\n" << r.out;
    }
}

TEST(ToolTimeline, SameScenarioSameBytes) {
    const std::string scenario =
        "settings isEnabled=true isNotRespringing=true oldMethod=true isVibrationsNumber=true "
        "firstVibrationNumber=2 lastVibrationNumber=1\nstart\ncall connected\nwait 100s\ncall ended\nlaunch\n"
        "wait 20m\npost vib3Preview\n";
    for (const std::vector<std::string>& args : {std::vector<std::string>{"-"}, std::vector<std::string>{"--json", "-"}}) {
        const ToolResult first = runTool(args, scenario);
        const ToolResult second = runTool(args, scenario);
        ASSERT_EQ(first.exitCode, 0) << first.err;
        EXPECT_FALSE(first.out.empty());
        EXPECT_EQ(first.out, second.out);
    }
}

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

TEST(ToolSvg, DrawsEveryOnStepPulseAndCommand) {
    TempDir dir;
    const std::string svgPath = dir.path() + "/out.svg";
    const ToolResult r = runTool(
        {"--svg", svgPath, "-"},
        "settings isEnabled=true isNotRespringing=true isVibrationsNumber=true firstVibrationNumber=1\n"
        "start\ncall connected\nset oldMethod=true\npost prefschanged\nwait 2s\ncall ended\n"
        "post vib3Preview\n");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string svg = readFile(svgPath);
    EXPECT_EQ(svg.rfind("<?xml", 0), 0u);
    EXPECT_TRUE(contains(svg, "<svg xmlns=\"http://www.w3.org/2000/svg\""));
    EXPECT_EQ(svg.substr(svg.size() - 7), "</svg>\n");
    // Two patterns of two on-steps each, drawn on the timeline and again in
    // the pattern panel; one classic pulse; eight commands.
    EXPECT_EQ(count(svg, "fill=\"#e8590c\""), 8u);
    EXPECT_EQ(count(svg, "fill=\"#1c7ed6\""), 1u);
    EXPECT_EQ(count(svg, "<circle"), 8u);
    EXPECT_TRUE(contains(svg, ">call ended<"));
    EXPECT_TRUE(contains(svg, ">2s</text>"));  // a labelled tick
    EXPECT_EQ(count(svg, "<text"), count(svg, "</text>"));
}

// Scenario strings may hold any bytes: the JSON and the SVG stay valid.
TEST(ToolSvg, BrokenUtf8InScenarioStringsIsReplaced) {
    TempDir dir;
    const std::string svgPath = dir.path() + "/out.svg";
    const std::string scenario = "set s=\"caf\xc3\xa9 \xff\xfe <&>\"\nstart\n";
    const ToolResult r = runTool({"--json", "--svg", svgPath, "-"}, scenario);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::istringstream lines(r.out);
    std::string line;
    bool sawValue = false;
    while (std::getline(lines, line)) {
        const json o = json::parse(line);
        if (o.at("event") == "pane-write") {
            EXPECT_EQ(o.at("settings").at("s"), "caf\xc3\xa9 \xef\xbf\xbd\xef\xbf\xbd <&>");
            sawValue = true;
        }
    }
    EXPECT_TRUE(sawValue);
    const std::string svg = readFile(svgPath);
    EXPECT_TRUE(contains(svg, "caf\xc3\xa9 \xef\xbf\xbd\xef\xbf\xbd &lt;&amp;&gt;")) << svg;
    EXPECT_FALSE(contains(svg, "\xff"));
}

TEST(ToolSvg, AnUnwritableFileIsAnError) {
    TempDir dir;
    const ToolResult r = runTool({"--svg", dir.path() + "/no/such/folder/out.svg", "-"}, "start\n");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(contains(r.err, "cannot write")) << r.err;
}

}  // namespace
}  // namespace thrumline::simtool::test
