#include "tools/thrumline-sim/Scenario.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "host/sim/Telephony.h"
#include "settings/Contract.h"
#include "tools/thrumline-sim/ScenarioWords.h"

namespace thrumline::scenario {

using sim::PlistValue;

bool Command::isExpect() const {
    switch (kind) {
        case CommandKind::ExpectFile:
        case CommandKind::ExpectNoFile:
        case CommandKind::ExpectNoKey:
        case CommandKind::ExpectVibrations:
        case CommandKind::ExpectSounds:
        case CommandKind::ExpectPending:
        case CommandKind::ExpectGroup:
        case CommandKind::ExpectLiveCalls:
            return true;
        default:
            return false;
    }
}

const std::vector<std::string>& shortNotificationNames() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> out;
        for (const char* full :
             {THRUMLINE_PREFS_CHANGED_NOTIFICATION, THRUMLINE_VIB1_PREVIEW_NOTIFICATION,
              THRUMLINE_VIB2_PREVIEW_NOTIFICATION, THRUMLINE_VIB3_PREVIEW_NOTIFICATION,
              THRUMLINE_VIB4_PREVIEW_NOTIFICATION}) {
            const char* dot = std::strrchr(full, '.');
            out.emplace_back(dot != nullptr ? dot + 1 : full);
        }
        return out;
    }();
    return names;
}

