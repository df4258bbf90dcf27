// thrumline-sim: replays a scenario through the simulated home screen and
// shows, on a virtual clock, what the library makes the phone do.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "simulator/thrumline-sim/Bursts.h"
#include "simulator/thrumline-sim/Render.h"
#include "simulator/thrumline-sim/Runner.h"
#include "simulator/thrumline-sim/Scenario.h"
#include "simulator/thrumline-sim/ScenarioVerbs.h"
#include "simulator/thrumline-sim/Svg.h"
#include "simulator/thrumline-sim/TextTimeline.h"

#ifndef THRUMLINE_VERSION
#define THRUMLINE_VERSION "unknown"
#endif

namespace {

using namespace thrumline;

const char* const kUsage =
    "usage: thrumline-sim [--json | --verbose] [--svg FILE] [--root DIR]\n"
    "                     [--settings FILE]\n"
    "                     [--phone DYLIB [--slice arm64|arm64e] [--count-instructions]]\n"
    "                     SCENARIO\n";

const char* const kHelp = R"(Replays a scenario through the simulated home screen and shows what the
phone does: every vibration, sound, settings write and notification, on a
virtual clock.

Options:
  SCENARIO         the scenario file, or - for standard input
  --json           JSON Lines instead of the timeline: one object per line,
                   each with "t_ns" (virtual nanoseconds) and "event"
  --verbose        the timeline shows each step of every start (the hooks
                   installed, the observers registered, the settings read),
                   not one line for a start that went as it should
  --svg FILE       also draw the vibrations as an SVG timeline into FILE
  --root DIR       the device-root folder holding the settings file
                   (default: a fresh temporary folder, removed at exit)
  --settings FILE  start with a copy of FILE as the settings file
  --phone DYLIB    run the phone's own Thrumline.dylib under CPU emulation
                   instead of the Linux build of the library: one slice of
                   a fat file, arm64e with pointer authentication
  --slice arm64|arm64e
                   with --phone: the slice to run (default: arm64e when the
                   file has one)
  --count-instructions
                   with --phone: after the run, the slice that ran and the
                   instructions the dylib's own code ran for each command
  --help, --version

Scenario language: one command per line; # starts a comment.
)";

// After the commands, which come from the verb table.
const char* const kHelpEnd =
    R"(After every command the main queue runs whatever is due at that time.

The minute minder's pulses read "minute minder: vibrate ..." or "minute
minder: sound 1352 ..." in the timeline.

The phone plays one vibration at a time. A pattern (sound 4095 with a
pattern) plays from its start for the sum of its on and off lengths; one
requested while another still plays reads "vibrate ..., overlaps the
vibration at T", T the start of the most recent pattern still playing, and
its JSON "vibrate" event has "overlaps_t_ns": T in nanoseconds. What the
phone does then is not documented: at best one merged buzz.

JSON events: "vibrate" (sound, pattern, intensity: the request as the
library built it), "sound" (sound), both with "cause": "minute minder" for
the minder's pulses, "command" and "expect" (line, command),
"process-start" (cf), "process-end", "hook-installed", "library-loaded"
(group, hooks), "observer", "settings-load" (found), "settings-write" (ok,
keys, settings), "pane-write", "post" (name, by: library or pane),
"delivered", "host-method" (class, selector), "step-scheduled" (due_ns),
"active-call" (call: the name a telephony line's announcement carries, or
null for nil), "call-status" (call, status: a telephony call's new status,
1 active to 6 disconnected), "fault".

Example:
  ios 11
  settings isEnabled=true isNotRespringing=true vibration1=250
  start
  call connected          # vibrate: one pulse of 250 ms
  expect vibrations 1

  set minuteMinder=true minuteMinderSecond=30 connectOutgoingOnly=true
  post prefschanged
  call connected outgoing # the first vibration, and the minder starts
  wait 2m                 # two minder pulses, at 0:30 and 1:30 of the call
  call ended              # the last vibration; the minder's next step stops

Exit codes: 0 done; 1 an expect failed; 2 a usage or scenario error
(reported as FILE:LINE: message; nothing runs past a bad line).
)";

bool readFile(const std::string& path, std::string& bytes) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) return false;
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

int usageError(const std::string& message) {
    std::cerr << "thrumline-sim: " << message << "\n" << kUsage << "Try thrumline-sim --help.\n";
    return simtool::kExitError;
}

// The command line. parseArguments returns an exit code when the run ends
// there (help, version, a usage error), or -1 to go on.
struct Arguments {
    bool json = false;
    bool verbose = false;
    std::string svgPath;
    std::string root;
    std::string settingsPath;
    std::string scenarioPath;
    bool haveScenario = false;
    bool haveSettings = false;
    std::string phone;
    std::string slice;
    bool countInstructions = false;
};

