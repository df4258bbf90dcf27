// Checks what the scenario parser makes of arbitrary text. Shared by the
// libFuzzer target and the tests that replay its corpus.
#pragma once

#include <string>

namespace thrumline::hardening {

// Parses `text` and checks the result: either commands, each on a line of
// the text, in order, whose own text parses back to the same command; or an
// error naming a line of the text with a one-line message, so that the tool
// can print it as FILE:LINE: message. Returns the first thing that is wrong,
// or an empty string. A crash or an escaping exception is a finding too.
std::string checkScenarioText(const std::string& text);

}  // namespace thrumline::hardening
