// The scenario language of thrumline-sim: one command per line, parsed in
// full before anything runs. Parsing touches nothing outside the text, so it
// is safe to feed it arbitrary bytes.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "simulator/home-screen/PlistValue.h"

namespace thrumline::scenario {

// KEY=VALUE, in the order written. A value is true/false, an integer, a real
// (written with a point) or a double-quoted string.
using Assignment = std::pair<std::string, sim::PlistValue>;

enum class CallState { Connected, Ended, Nil };
// Who placed a connected call. Unsaid: the call connected of old, incoming.
enum class CallDirection { Unsaid, Outgoing, Incoming };

// What a telephony line does to the phone's calls.
enum class TelephonyVerb { Ring, Dial, Active, Hold, End, Refresh };
// What a notifications line does to the delivery of Darwin notifications.
enum class NotificationsVerb { Hold, Deliver };

// What a line does; ScenarioVerbs.cpp lists the words and arguments of each.
enum class CommandKind {
    Cf,
    Start,
    Restart,
    Stop,
    Settings,
    Set,
    Unset,
    DeleteSettings,
    SettingsFile,
    Post,
    Launch,
    Call,
    History,
    Telephony,
    Notifications,
    Timers,
    Wait,
    ExpectFile,
    ExpectNoFile,
    ExpectNoKey,
    ExpectVibrations,
    ExpectSounds,
    ExpectOverlaps,
    ExpectPending,
    ExpectGroup,
    ExpectLiveCalls,
    ExpectCall
};

struct Command {
    CommandKind kind = CommandKind::Start;
    int line = 0;
    std::string text;    // the command as written, comment and edges trimmed
    double version = 0;  // Cf
    // Settings, Set, ExpectFile; ExpectCall: status (an integer) and/or
    // isConnected (a boolean)
    std::vector<Assignment> assignments;
    std::vector<std::string> keys;  // Unset, ExpectNoKey
    // Post: the full notification name; SettingsFile: the path; ExpectGroup;
    // Telephony: the call's name (none for refresh); ExpectCall: the call's name
    std::string name;
    CallState call = CallState::Nil;                  // Call
    CallDirection direction = CallDirection::Unsaid;  // Call, connected
    TelephonyVerb telephony = TelephonyVerb::Refresh;
    NotificationsVerb notifications = NotificationsVerb::Hold;
    bool background = false;  // History: sent on a background queue
    bool lateTimers = false;  // Timers: late, else exact
    std::uint64_t nanos = 0;  // Wait
    std::int64_t count = 0;   // ExpectVibrations, ExpectSounds, ExpectOverlaps, ExpectPending,
                              // ExpectLiveCalls

    bool isExpect() const;
};

struct Scenario {
    std::string fileName;
    std::vector<Command> commands;
};

struct ParseError {
    int line = 0;
    std::string message;
};

using ParseResult = std::variant<Scenario, ParseError>;

// Parses a whole scenario. Stops at the first bad line and names it; a
// scenario that parses has only commands with well-formed arguments (state
// errors such as a call before start are found when it runs).
ParseResult parseScenario(const std::string& text, const std::string& fileName);

// The representative CoreFoundation version of an iOS major release, or a
// negative value when the tool knows none for it.
double coreFoundationVersionOfIos(int major);

// Parses "250ms", "7s", "2m", "1h", "1.5s" or a bare number of milliseconds.
// False when the text is not such a duration or it does not fit in 64 bits
// of nanoseconds.
bool parseDuration(const std::string& text, std::uint64_t& nanos);

}  // namespace thrumline::scenario
