// The scenario language's commands in one table: their words, the shape of
// their arguments, what each becomes and its --help lines. The parser
// dispatches on it, --help prints it and the parser test walks it.
#pragma once

#include <string>
#include <vector>

#include "simulator/thrumline-sim/Scenario.h"

namespace thrumline::scenario {

// What follows a command's words.
enum class Shape {
    None,
    Version,       // VERSION: a CoreFoundation version
    IosMajor,      // N: an iOS major release
    Assignments,   // KEY=VALUE ...
    Keys,          // KEY ...
    Path,          // PATH, relative to the scenario
    Notification,  // NAME: a short or a full notification name
    Direction,     // [outgoing|incoming]
    CallName,      // NAME: a telephony call
    Duration,
    Count,
    HookGroup,    // NAME: a hook group's, or none
    CallAnswers,  // NAME and what the call answers: status=N, isConnected=true|false
};

struct Verb {
    const char* verb;  // the first word
    const char* form;  // the second word of an expect, call or telephony form, else ""
    CommandKind kind;
    Shape shape;
    // What the arguments must be, as messages say it ("wait needs a DURATION
    // such as ..."); nullptr when there may be none.
    const char* needs;
    // The --help text beside the usage; nullptr when the next row's covers
    // this one too (its usage then joins with " | ").
    const char* help;
    int variant = 0;             // the CallState or TelephonyVerb of the form
    const char* note = nullptr;  // a paragraph under the help, indented less
    std::string words() const;   // "expect file"
    std::string usage() const;   // "expect file KEY=VALUE ..."
};

// Every command, in the order --help and the messages list them.
const std::vector<Verb>& verbs();

// The row a line's words name; throws Failure naming the known words when
// none does.
const Verb& findVerb(const std::vector<std::string>& words);

// The scenario-language part of --help.
std::string verbHelp();

}  // namespace thrumline::scenario
