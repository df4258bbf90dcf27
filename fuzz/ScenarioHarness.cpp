#include "fuzz/ScenarioHarness.h"

#include "tools/thrumline-sim/Scenario.h"

#include <cstddef>
#include <variant>

namespace thrumline::hardening {

using scenario::Command;
using scenario::ParseError;
using scenario::Scenario;

namespace {

// Lines as the tool numbers them: split at each newline; a final newline
// starts no line of its own.
int lineCount(const std::string& text) {
    int lines = 0;
    for (char c : text) lines += c == '\n';
    if (!text.empty() && text.back() != '\n') ++lines;
    return lines;
}

bool sameCommand(const Command& a, const Command& b) {
    return a.kind == b.kind && a.version == b.version && a.assignments == b.assignments &&
           a.keys == b.keys && a.name == b.name && a.call == b.call && a.nanos == b.nanos &&
           a.count == b.count;
}

}  // namespace

std::string checkScenarioText(const std::string& text) {
    const scenario::ParseResult result = scenario::parseScenario(text, "fuzz.scn");
    const int lines = lineCount(text);
    if (const auto* error = std::get_if<ParseError>(&result)) {
        if (error->line < 1 || error->line > lines) {
            return "error on line " + std::to_string(error->line) + " of a text of " +
                   std::to_string(lines) + " lines";
        }
        if (error->message.empty()) return "an error without a message";
        if (error->message.find('\n') != std::string::npos) {
            return "an error message of more than one line: " + error->message;
        }
        return {};
    }
    const Scenario& parsed = std::get<Scenario>(result);
    int previous = 0;
    for (const Command& command : parsed.commands) {
        if (command.line <= previous || command.line > lines) {
            return "command on line " + std::to_string(command.line) + " after line " +
                   std::to_string(previous) + " of " + std::to_string(lines);
        }
        previous = command.line;
        if (command.text.empty() || command.text.find('\n') != std::string::npos) {
            return "command text \"" + command.text + "\" on line " + std::to_string(command.line);
        }
        // A value as the tool writes it must read back as the same value.
        for (const auto& assignment : command.assignments) {
            const std::string text = "set " + assignment.first + "=" + assignment.second.toText();
            const scenario::ParseResult value = scenario::parseScenario(text, "value.scn");
            const auto* read = std::get_if<Scenario>(&value);
            if (read == nullptr || read->commands.size() != 1 ||
                read->commands[0].assignments.size() != 1 ||
                !(read->commands[0].assignments[0].second == assignment.second)) {
                return "the value of " + assignment.first + " on line " +
                       std::to_string(command.line) + " is written as " +
                       assignment.second.toText() + ", which reads back differently";
            }
        }
        // The timeline shows the command by this text; it must mean the same.
        const scenario::ParseResult again = scenario::parseScenario(command.text, "again.scn");
        const auto* reparsed = std::get_if<Scenario>(&again);
        if (reparsed == nullptr || reparsed->commands.size() != 1 ||
            !sameCommand(reparsed->commands[0], command)) {
            return "line " + std::to_string(command.line) + " reads back differently from its text \"" +
                   command.text + "\"";
        }
    }
    return {};
}

}  // namespace thrumline::hardening
