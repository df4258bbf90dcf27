#include "fuzz/DifferentialHarness.h"

#include <sstream>
#include <variant>
#include <vector>

#include "simulator/thrumline-sim/Render.h"
#include "simulator/thrumline-sim/Runner.h"
#include "simulator/thrumline-sim/Scenario.h"

namespace thrumline::hardening {

namespace {

constexpr std::uint64_t kMaxWait = 6ULL * 3600 * 1000000000ULL;

struct Replay {
    std::vector<std::string> lines;
    std::string errors;
    int code = 0;
};

Replay replay(const scenario::Scenario& scenario, const std::string& phone,
              const std::string& library, const std::string& slice = {}) {
    Replay out;
    simtool::RunOptions options;
    options.phoneBinary = phone;
    options.phoneSlice = slice;
    options.libraryPath = library;
    std::ostringstream errors;
    simtool::Runner runner(
        scenario, options,
        [&out](const simtool::Entry& entry) {
            out.lines.push_back(simtool::jsonLine(simtool::jsonObject(entry)));
        },
        errors);
    out.code = runner.run();
    out.errors = errors.str();
    return out;
}

}  // namespace

std::string compareOnPhone(const std::string& text, const std::string& dylib,
                           const std::string& linuxLibrary, const std::string& slice) {
    const scenario::ParseResult parsed = scenario::parseScenario(text, "fuzz.scn");
    const auto* scenario = std::get_if<scenario::Scenario>(&parsed);
    if (scenario == nullptr) return {};
    std::uint64_t waits = 0;
    for (const scenario::Command& command : scenario->commands) {
        if (command.kind == scenario::CommandKind::SettingsFile) return {};
        if (command.kind == scenario::CommandKind::Wait) {
            if (command.nanos > kMaxWait - waits) return {};
            waits += command.nanos;
        }
    }
    const Replay linux = replay(*scenario, {}, linuxLibrary);
    const Replay phone = replay(*scenario, dylib, {}, slice);
    for (std::size_t i = 0; i < linux.lines.size() || i < phone.lines.size(); ++i) {
        const std::string a = i < linux.lines.size() ? linux.lines[i] : "(nothing)";
        const std::string b = i < phone.lines.size() ? phone.lines[i] : "(nothing)";
        if (a != b) {
            return "event " + std::to_string(i + 1) + " differs:\n  linux: " + a +
                   "\n  phone: " + b;
        }
    }
    if (linux.errors != phone.errors) {
        return "errors differ:\n  linux: " + linux.errors + "\n  phone: " + phone.errors;
    }
    if (linux.code != phone.code) {
        return "exit codes differ: linux " + std::to_string(linux.code) + ", phone " +
               std::to_string(phone.code);
    }
    return {};
}

}  // namespace thrumline::hardening
