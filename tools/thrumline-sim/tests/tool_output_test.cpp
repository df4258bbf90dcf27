// What thrumline-sim prints: JSON Lines read back with nlohmann-json, the
// SVG, and that the same scenario gives the same bytes. The timeline's text
// is pinned by the examples (examples/).
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "ToolProcess.h"

namespace thrumline::simtool::test {
namespace {

using nlohmann::json;

// A pattern call connects and ends, then classic output plays a chain of
// three pulses, two of them while the clock waits.
const char* const kScenario =
    "settings isEnabled=true isNotRespringing=true isVibrationsNumber=true firstVibrationNumber=2 "
    "lastVibrationNumber=3 vibration1=120 VibrationDuration=80\n"
    "start\nlaunch\nwait 8s\ncall connected\nwait 500ms\ncall ended\n"
    "set oldMethod=true\npost prefschanged\ncall connected\nwait 1s\nexpect sounds "
    "2\nrestart\nstop\n";

TEST(ToolJson, RequestsAreExactlyTheLibrarysAndEveryEventIsReported) {
    const ToolResult r = runTool({"--json", "-"}, kScenario);
    ASSERT_EQ(r.exitCode, 1) << r.err;
    std::uint64_t previous = 0;
    json requests = json::array();
    json firsts = json::object();  // the first object of each event
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        const json o = json::parse(line);
        ASSERT_TRUE(o.at("t_ns").is_number_unsigned()) << o;
        EXPECT_GE(o.at("t_ns").get<std::uint64_t>(), previous) << o;
        previous = o.at("t_ns").get<std::uint64_t>();
        if (!firsts.contains(o.at("event"))) firsts[o.at("event").get<std::string>()] = o;
        if (o.at("event") == "vibrate" || o.at("event") == "sound") requests.push_back(o);
    }
    const json expected = json::parse(R"([
 {"t_ns":8000000000,"event":"vibrate","sound":4095,"intensity":1,
  "pattern":[true,120,false,80,true,120,false,80,true,120]},
 {"t_ns":8500000000,"event":"vibrate","sound":4095,"intensity":1,
  "pattern":[true,50,false,100,true,50,false,300,true,50,false,300,true,50,false,100,true,50]},
 {"t_ns":8500000000,"event":"sound","sound":1352},
 {"t_ns":8660000000,"event":"sound","sound":1352},
 {"t_ns":8820000000,"event":"sound","sound":1352}])");
    EXPECT_EQ(requests.dump(),
              expected.dump());  // dumped, so that 1 and 1.0 or a key too many differ

    const json details = json::parse(R"({
 "command": {"t_ns": 0, "line": 1}, "process-start": {"process": 1, "cf": 1443.0},
 "hook-installed": {"class": "SBTelephonyManager", "selector": "setActiveCall:"},
 "library-loaded": {"group": "iOS11", "hooks": ["-[SBTelephonyManager setActiveCall:]",
                                               "-[SpringBoard applicationDidFinishLaunching:]"]},
 "observer": {"name": "com.brindle.thrumline.prefschanged"},
 "settings-load": {"found": true}, "pane-write": {"ok": true},
 "settings-write": {"ok": true, "keys": ["isEnabled", "isNotRespringing", "isVibrationsNumber",
   "firstVibrationNumber", "lastVibrationNumber", "vibration1", "VibrationDuration"]},
 "post": {"by": "library", "name": "com.brindle.thrumline.prefschanged"},
 "delivered": {"name": "com.brindle.thrumline.prefschanged"},
 "host-method": {"class": "SpringBoard", "selector": "applicationDidFinishLaunching:"},
 "step-scheduled": {"due_ns": 7000000000},
 "expect": {"line": 12, "ok": false, "message": "saw 3 sounds"},
 "process-end": {"process": 1, "dropped_steps": 0}})");
    for (const auto& [event, fields] : details.items()) {
        ASSERT_TRUE(firsts.contains(event)) << event;
        for (const auto& [key, value] : fields.items())
            EXPECT_EQ(firsts[event][key], value) << event << " " << key;
    }
}