double coreFoundationVersionOfIos(int major) {
    // kCFCoreFoundationVersionNumber of each release's first version.
    switch (major) {
        case 7:
            return 847.20;
        case 8:
            return 1140.10;
        case 9:
            return 1240.10;
        case 10:
            return 1348.00;
        case 11:
            return 1443.00;
        case 12:
            return 1556.00;
        case 13:
            return 1665.15;
        case 14:
            return 1740.00;
        case 15:
            return 1854.00;
        default:
            return -1;
    }
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

void expectArgumentCount(const std::vector<std::string>& words, std::size_t count,
                         const char* what) {
    const std::size_t given = words.size() - 1;
    if (given < count) throw Failure{words[0] + " needs " + what};
    if (given > count) {
        if (count == 0) throw Failure{words[0] + " takes no arguments, got " + quote(words[1])};
        throw Failure{"unexpected " + quote(words[count + 1]) + " after " + words[0] + " " +
                      words[count] + ": expected " + what + " only"};
    }
}

std::int64_t parseCount(const std::string& word, const std::string& what) {
    std::int64_t n = 0;
    if (!parseInteger(word, n) || n < 0 || word[0] == '+') {
        throw Failure{"expected a count of " + what + " (0 or more), got " + quote(word)};
    }
    return n;
}

std::string notificationName(const std::string& word) {
    if (word.find('.') != std::string::npos) return word;
    const std::vector<std::string>& shortNames = shortNotificationNames();
    for (std::size_t i = 0; i < shortNames.size(); ++i) {
        if (shortNames[i] == word) {
            const char* full[] = {
                THRUMLINE_PREFS_CHANGED_NOTIFICATION, THRUMLINE_VIB1_PREVIEW_NOTIFICATION,
                THRUMLINE_VIB2_PREVIEW_NOTIFICATION, THRUMLINE_VIB3_PREVIEW_NOTIFICATION,
                THRUMLINE_VIB4_PREVIEW_NOTIFICATION};
            return full[i];
        }
    }
    std::string list;
    for (std::size_t i = 0; i < shortNames.size(); ++i) {
        list += (i == 0 ? "" : (i + 1 == shortNames.size() ? " or " : ", ")) + shortNames[i];
    }
    throw Failure{"unknown notification " + quote(word) + ": expected " + list +
                  ", or a full name with dots"};
}

Command parseExpect(const std::vector<std::string>& words) {
    Command command;
    if (words.size() < 2) {
        throw Failure{
            "expect needs a check: file KEY=VALUE, no-file, no-key KEY, vibrations N, "
            "sounds N, pending N, group NAME or live-calls N"};
    }
    const std::string& what = words[1];
    if (what == "file") {
        command.kind = CommandKind::ExpectFile;
        if (words.size() < 3) throw Failure{"expect file needs KEY=VALUE"};
        command.assignments = parseAssignments(words, 2);
    } else if (what == "no-file") {
        command.kind = CommandKind::ExpectNoFile;
        if (words.size() > 2)
            throw Failure{"unexpected " + quote(words[2]) + ": expect no-file takes no arguments"};
    } else if (what == "no-key") {
        command.kind = CommandKind::ExpectNoKey;
        if (words.size() < 3) throw Failure{"expect no-key needs at least one KEY"};
        command.keys = parseKeys(words, 2);
    } else if (what == "vibrations" || what == "sounds" || what == "pending" ||
               what == "live-calls") {
        command.kind = what == "vibrations" ? CommandKind::ExpectVibrations
                       : what == "sounds"   ? CommandKind::ExpectSounds
                       : what == "pending"  ? CommandKind::ExpectPending
                                            : CommandKind::ExpectLiveCalls;
        const std::string noun = what == "pending"      ? "pending steps"
                                 : what == "live-calls" ? "live calls"
                                                        : what;
        if (words.size() < 3) throw Failure{"expect " + what + " needs a count of " + noun};
        if (words.size() > 3)
            throw Failure{"unexpected " + quote(words[3]) +
                          " after the count: expected one count only"};
        command.count = parseCount(words[2], noun);
    } else if (what == "group") {
        command.kind = CommandKind::ExpectGroup;
        if (words.size() != 3 ||
            (words[2] != "iOS10" && words[2] != "iOS11" && words[2] != "none")) {
            throw Failure{"expect group needs one of iOS10, iOS11 or none"};
        }
        command.name = words[2];
    } else {
        throw Failure{
            "unknown check " + quote(what) +
            " after expect: expected file, no-file, no-key, vibrations, sounds, pending, group or "
            "live-calls"};
    }
    return command;
}

// cf VERSION or ios N: the CoreFoundation version of processes started next.
double parseVersion(const std::vector<std::string>& words) {
    if (words[0] == "cf") {
        expectArgumentCount(words, 1, "a CoreFoundation version such as 1443.0");
        std::int64_t integer = 0;
        double real = 0;
        if (parseInteger(words[1], integer) && integer >= 0 && integer < (1LL << 53) &&
            words[1][0] != '+') {
            return static_cast<double>(integer);
        } else if (parseReal(words[1], real) && real >= 0 && words[1][0] != '+' &&
                   words[1][0] != '-') {
            return real;
        } else {
            throw Failure{"expected a CoreFoundation version such as 1443.0 or 1348.0, got " +
                          quote(words[1])};
        }
    }
    expectArgumentCount(words, 1, "an iOS major version such as 10 or 11");
    std::int64_t major = 0;
    if (!parseInteger(words[1], major) || words[1][0] == '+' || words[1][0] == '-') {
        throw Failure{"expected an iOS major version such as 10 or 11, got " + quote(words[1])};
    }
    const double version =
        major >= 0 && major < 1000 ? coreFoundationVersionOfIos(static_cast<int>(major)) : -1;
    if (version < 0) {
        throw Failure{"no representative CoreFoundation version for iOS " + words[1] +
                      ": expected 7 to 15, or give the version with cf VERSION"};
    }
    return version;
}

Command parseCommand(const std::vector<std::string>& words) {
    const std::string& verb = words[0];
    Command command;
    if (verb == "cf" || verb == "ios") {
        command.kind = CommandKind::Cf;
        command.version = parseVersion(words);
    } else if (verb == "start" || verb == "restart" || verb == "stop" || verb == "launch" ||
               verb == "history" || verb == "delete-settings") {
        command.kind = verb == "start"     ? CommandKind::Start
                       : verb == "restart" ? CommandKind::Restart
                       : verb == "stop"    ? CommandKind::Stop
                       : verb == "launch"  ? CommandKind::Launch
                       : verb == "history" ? CommandKind::History
                                           : CommandKind::DeleteSettings;
        expectArgumentCount(words, 0, "");
    } else if (verb == "settings") {
        command.kind = CommandKind::Settings;
        command.assignments = parseAssignments(words, 1);
    } else if (verb == "set") {
        command.kind = CommandKind::Set;
        if (words.size() < 2) throw Failure{"set needs at least one KEY=VALUE"};
        command.assignments = parseAssignments(words, 1);
    } else if (verb == "unset") {
        command.kind = CommandKind::Unset;
        if (words.size() < 2) throw Failure{"unset needs at least one KEY"};
        command.keys = parseKeys(words, 1);
    } else if (verb == "settings-file") {
        command.kind = CommandKind::SettingsFile;
        expectArgumentCount(words, 1, "a PATH (relative to the scenario)");
        command.name = words[1];
        if (command.name[0] == '"') command.name = parseString(command.name);
        if (command.name.empty()) throw Failure{"settings-file needs a PATH, got an empty string"};
    } else if (verb == "post") {
        command.kind = CommandKind::Post;
        expectArgumentCount(words, 1, "a notification NAME such as prefschanged or vib1Preview");
        command.name = notificationName(words[1]);
    } else if (verb == "call") {
        command.kind = CommandKind::Call;
        const bool directed = words.size() > 2 && words[1] == "connected";
        expectArgumentCount(words, directed ? 2 : 1,
                            directed ? "outgoing or incoming after connected"
                                     : "connected [outgoing|incoming], ended or nil");
        if (directed) {
            if (words[2] == "outgoing") {
                command.direction = CallDirection::Outgoing;
            } else if (words[2] == "incoming") {
                command.direction = CallDirection::Incoming;
            } else {
                throw Failure{"expected outgoing or incoming after call connected, got " +
                              quote(words[2])};
            }
        }
        if (words[1] == "connected")
            command.call = CallState::Connected;
        else if (words[1] == "ended")
            command.call = CallState::Ended;
        else if (words[1] == "nil")
            command.call = CallState::Nil;
        else
            throw Failure{"expected connected, ended or nil after call, got " + quote(words[1])};
    } else if (verb == "telephony") {
        command.kind = CommandKind::Telephony;
        static const std::pair<const char*, TelephonyVerb> kVerbs[] = {
            {"ring", TelephonyVerb::Ring},     {"dial", TelephonyVerb::Dial},
            {"active", TelephonyVerb::Active}, {"hold", TelephonyVerb::Hold},
            {"end", TelephonyVerb::End},       {"refresh", TelephonyVerb::Refresh}};
        const auto* found =
            words.size() < 2
                ? std::end(kVerbs)
                : std::find_if(std::begin(kVerbs), std::end(kVerbs),
                               [&words](const auto& v) { return words[1] == v.first; });
        if (found == std::end(kVerbs)) {
            throw Failure{"expected ring, dial, active, hold, end or refresh after telephony" +
                          (words.size() < 2 ? std::string() : ", got " + quote(words[1]))};
        }
        command.telephony = found->second;
        if (command.telephony == TelephonyVerb::Refresh) {
            if (words.size() > 2) {
                throw Failure{"unexpected " + quote(words[2]) +
                              " after telephony refresh: expected nothing more"};
            }
        } else {
            std::vector<std::string> rest(words.begin() + 1, words.end());
            rest[0] = "telephony " + rest[0];
            expectArgumentCount(rest, 1, "a call NAME (letters, digits and _)");
            if (!sim::Telephony::isCallName(rest[1])) {
                throw Failure{"bad call name " + quote(rest[1]) +
                              ": expected letters, digits and _"};
            }
            command.name = rest[1];
        }
    } else if (verb == "wait") {
        command.kind = CommandKind::Wait;
        expectArgumentCount(words, 1, "a DURATION such as 250ms, 7s, 2m or 1h");
        if (!parseDuration(words[1], command.nanos)) {
            throw Failure{
                "expected a duration such as 250ms, 7s, 2m or 1h (a bare number is milliseconds), "
                "got " +
                quote(words[1])};
        }
    } else if (verb == "expect") {
        command = parseExpect(words);
    } else {
        throw Failure{"unknown command " + quote(verb) +
                      ": expected cf, ios, start, restart, stop, settings, set, unset, "
                      "delete-settings, settings-file, post, launch, call, history, telephony, "
                      "wait or expect"};
    }
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
