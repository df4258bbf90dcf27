#include "simulator/thrumline-sim/Scenario.h"

#include <algorithm>
#include <cstring>

#include "simulator/home-screen/Event.h"
#include "simulator/home-screen/Telephony.h"
#include "simulator/thrumline-sim/ScenarioVerbs.h"
#include "simulator/thrumline-sim/ScenarioWords.h"
#include "tweak/hooks/HookGroups.h"
#include "tweak/settings/Contract.h"

namespace thrumline::scenario {

using sim::PlistValue;

bool Command::isExpect() const {
    for (const Verb& verb : verbs()) {
        if (verb.kind == kind) return std::string(verb.verb) == "expect";
    }
    return false;
}

double coreFoundationVersionOfIos(int major) {
    // kCFCoreFoundationVersionNumber of the first version of iOS 7 to 16 (10's
    // and 11's are the hook groups' lowest); for 17 and 18 the lower bounds
    // tweaks use.
    constexpr double k10 = kLowestVersion_iOS10, k11 = kLowestVersion_iOS11;
    static const double kVersions[] = {847.20,  1140.10, 1240.10, k10,     k11,     1556.00,
                                       1665.15, 1740.00, 1854.00, 1946.10, 2000.00, 3000.00};
    constexpr int kLast = 7 + static_cast<int>(sizeof kVersions / sizeof kVersions[0]) - 1;
    return major >= 7 && major <= kLast ? kVersions[major - 7] : -1;
}

namespace {

std::vector<Assignment> parseAssignments(const std::vector<std::string>& words, std::size_t from) {
    std::vector<Assignment> out;
    for (std::size_t i = from; i < words.size(); ++i) {
        const std::string& word = words[i];
        const std::size_t eq = word.find('=');
        if (eq == std::string::npos) {
            throw Failure{"expected KEY=VALUE, got " + quote(word)};
        }
        std::string key = parseKey(word.substr(0, eq), word);
        for (const Assignment& earlier : out) {
            if (earlier.first == key) throw Failure{"key " + quote(key) + " is given twice"};
        }
        out.emplace_back(key, parseValue(key, word.substr(eq + 1)));
    }
    return out;
}

std::vector<std::string> parseKeys(const std::vector<std::string>& words, std::size_t from) {
    std::vector<std::string> out;
    for (std::size_t i = from; i < words.size(); ++i) {
        if (words[i].find('=') != std::string::npos) {
            throw Failure{"expected a key without a value, got " + quote(words[i])};
        }
        out.push_back(parseKey(words[i], words[i]));
    }
    return out;
}

// The one argument after a command's words.
const std::string& oneArgument(const Verb& verb, const std::vector<std::string>& words,
                               std::size_t first) {
    if (words.size() <= first) throw Failure{verb.words() + " needs " + verb.needs};
    if (words.size() > first + 1) {
        throw Failure{"unexpected " + quote(words[first + 1]) + " after " + verb.words() + " " +
                      words[first] + ": expected " + verb.needs + " only"};
    }
    return words[first];
}

std::int64_t parseCount(const std::string& word, const char* needs) {
    std::int64_t n = 0;
    if (!parseInteger(word, n) || n < 0 || word[0] == '+') {
        throw Failure{std::string("expected ") + needs + " (0 or more), got " + quote(word)};
    }
    return n;
}

// A full notification name, or the last part of one of the library's.
std::string notificationName(const std::string& word) {
    if (word.find('.') != std::string::npos) return word;
    std::vector<std::string> shortNames;
    for (const char* full : {THRUMLINE_NOTIFICATIONS}) {
        shortNames.emplace_back(std::strrchr(full, '.') + 1);
        if (shortNames.back() == word) return full;
    }
    throw Failure{"unknown notification " + quote(word) + ": expected " + listOf(shortNames) +
                  ", or a full name with dots"};
}

// A CoreFoundation version: an integer or a real, unsigned.
double parseVersion(const std::string& word) {
    std::int64_t integer = 0;
    double real = 0;
    if (parseInteger(word, integer) && integer >= 0 && integer < (1LL << 53) && word[0] != '+')
        return static_cast<double>(integer);
    if (parseReal(word, real) && real >= 0 && word[0] != '+' && word[0] != '-') return real;
    throw Failure{"expected a CoreFoundation version such as " +
                  sim::formatReal(kLowestVersion_iOS11) + " or " +
                  sim::formatReal(kLowestVersion_iOS10) + ", got " + quote(word)};
}

// An iOS major release, as the representative version of its first release.
double parseIosMajor(const std::string& word) {
    std::int64_t major = 0;
    if (!parseInteger(word, major) || word[0] == '+' || word[0] == '-') {
        throw Failure{"expected an iOS major version such as 10 or 11, got " + quote(word)};
    }
    const double version =
        major >= 0 && major < 1000 ? coreFoundationVersionOfIos(static_cast<int>(major)) : -1;
    if (version < 0) {
        throw Failure{"no representative CoreFoundation version for iOS " + word +
                      ": expected 7 to 18, or give the version with cf VERSION"};
    }
    return version;
}

// A telephony call's NAME.
const std::string& callName(const std::string& word) {
    if (!sim::Telephony::isCallName(word)) {
        throw Failure{"bad call name " + quote(word) + ": expected letters, digits and _"};
    }
    return word;
}

// The arguments after the words of `verb`, read by its shape.
void parseArguments(const Verb& verb, const std::vector<std::string>& words, Command& command) {
    const std::size_t first = *verb.form != '\0' ? 2 : 1;
    const std::size_t given = words.size() - first;
    const std::string name = verb.words();
    const auto missing = [&] { return Failure{name + " needs " + verb.needs}; };
    switch (verb.shape) {
        case Shape::None:
            if (given == 0) break;
            if (first == 1) throw Failure{name + " takes no arguments, got " + quote(words[1])};
            if (words[0] == "expect")
                throw Failure{"unexpected " + quote(words[2]) + ": " + name +
                              " takes no arguments"};
            throw Failure{
                "unexpected " + quote(words[2]) + " after " + name + ": expected " +
                (verb.needs != nullptr ? verb.needs + std::string(" only") : "nothing more")};
        case Shape::Version:
            command.version = parseVersion(oneArgument(verb, words, first));
            break;
        case Shape::IosMajor:
            command.version = parseIosMajor(oneArgument(verb, words, first));
            break;
        case Shape::Assignments:
            if (given == 0 && verb.needs != nullptr) throw missing();
            command.assignments = parseAssignments(words, first);
            break;
        case Shape::Keys:
            if (given == 0) throw missing();
            command.keys = parseKeys(words, first);
            break;
        case Shape::Path:
            command.name = oneArgument(verb, words, first);
            if (command.name[0] == '"') command.name = parseString(command.name);
            if (command.name.empty()) throw Failure{name + " needs a PATH, got an empty string"};
            break;
        case Shape::Notification:
            command.name = notificationName(oneArgument(verb, words, first));
            break;
        case Shape::Direction:
            if (given == 0) break;
            if (given > 1) {
                throw Failure{"unexpected " + quote(words[first + 1]) + " after " + words[0] + " " +
                              words[first] + ": expected " + verb.needs + " only"};
            }
            if (words[first] != "outgoing" && words[first] != "incoming") {
                throw Failure{"expected outgoing or incoming after " + name + ", got " +
                              quote(words[first])};
            }
            command.direction =
                words[first] == "outgoing" ? CallDirection::Outgoing : CallDirection::Incoming;
            break;
        case Shape::CallName:
            command.name = callName(oneArgument(verb, words, first));
            break;
        case Shape::Duration:
            if (!parseDuration(oneArgument(verb, words, first), command.nanos)) {
                throw Failure{
                    "expected a duration such as 250ms, 7s, 2m or 1h (a bare number is "
                    "milliseconds), got " +
                    quote(words[first])};
            }
            break;
        case Shape::Count:
            if (given == 0) throw missing();
            if (given > 1) {
                throw Failure{"unexpected " + quote(words[first + 1]) +
                              " after the count: expected one count only"};
            }
            command.count = parseCount(words[first], verb.needs);
            break;
        case Shape::CallAnswers:
            command.name = words.size() > first ? words[first] : std::string();
            if (command.name.empty() || command.name.find('=') != std::string::npos)
                throw missing();
            callName(command.name);
            if (given < 2) throw missing();
            command.assignments = parseAssignments(words, first + 1);
            for (const Assignment& a : command.assignments) {
                const bool isStatus = a.first == "status";
                if (!isStatus && a.first != "isConnected") {
                    throw Failure{"unknown answer " + quote(a.first) + " after " + name +
                                  ": expected status=N or isConnected=true|false"};
                }
                const auto type = a.second.type();
                if (isStatus ? type != PlistValue::Type::Integer
                             : type != PlistValue::Type::Boolean) {
                    throw Failure{"expected " +
                                  std::string(isStatus ? "an integer after status="
                                                       : "true or false after isConnected=") +
                                  ", got " + quote(a.first + "=" + a.second.describe())};
                }
            }
            break;
        case Shape::HookGroup:
            if (const auto names = sim::hookGroupNames();
                given != 1 || std::find(names.begin(), names.end(), words[first]) == names.end()) {
                throw missing();
            }
            command.name = words[first];
            break;
    }
}

Command parseCommand(const std::vector<std::string>& words) {
    const Verb& verb = findVerb(words);
    Command command;
    command.kind = verb.kind;
    if (verb.kind == CommandKind::Call) command.call = static_cast<CallState>(verb.variant);
    if (verb.kind == CommandKind::Telephony)
        command.telephony = static_cast<TelephonyVerb>(verb.variant);
    if (verb.kind == CommandKind::Notifications)
        command.notifications = static_cast<NotificationsVerb>(verb.variant);
    if (verb.kind == CommandKind::History) command.background = verb.variant == 1;
    if (verb.kind == CommandKind::Timers) command.lateTimers = verb.variant != 0;
    parseArguments(verb, words, command);
    return command;
}

}  // namespace

ParseResult parseScenario(const std::string& text, const std::string& fileName) {
    Scenario scenario;
    scenario.fileName = fileName;
    int lineNumber = 0;
    std::size_t position = 0;
    while (position < text.size()) {
        std::size_t end = text.find('\n', position);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(position, end - position);
        position = end + 1;
        ++lineNumber;
        try {
            const std::vector<std::string> words = splitWords(line);
            if (words.empty()) continue;
            Command command = parseCommand(words);
            command.line = lineNumber;
            command.text = joinWords(words);
            scenario.commands.push_back(std::move(command));
        } catch (const Failure& failure) {
            return ParseError{lineNumber, failure.message};
        }
    }
    return scenario;
}

}  // namespace thrumline::scenario
