// What thrumline-sim prints: the SVG, valid and the same bytes every run,
// and the JSON beside it read back with nlohmann-json. The timeline's text
// and the JSON Lines are pinned by the examples (examples/).
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