int parseArguments(int argc, char** argv, Arguments& a) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&](const char* option, std::string& out) -> bool {
            const std::string prefix = std::string(option) + "=";
            if (arg.compare(0, prefix.size(), prefix) == 0) {
                out = arg.substr(prefix.size());
            } else if (i + 1 < args.size()) {
                out = args[++i];
            } else {
                return false;
            }
            return !out.empty();
        };
        auto is = [&](const char* option) {
            return arg == option ||
                   arg.compare(0, std::string(option).size() + 1, std::string(option) + "=") == 0;
        };
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage << "\n" << kHelp << scenario::verbHelp() << kHelpEnd;
            return simtool::kExitDone;
        }
        if (arg == "--version") {
            std::cout << "thrumline-sim " << THRUMLINE_VERSION << "\n";
            return simtool::kExitDone;
        }
        if (arg == "--json") {
            a.json = true;
        } else if (arg == "--verbose") {
            a.verbose = true;
        } else if (is("--svg")) {
            if (!value("--svg", a.svgPath)) return usageError("--svg needs a FILE");
        } else if (is("--root")) {
            if (!value("--root", a.root)) return usageError("--root needs a DIR");
        } else if (is("--settings")) {
            if (!value("--settings", a.settingsPath)) return usageError("--settings needs a FILE");
            a.haveSettings = true;
        } else if (is("--phone")) {
            if (!value("--phone", a.phone)) return usageError("--phone needs a DYLIB");
        } else if (is("--slice")) {
            if (!value("--slice", a.slice) || (a.slice != "arm64" && a.slice != "arm64e"))
                return usageError("--slice needs arm64 or arm64e");
        } else if (arg == "--count-instructions") {
            a.countInstructions = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return usageError("unknown option " + arg);
        } else if (a.haveScenario) {
            return usageError("one SCENARIO only, got " + a.scenarioPath + " and " + arg);
        } else {
            a.scenarioPath = arg;
            a.haveScenario = true;
        }
    }
    if (!a.haveScenario) return usageError("expected a SCENARIO file, or - for standard input");
    if (a.countInstructions && a.phone.empty())
        return usageError("--count-instructions needs --phone");
    if (!a.slice.empty() && a.phone.empty()) return usageError("--slice needs --phone");
    if (a.json && a.verbose)
        return usageError("--verbose is for the timeline; --json shows every step");
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    Arguments arguments;
    const int early = parseArguments(argc, argv, arguments);
    if (early >= 0) return early;
    const bool json = arguments.json;
    const std::string& svgPath = arguments.svgPath;
    const std::string& root = arguments.root;
    const std::string& settingsPath = arguments.settingsPath;
    const std::string& scenarioPath = arguments.scenarioPath;
    const bool haveSettings = arguments.haveSettings;

    std::string text;
    std::string fileName = scenarioPath;
    simtool::RunOptions options;
    options.deviceRoot = root;
    options.phoneBinary = arguments.phone;
    options.phoneSlice = arguments.slice;
    options.countInstructions = arguments.countInstructions;
    if (scenarioPath == "-") {
        fileName = "<stdin>";
        text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    } else {
        if (!readFile(scenarioPath, text)) {
            std::cerr << "thrumline-sim: cannot read scenario " << scenarioPath
                      << ": expected a readable file\n";
            return simtool::kExitError;
        }
        options.scenarioDir = std::filesystem::path(scenarioPath).parent_path().string();
    }
    if (haveSettings) {
        if (!readFile(settingsPath, options.settingsBytes)) {
            std::cerr << "thrumline-sim: cannot read settings file " << settingsPath
                      << ": expected a readable file\n";
            return simtool::kExitError;
        }
        options.haveSettingsBytes = true;
    }
    const scenario::ParseResult parsed = scenario::parseScenario(text, fileName);
    if (const auto* error = std::get_if<scenario::ParseError>(&parsed)) {
        std::cerr << fileName << ":" << error->line << ": " << error->message << "\n";
        return simtool::kExitError;
    }
    const scenario::Scenario& scenario = std::get<scenario::Scenario>(parsed);

    std::vector<simtool::Entry> entries;
    simtool::BurstCollector bursts;
    simtool::TextTimeline timeline(std::cout, arguments.verbose);
    auto sink = [&](const simtool::Entry& entry) {
        // A command's bursts follow its line in the timeline; the minder's
        // come under whatever ran last, so they are named.
        const simtool::Burst* burst = bursts.add(entry);
        const std::string cause = burst != nullptr && burst->cause == simtool::kMinuteMinderCause
                                      ? burst->cause
                                      : std::string();
        if (json) {
            std::cout << simtool::jsonLine(simtool::jsonObject(entry, cause)) << "\n";
        } else {
            timeline.add(entry, cause);
        }
        if (!svgPath.empty()) entries.push_back(entry);
    };

    simtool::Runner runner(scenario, options, sink, std::cerr);
    int code = runner.run();
    timeline.finish();
    if (arguments.countInstructions && !json && !runner.phoneSlice().empty())
        std::printf("the %s slice's own instructions:\n", runner.phoneSlice().c_str());
    for (const simtool::CommandCost& cost : runner.costs()) {
        if (json) {
            nlohmann::ordered_json line;
            line["event"] = "instructions";
            line["slice"] = runner.phoneSlice();
            line["line"] = cost.line;
            line["command"] = cost.text;
            line["instructions"] = cost.instructions;
            std::cout << simtool::jsonLine(line) << "\n";
        } else {
            std::printf("%10llu instructions  line %d: %s\n",
                        static_cast<unsigned long long>(cost.instructions), cost.line,
                        cost.text.c_str());
        }
    }
    std::cout.flush();
    if (runner.faults() > 0) {
        std::cerr << "thrumline-sim: the library broke " << runner.faults()
                  << (runner.faults() == 1 ? " platform rule" : " platform rules")
                  << " (see the FAULT lines)\n";
    }
    if (!svgPath.empty()) {
        const std::string title = scenarioPath == "-"
                                      ? "standard input"
                                      : std::filesystem::path(scenarioPath).filename().string();
        std::ofstream out(svgPath, std::ios::binary | std::ios::trunc);
        out << simtool::svgTimeline(entries, runner.endTime(), title);
        out.close();
        if (!out) {
            std::cerr << "thrumline-sim: cannot write " << svgPath << "\n";
            code = simtool::kExitError;
        }
    }
    return code;
}
