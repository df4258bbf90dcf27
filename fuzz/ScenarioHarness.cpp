#include "fuzz/ScenarioHarness.h"

#include <algorithm>
#include <variant>

#include "simulator/thrumline-sim/Scenario.h"

namespace thrumline::hardening {

using scenario::Command;
using scenario::ParseResult;
using scenario::parseScenario;
using scenario::Scenario;

namespace {

// The one command of a parsed text; null for an error or any other count.
const Command* onlyCommand(const ParseResult& result) {
    const auto* parsed = std::get_if<Scenario>(&result);
    return parsed != nullptr && parsed->commands.size() == 1 ? &parsed->commands[0] : nullptr;
}

bool sameCommand(const Command& a, const Command& b) {
    return a.kind == b.kind && a.version == b.version && a.assignments == b.assignments &&
           a.keys == b.keys && a.name == b.name && a.call == b.call && a.nanos == b.nanos &&
           a.count == b.count;
}

}  // namespace

std::string checkScenarioText(const std::string& text) {
    // Lines as the tool numbers them: a final newline starts no line of its own.
    const int lines = static_cast<int>(std::count(text.begin(), text.end(), '\n') +
                                       (!text.empty() && text.back() != '\n' ? 1 : 0));
    const std::string ofText = " of a text of " + std::to_string(lines) + " lines";
    const ParseResult result = parseScenario(text, "fuzz.scn");
    if (const auto* error = std::get_if<scenario::ParseError>(&result)) {
        const std::string& message = error->message;
        if (error->line >= 1 && error->line <= lines && !message.empty() &&
            message.find('\n') == std::string::npos) {
            return {};
        }
        return "error on line " + std::to_string(error->line) + ofText + ": \"" + message + "\"";
    }
    int previous = 0;
    for (const Command& command : std::get<Scenario>(result).commands) {
        const std::string line = "line " + std::to_string(command.line);
        if (command.line <= previous || command.line > lines || command.text.empty() ||
            command.text.find('\n') != std::string::npos) {
            return "command \"" + command.text + "\" on " + line + " after line " +
                   std::to_string(previous) + ofText;
        }
        previous = command.line;
        // A value as the tool writes it must read back as the same value.
        for (const auto& [key, value] : command.assignments) {
            const ParseResult read = parseScenario("set " + key + "=" + value.describe(), "");
            const Command* set = onlyCommand(read);
            if (set == nullptr || set->assignments.size() != 1 ||
                !(set->assignments[0].second == value)) {
                return "the value of " + key + " on " + line + " is written as " +
                       value.describe() + ", which reads back differently";
            }
        }
        // The timeline shows the command by this text; it must mean the same.
        const ParseResult again = parseScenario(command.text, "");
        if (onlyCommand(again) == nullptr || !sameCommand(*onlyCommand(again), command)) {
            return line + " reads back differently from its text \"" + command.text + "\"";
        }
    }
    return {};
}

}  // namespace thrumline::hardening
