#include "tools/thrumline-sim/Scenario.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "hooks/Hooks.h"

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
            return true;
        default:
            return false;
    }
}

const std::vector<std::string>& shortNotificationNames() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> out;
        for (const char* full :
             {kPrefsChangedNotification, kVib1PreviewNotification, kVib2PreviewNotification,
              kVib3PreviewNotification, kVib4PreviewNotification}) {
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

__extension__ typedef unsigned __int128 Wide;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool allDigits(const std::string& s, std::size_t from, std::size_t to) {
    if (from >= to) return false;
    for (std::size_t i = from; i < to; ++i) {
        if (!isDigit(s[i])) return false;
    }
    return true;
}

}  // namespace

bool parseDuration(const std::string& text, std::uint64_t& nanos) {
    std::size_t i = 0;
    while (i < text.size() && isDigit(text[i])) ++i;
    const std::size_t wholeEnd = i;
    std::size_t fractionBegin = i;
    std::size_t fractionEnd = i;
    if (i < text.size() && text[i] == '.') {
        fractionBegin = ++i;
        while (i < text.size() && isDigit(text[i])) ++i;
        fractionEnd = i;
        if (fractionBegin == fractionEnd) return false;
    }
    if (wholeEnd == 0 && fractionBegin == fractionEnd) return false;

    const std::string unit = text.substr(i);
    std::uint64_t unitNanos = 0;
    if (unit.empty() || unit == "ms")
        unitNanos = 1000000ULL;
    else if (unit == "ns")
        unitNanos = 1ULL;
    else if (unit == "us")
        unitNanos = 1000ULL;
    else if (unit == "s")
        unitNanos = 1000000000ULL;
    else if (unit == "m")
        unitNanos = 60ULL * 1000000000ULL;
    else if (unit == "h")
        unitNanos = 3600ULL * 1000000000ULL;
    else
        return false;

    // Exact arithmetic: digits as one integer, then scaled by the unit and
    // divided by the power of ten of the fraction.
    // Trailing zeros of the fraction add nothing.
    while (fractionEnd > fractionBegin && text[fractionEnd - 1] == '0') --fractionEnd;
    const std::size_t fractionDigits = fractionEnd - fractionBegin;
    if (fractionDigits > 18) return false;
    Wide mantissa = 0;
    // Small enough that multiplying by an hour in nanoseconds cannot overflow.
    const Wide limit = static_cast<Wide>(1) << 80;
    for (std::size_t k = 0; k < text.size() && k < fractionEnd; ++k) {
        if (!isDigit(text[k])) continue;
        mantissa = mantissa * 10 + static_cast<unsigned>(text[k] - '0');
        if (mantissa > limit) return false;
    }
    Wide divisor = 1;
    for (std::size_t k = 0; k < fractionDigits; ++k) divisor *= 10;
    const Wide scaled = mantissa * unitNanos;
    if (scaled % divisor != 0) return false;  // finer than a nanosecond
    const Wide result = scaled / divisor;
    if (result > std::numeric_limits<std::uint64_t>::max()) return false;
    nanos = static_cast<std::uint64_t>(result);
    return true;
}

namespace {

struct Failure {
    std::string message;
};

// Shows a piece of scenario text inside a message: quoted, long pieces
// shortened.
std::string quote(const std::string& text) {
    constexpr std::size_t kShown = 40;
    if (text.size() <= kShown) return sim::quotedText(text);
    std::string out = sim::quotedText(text.substr(0, kShown));
    return out.insert(out.size() - 1, "...");
}

const char* const kValueForms =
    "true, false, an integer, a real with a point or a string in double quotes";

// Splits a line into words at blanks outside double quotes and drops a
// comment that starts with # outside quotes.
std::vector<std::string> splitWords(const std::string& line) {
    std::vector<std::string> words;
    std::string current;
    bool inWord = false;
    bool inString = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (inString) {
            current += c;
            if (c == '\\' && i + 1 < line.size()) {
                current += line[++i];
            } else if (c == '"') {
                inString = false;
            }
            continue;
        }
        if (c == '#') break;
        if (c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f') {
            if (inWord) words.push_back(current);
            current.clear();
            inWord = false;
            continue;
        }
        inWord = true;
        current += c;
        if (c == '"') inString = true;
    }
    if (inString)
        throw Failure{"unterminated string " + quote(current) +
                      ": expected a closing double quote"};
    if (inWord) words.push_back(current);
    return words;
}

// The command text as shown in the timeline: the words joined by one blank.
std::string joinWords(const std::vector<std::string>& words) {
    std::string out;
    for (const std::string& w : words) {
        if (!out.empty()) out += ' ';
        out += w;
    }
    return out;
}

