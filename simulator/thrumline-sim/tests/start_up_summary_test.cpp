// A start told in one line only when it went as it should; any other start
// keeps every step. The examples show normal starts only: a scenario cannot
// make a hook fail or an observer go missing.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "simulator/thrumline-sim/TextTimeline.h"
#include "tweak/settings/Contract.h"

namespace thrumline::simtool {
namespace {

namespace ev = sim::events;

// Runs a start whose steps `steps` spells, a letter each: h a hook
// installed, k one skipped, o the next observer in order, O vib2Preview, s
// the settings read, m the settings missing. Gives the timeline's lines
// after "process 1 started", joined by "|".
std::string startUp(const std::string& steps, const std::string& group, bool verbose = false) {
    static const char* const observers[] = {THRUMLINE_NOTIFICATIONS};
    std::ostringstream out;
    TextTimeline timeline(out, verbose);
    auto add = [&](sim::Event::Data data) {
        timeline.add(sim::Event{0, 1, std::move(data), 0}, {});
    };
    add(ev::ProcessStarted{1443.0});
    LibraryLoaded loaded{0, 1, group, {}};
    std::size_t observer = 0;
    for (char step : steps) {
        if (step == 'h') loaded.hooks.push_back({"SBTelephonyManager", "setActiveCall:"});
        if (step == 'h') add(loaded.hooks.back());
        if (step == 'k')
            add(ev::HookSkipped{"CHManager", "databaseChanged:", sim::HookResult::NoClass});
        if (step == 'o') add(ev::ObserverRegistered{observers[observer++ % 5], 0});
        if (step == 'O') add(ev::ObserverRegistered{THRUMLINE_VIB2_PREVIEW_NOTIFICATION, 0});
        if (step == 's') add(ev::SettingsRead{"", ev::SettingsRead::Outcome::Found});
        if (step == 'm') add(ev::SettingsRead{"", ev::SettingsRead::Outcome::Missing});
    }
    timeline.add(loaded, {});
    timeline.finish();
    std::string lines, line;
    std::istringstream in(out.str());
    std::getline(in, line);
    while (std::getline(in, line))
        lines += (lines.empty() ? "" : "|") + line.substr(line.find_first_not_of(" ", 9));
    return lines;
}

TEST(StartUpSummary, OnlyANormalStartIsOneLine) {
    struct Case {
        std::string steps, group, want;  // want: the one line, or empty: every step
    } cases[] = {
        {"hhooooos", "iOS11",
         "library loaded: hook group iOS11 (2 hooks, 5 observers, settings: found)"},
        {"ooooom", "none", "library loaded: no hook group (5 observers, settings: missing)"},
        {"hooooos", "iOS10",
         "library loaded: hook group iOS10 (1 hook, 5 observers, settings: found)"},
        {"hkooooos", "iOS10", ""},   // a hook not installed
        {"hhoOooos", "iOS11", ""},   // an observer out of its order
        {"hhoooos", "iOS11", ""},    // one missing
        {"hhoooooss", "iOS11", ""},  // the settings read twice
        {"hhooooo", "iOS11", ""},    // not read
        {"hohoooos", "iOS11", ""},   // a hook after an observer
        {"ooooos", "iOS11", ""},     // a group without its hooks
        {"hooooos", "none", ""},     // hooks but no group
        {"hooooos", "unknown", ""},
    };
    for (const Case& c : cases) {
        // --verbose: a line for each step, and the load's own.
        const std::string verbose = startUp(c.steps, c.group, true);
        EXPECT_EQ(std::count(verbose.begin(), verbose.end(), '|'), long(c.steps.size())) << verbose;
        EXPECT_EQ(startUp(c.steps, c.group), c.want.empty() ? verbose : c.want) << c.steps;
    }
}

}  // namespace
}  // namespace thrumline::simtool