// The minute minder's pulses are named wherever they fall, also beside a
// classic chain's pulse due at the same moment; no other burst is.
TEST(ToolJson, OnlyTheMinuteMindersPulsesNameTheirCause) {
    const ToolResult r = runTool(
        {"--json", "-"},
        "settings isEnabled=true isNotRespringing=true oldMethod=true isVibrationsNumber=true "
        "firstVibrationNumber=2 lastVibrationNumber=0 VibrationDuration=1000 minuteMinder=true "
        "minuteMinderSecond=2\n"
        "start\ncall connected\nwait 65s\ncall ended\nwait 1m\nset oldMethod=false\n"
        "post prefschanged\ncall connected outgoing\npost vib3Preview\nwait 3s\n");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::string pulses;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        const json o = json::parse(line);
        if (o.at("event") != "vibrate" && o.at("event") != "sound") continue;
        pulses += std::to_string(o.at("t_ns").get<std::uint64_t>() / 1000000000ULL) +
                  (o.at("event") == "sound" ? "s" : "v") +
                  (o.contains("cause") ? "(" + o.at("cause").get<std::string>() + ")" : "") + " ";
    }
    EXPECT_EQ(pulses,
              "0s 2s(minute minder) 2s 4s 62s(minute minder) 65s 125v 125v 127v(minute minder) ");
}

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

// Every tag closes in order, so the file parses as XML; "<?" and "<!" stand alone.
std::string tagProblem(const std::string& svg) {
    std::vector<std::string> open;
    for (std::size_t at = svg.find('<'); at != std::string::npos; at = svg.find('<', at + 1)) {
        const std::size_t end = svg.find('>', at);
        if (end == std::string::npos || end == at + 1) return "a broken tag";
        const std::string tag = svg.substr(at + 1, end - at - 1);
        const std::string name =
            tag.substr(tag[0] == '/', tag.find_first_of(" />", 1) - (tag[0] == '/'));
        if (tag[0] == '?' || tag[0] == '!' || tag.back() == '/') continue;
        if (tag[0] != '/')
            open.push_back(name);
        else if (open.empty() || open.back() != name)
            return "</" + name + "> does not close the last open tag";
        else
            open.pop_back();
    }
    return open.empty() ? "" : "<" + open.back() + "> is never closed";
}

TEST(ToolSvg, SameBytesEveryRunAndValidSvg) {
    TempDir dir;
    const std::string path = dir.path() + "/out.svg";
    // Scenario strings may hold any bytes: the JSON and the SVG stay valid.
    const std::string scenario = std::string(kScenario) + "set s=\"caf\xc3\xa9 \xff <&>\"\n";
    const ToolResult r = runTool({"--json", "--svg", path, "-"}, scenario);
    ASSERT_EQ(r.exitCode, 1) << r.err;
    const json last = json::parse(r.out.substr(r.out.rfind('\n', r.out.size() - 2) + 1));
    EXPECT_EQ(last.at("settings").at("s"), "caf\xc3\xa9 \xef\xbf\xbd <&>");
    const std::string svg = readFile(path);
    // The timeline's bytes are pinned by the examples; these must not vary either.
    EXPECT_EQ(runTool({"--json", "--svg", path, "-"}, scenario).out, r.out);
    EXPECT_EQ(readFile(path), svg);
    EXPECT_TRUE(contains(svg, "<svg xmlns=\"http://www.w3.org/2000/svg\""));
    EXPECT_EQ(tagProblem(svg), "");
    EXPECT_TRUE(contains(svg, "caf\xc3\xa9 \xef\xbf\xbd &lt;&amp;&gt;"));
    EXPECT_FALSE(contains(svg, "\xff"));
    // Patterns of three and five on-steps and a chain of three classic
    // pulses 160 ms apart, each on the timeline and again in the detail
    // panel; a labelled tick; every command.
    EXPECT_EQ(count(svg, "fill=\"#e8590c\""), 16u);
    EXPECT_EQ(count(svg, "fill=\"#1c7ed6\""), 6u);
    EXPECT_EQ(count(svg, "text-anchor=\"middle\">160</text>"), 2u);
    EXPECT_EQ(count(svg, "<circle"), 15u);
    EXPECT_TRUE(contains(svg, ">call ended<"));
    EXPECT_TRUE(contains(svg, ">2s</text>"));
}

}  // namespace
}  // namespace thrumline::simtool::test
