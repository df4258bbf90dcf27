// The pieces the scenario parser builds commands from. Internal to the
// parser: each throws Failure with a message naming what was
// expected.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "simulator/home-screen/PlistValue.h"

namespace thrumline::scenario {

// What a bad piece of a line throws; the parser adds the line number.
struct Failure {
    std::string message;
};

inline bool isDigit(char c) { return c >= '0' && c <= '9'; }
// True when s[from, to) is a non-empty run of decimal digits.
bool allDigits(const std::string& s, std::size_t from, std::size_t to);
// Shows a piece of scenario text inside a message: quoted, long pieces
// shortened.
std::string quote(const std::string& text);
// Splits a line into words at blanks outside double quotes and drops a
// comment that starts with # outside quotes.
std::vector<std::string> splitWords(const std::string& line);
// The words joined by one blank: the command as the timeline shows it.
std::string joinWords(const std::vector<std::string>& words);
// The items as a message lists them: "a, b or c".
std::string listOf(const std::vector<std::string>& items);
// A decimal integer with an optional sign that fits in 64 bits.
bool parseInteger(const std::string& text, std::int64_t& out);
// A finite real with a point: [sign] digits "." digits, [exponent].
bool parseReal(const std::string& text, double& out);
// A double-quoted string word, its escapes undone.
std::string parseString(const std::string& text);
// The value of KEY=VALUE: true, false, an integer, a real or a string.
sim::PlistValue parseValue(const std::string& key, const std::string& text);
// A key: letters, digits, '_', '-' or '.'. `word` is the whole word, for
// messages.
std::string parseKey(const std::string& key, const std::string& word);

}  // namespace thrumline::scenario
