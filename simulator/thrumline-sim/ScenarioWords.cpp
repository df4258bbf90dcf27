// The words of the scenario language: splitting a line, values, keys and
// durations.
#include "simulator/thrumline-sim/ScenarioWords.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace thrumline::scenario {

using sim::PlistValue;

bool allDigits(const std::string& s, std::size_t from, std::size_t to) {
    if (from >= to) return false;
    for (std::size_t i = from; i < to; ++i) {
        if (!isDigit(s[i])) return false;
    }
    return true;
}

namespace {

__extension__ typedef unsigned __int128 Wide;

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

std::string quote(const std::string& text) {
    constexpr std::size_t kShown = 40;
    if (text.size() <= kShown) return sim::quotedText(text);
    std::string out = sim::quotedText(text.substr(0, kShown));
    return out.insert(out.size() - 1, "...");
}

const char* const kValueForms =
    "true, false, an integer, a real with a point or a string in double quotes";

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

std::string joinWords(const std::vector<std::string>& words) {
    std::string out;
    for (const std::string& w : words) {
        if (!out.empty()) out += ' ';
        out += w;
    }
    return out;
}

std::string listOf(const std::vector<std::string>& items) {
    std::string out;
    for (std::size_t i = 0; i < items.size(); ++i)
        out += (i == 0 ? "" : i + 1 == items.size() ? " or " : ", ") + items[i];
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

static int hexDigit(char c) {
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

static bool isKeyCharacter(char c) {
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

}  // namespace thrumline::scenario