bool parseInteger(const std::string& text, std::int64_t& out) {
    std::size_t start = (!text.empty() && (text[0] == '-' || text[0] == '+')) ? 1 : 0;
    if (!allDigits(text, start, text.size())) return false;
    const char* first = text.data() + (text[0] == '+' ? 1 : 0);
    auto result = std::from_chars(first, text.data() + text.size(), out);
    return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

// A real needs a point: [sign] digits "." digits, either side may be empty
// but not both, then an optional exponent.
bool parseReal(const std::string& text, double& out) {
    std::size_t i = (!text.empty() && (text[0] == '-' || text[0] == '+')) ? 1 : 0;
    const std::size_t wholeBegin = i;
    while (i < text.size() && isDigit(text[i])) ++i;
    const std::size_t wholeDigits = i - wholeBegin;
    if (i >= text.size() || text[i] != '.') return false;
    ++i;
    const std::size_t fractionBegin = i;
    while (i < text.size() && isDigit(text[i])) ++i;
    if (wholeDigits == 0 && i == fractionBegin) return false;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
        const std::size_t exponentBegin = i;
        while (i < text.size() && isDigit(text[i])) ++i;
        if (i == exponentBegin) return false;
    }
    if (i != text.size()) return false;
    const char* first = text.data() + (text[0] == '+' ? 1 : 0);
    auto result = std::from_chars(first, text.data() + text.size(), out);
    return result.ec == std::errc() && std::isfinite(out);
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string parseString(const std::string& text) {
    // text starts with a quote; splitWords guarantees a closing one follows
    // somewhere, but not that it ends the word.
    std::string out;
    std::size_t i = 1;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') break;
        if (c != '\\') {
            out += c;
            continue;
        }
        if (i + 1 >= text.size()) break;
        const char e = text[++i];
        switch (e) {
            case '"':
                out += '"';
                break;
            case '\\':
                out += '\\';
                break;
            case 'n':
                out += '\n';
                break;
            case 't':
                out += '\t';
                break;
            case 'x': {
                // Any byte, as \xNN: what the tool writes for control bytes.
                const int high = i + 2 < text.size() ? hexDigit(text[i + 1]) : -1;
                const int low = i + 2 < text.size() ? hexDigit(text[i + 2]) : -1;
                if (high < 0 || low < 0) {
                    throw Failure{"expected two hex digits after \\x in a string"};
                }
                out += static_cast<char>(high * 16 + low);
                i += 2;
                break;
            }
            default:
                throw Failure{"unknown escape " + quote(std::string("\\") + e) +
                              " in a string: expected \\\", \\\\, \\n, \\t or \\xNN"};
        }
    }
    if (i >= text.size())
        throw Failure{"unterminated string " + quote(text) + ": expected a closing double quote"};
    if (i + 1 != text.size()) {
        throw Failure{"unexpected " + quote(text.substr(i + 1)) +
                      " after a string: expected a blank before the next item"};
    }
    return out;
}

PlistValue parseValue(const std::string& key, const std::string& text) {
    if (text.empty())
        throw Failure{"expected a value after " + quote(key + "=") + ": " + kValueForms};
    if (text == "true") return PlistValue::boolean(true);
    if (text == "false") return PlistValue::boolean(false);
    if (text[0] == '"') return PlistValue::string(parseString(text));
    std::int64_t integer = 0;
    if (parseInteger(text, integer)) return PlistValue::integer(integer);
    double real = 0;
    if (parseReal(text, real)) return PlistValue::real(real);
    const std::size_t start = (text[0] == '-' || text[0] == '+') ? 1 : 0;
    if (allDigits(text, start, text.size())) {
        throw Failure{"integer " + quote(text) + " is out of range: expected a value from " +
                      std::to_string(std::numeric_limits<std::int64_t>::min()) + " to " +
                      std::to_string(std::numeric_limits<std::int64_t>::max())};
    }
    throw Failure{"bad value " + quote(text) + " for " + quote(key) + ": expected " + kValueForms};
}

bool isKeyCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || isDigit(c) || c == '_' || c == '-' ||
           c == '.';
}

std::string parseKey(const std::string& key, const std::string& word) {
    if (key.empty()) throw Failure{"expected a key before " + quote(word) + " (KEY=VALUE)"};
    for (char c : key) {
        if (!isKeyCharacter(c)) {
            throw Failure{"bad key " + quote(key) +
                          ": expected letters, digits, '_', '-' or '.' (KEY=VALUE)"};
        }
    }
    return key;
}

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
            const char* full[] = {kPrefsChangedNotification, kVib1PreviewNotification,
                                  kVib2PreviewNotification, kVib3PreviewNotification,
                                  kVib4PreviewNotification};
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
            "sounds N, pending N or group NAME"};
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
    } else if (what == "vibrations" || what == "sounds" || what == "pending") {
        command.kind = what == "vibrations" ? CommandKind::ExpectVibrations
                       : what == "sounds"   ? CommandKind::ExpectSounds
                                            : CommandKind::ExpectPending;
        const std::string noun = what == "pending" ? "pending steps" : what;
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
            " after expect: expected file, no-file, no-key, vibrations, sounds, pending or group"};
    }
    return command;
}

Command parseCommand(const std::vector<std::string>& words) {
    const std::string& verb = words[0];
    Command command;
    if (verb == "cf") {
        command.kind = CommandKind::Cf;
        expectArgumentCount(words, 1, "a CoreFoundation version such as 1443.0");
        std::int64_t integer = 0;
        double real = 0;
        if (parseInteger(words[1], integer) && integer >= 0 && integer < (1LL << 53) &&
            words[1][0] != '+') {
            command.version = static_cast<double>(integer);
        } else if (parseReal(words[1], real) && real >= 0 && words[1][0] != '+' &&
                   words[1][0] != '-') {
            command.version = real;
        } else {
            throw Failure{"expected a CoreFoundation version such as 1443.0 or 1348.0, got " +
                          quote(words[1])};
        }
    } else if (verb == "ios") {
        command.kind = CommandKind::Cf;
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
        command.version = version;
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
        expectArgumentCount(words, 1, "connected, ended or nil");
        if (words[1] == "connected")
            command.call = CallState::Connected;
        else if (words[1] == "ended")
            command.call = CallState::Ended;
        else if (words[1] == "nil")
            command.call = CallState::Nil;
        else
            throw Failure{"expected connected, ended or nil after call, got " + quote(words[1])};
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
        throw Failure{
            "unknown command " + quote(verb) +
            ": expected cf, ios, start, restart, stop, settings, set, unset, "
            "delete-settings, settings-file, post, launch, call, history, wait or expect"};
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
