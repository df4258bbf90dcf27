// The scenario parser on its own: what each line becomes, or which message
// refuses it. Arbitrary text is the fuzz harness's job (tests/hardening).
#include <gtest/gtest.h>

#include <string>

#include "simulator/thrumline-sim/Scenario.h"
#include "simulator/thrumline-sim/ScenarioVerbs.h"
#include "tweak/hooks/HookGroups.h"

namespace thrumline::scenario {
namespace {

// A command as one comparable line: its words and every argument it carries.
std::string describe(const Command& c) {
    const int variant = c.kind == CommandKind::Call            ? int(c.call)
                        : c.kind == CommandKind::Telephony     ? int(c.telephony)
                        : c.kind == CommandKind::Notifications ? int(c.notifications)
                        : c.kind == CommandKind::History       ? int(c.background)
                        : c.kind == CommandKind::Timers        ? int(c.lateTimers)
                                                               : 0;
    std::string out;
    for (const Verb& v : verbs()) {
        if (v.kind == c.kind && v.variant == variant && out.empty()) out = v.words();
    }
    static const char* const directions[] = {"", " outgoing", " incoming"};
    if (c.kind == CommandKind::Cf) out += " " + sim::formatReal(c.version);
    for (const Assignment& a : c.assignments) out += " " + a.first + "=" + a.second.describe();
    for (const std::string& key : c.keys) out += " " + key;
    if (!c.name.empty()) out += " " + c.name;
    out += directions[static_cast<int>(c.direction)];
    if (c.kind == CommandKind::Wait) out += " " + std::to_string(c.nanos) + "ns";
    if (c.count != 0) out += " " + std::to_string(c.count);
    return out;
}

// The line parsed after a blank line and a comment (so it is line 4), and
// before a good one: its description, or "LINE: message". What the lines of
// the examples become shows in their expected output (examples/).
std::string parseLine(const std::string& line) {
    const ParseResult result =
        parseScenario("start\r\n\n   # a comment\n" + line + "\nstop\n", "t.scn");
    const auto* error = std::get_if<ParseError>(&result);
    if (error != nullptr) return std::to_string(error->line) + ": " + error->message;
    const std::vector<Command>& commands = std::get<Scenario>(result).commands;
    if (commands.size() != 3 || commands[1].line != 4 || commands[2].line != 5)
        return "wrong lines";
    return describe(commands[1]);
}

TEST(ScenarioParser, EachLineBecomesItsCommandOrNamesWhatWasExpected) {
    struct Case {
        std::string line;
        std::string want;  // the description, or "!" and a part of the line-4 message
    };
    const Case cases[] = {
        {"  \trestart   # with a comment", "restart"},
        {"cf 1442.99", "cf 1442.99"},
        {"cf .5", "cf 0.5"},
        {"settings isEnabled=true oldMethod=false vibration1=-250 big=9223372036854775807 r=2.5 "
         "e=1.5e3 "
         "s=\"a # b\" esc=\"q\\\"\\\\\\n\\t\" empty=\"\"   # comment",
         "settings isEnabled=true oldMethod=false vibration1=-250 big=9223372036854775807 r=2.5 "
         "e=1500.0 "
         "s=\"a # b\" esc=\"q\\\"\\\\\\n\\t\" empty=\"\""},
        {"unset a b.c", "unset a b.c"},
        {"post com.example.other", "post com.example.other"},
        {"settings-file \"with space.plist\"", "settings-file with space.plist"},
        {"wait 250", "wait 250000000ns"},
        {"wait 1.500000000000000000s", "wait 1500000000ns"},
        {"wait 0.001ms", "wait 1000ns"},
        {"wait 5124095h", "wait 18446742000000000000ns"},
        {"dance", "!unknown command \"dance\": expected cf, ios, start"},
        {"dance",
         "!, call, history, telephony, notifications, timers, wait or expect"},  // each verb once
        {"history later", "!history takes no arguments, got \"later\""},
        {"notifications", "!expected hold or deliver after notifications"},
        {"notifications drop", "!expected hold or deliver after notifications, got \"drop\""},
        {"expect", "!expect needs a check: file KEY=VALUE, no-file, no-key KEY, vibrations N"},
        {"call", "!call needs connected [outgoing|incoming], ended or nil"},
        {"start now\nbogus",
         "!start takes no arguments, got \"now\""},  // the first bad line is the one named
        {"call maybe", "!expected connected, ended or nil after call, got \"maybe\""},
        {"call ended twice",
         "!unexpected \"twice\" after call ended: expected connected [outgoing|incoming], ended or "
         "nil only"},
        {"call connected sideways",
         "!expected outgoing or incoming after call connected, got \"sideways\""},
        {"call connected outgoing now", "!expected outgoing or incoming after connected only"},
        {"telephony", "!expected ring, dial, active, hold, end or refresh after telephony"},
        {"telephony answer Bo",
         "!expected ring, dial, active, hold, end or refresh after "
         "telephony, got \"answer\""},
        {"telephony dial Bo-2", "!bad call name \"Bo-2\": expected letters, digits and _"},
        {"telephony ring Bo now", "!unexpected \"now\" after telephony ring Bo"},
        {"telephony refresh Bo", "!unexpected \"Bo\" after telephony refresh"},
        {"timers", "!timers needs late or exact"},
        {"timers slow", "!expected late or exact after timers, got \"slow\""},
        {"timers late now", "!unexpected \"now\" after timers late: expected nothing more"},
        {"wait soon", "!expected a duration such as 250ms, 7s, 2m or 1h"},
        {"wait 1.5ns", "!expected a duration"},
        {"wait 5124096h", "!expected a duration"},
        {"wait 1e3", "!expected a duration"},
        {"cf eleven", "!expected a CoreFoundation version such as 1443.0"},
        {"ios 10.3", "!expected an iOS major version such as 10 or 11"},
        {"ios 6", "!no representative CoreFoundation version for iOS 6: expected 7 to 18"},
        {"ios 19", "!no representative CoreFoundation version for iOS 19"},
        {"expect call Anna isConnected=true status=6",
         "expect call isConnected=true status=6 Anna"},
        {"expect call Anna", "!expect call needs a call NAME and status="},
        {"expect call status=1", "!expect call needs a call NAME"},
        {"expect call Bo-2 status=1", "!bad call name \"Bo-2\""},
        {"expect call Anna state=1", "!unknown answer \"state\" after expect call"},
        {"expect call Anna status=true", "!expected an integer after status="},
        {"expect call Anna isConnected=1", "!expected true or false after isConnected="},
        {"expect call Anna status=1 status=2", "!key \"status\" is given twice"},
        {"set isEnabled", "!expected KEY=VALUE, got \"isEnabled\""},
        {"set isEnabled=", "!expected a value after \"isEnabled=\": true, false, an integer"},
        {"set isEnabled=TRUE",
         "!bad value \"TRUE\" for \"isEnabled\": expected true, false, an integer"},
        {"set a=1,5", "!bad value \"1,5\""},
        {"set a=99999999999999999999", "!integer \"99999999999999999999\" is out of range"},
        {"set =1", "!expected a key before \"=1\""},
        {"set a=1 a=2", "!key \"a\" is given twice"},
        {"set s=\"open", "!unterminated string"},
        {"set s=\"a\"b", "!unexpected \"b\" after a string"},
        {"set s=\"\\q\"", "!unknown escape \"\\\\q\""},
        // Control bytes read and write as \xNN, so what the tool shows reads back.
        {"set c=\"\\x01\\x7F\\x41\"", "set c=\"\\x01\\x7fA\""},
        {"set c=\"\\x4\"", "!expected two hex digits after \\x"},
        {"unset a=1", "!expected a key without a value"},
        {"post vib5Preview",
         "!unknown notification \"vib5Preview\": expected prefschanged, vib1Preview"},
        {"settings-file \"\"", "!settings-file needs a PATH, got an empty string"},
        {"expect miracles", "!unknown check \"miracles\" after expect"},
        {"expect vibrations -1", "!expected a count of vibrations (0 or more), got \"-1\""},
        {"expect sounds 1 2", "!expected one count only"},
        {"expect overlaps some", "!expected a count of overlaps (0 or more), got \"some\""},
        {"expect live-calls many", "!expected a count of live calls (0 or more), got \"many\""},
        {"expect no-file please", "!expect no-file takes no arguments"},
        {"expect group iOS12", "!expect group needs one of iOS10, iOS11 or none"},
        {"ca\x1bll", "!\"ca\\x1bll\""},  // control bytes are shown escaped
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const std::string got = parseLine(c.line);
        if (c.want[0] != '!') {
            EXPECT_EQ(got, c.want);
        } else {
            EXPECT_EQ(got.rfind("4: ", 0), 0u) << got;
            EXPECT_NE(got.find(c.want.substr(1)), std::string::npos) << got;
        }
    }
    // A huge word is shortened in the message.
    EXPECT_LT(parseLine(std::string(5000, 'x')).size(), 300u);
    // Every iOS alias falls in the range of the hook group its release uses.
    EXPECT_LT(coreFoundationVersionOfIos(9), kLowestVersion_iOS10);
    EXPECT_GE(coreFoundationVersionOfIos(10), kLowestVersion_iOS10);
    EXPECT_LE(coreFoundationVersionOfIos(10), kHighestVersion_iOS10);
    for (int major = 11; major <= 18; ++major)
        EXPECT_GE(coreFoundationVersionOfIos(major), kLowestVersion_iOS11) << major;
}

// Every command of the table reads an example of its argument shape and
// refuses a word too many; one that needs arguments names them when they
// are missing.
TEST(ScenarioParser, EveryVerbReadsItsShape) {
    const char* const examples[] = {"",        "1443.0",       "11",           "a=1",  "a",
                                    "x.plist", "prefschanged", "outgoing",     "Anna", "1s",
                                    "2",       "iOS11",        "Anna status=1"};
    for (const Verb& v : verbs()) {
        const std::string line = v.words() + " " + examples[static_cast<int>(v.shape)];
        SCOPED_TRACE(line);
        const std::string got = parseLine(line);
        EXPECT_EQ(got.rfind(v.kind == CommandKind::Cf ? "cf" : v.words(), 0), 0u) << got;
        EXPECT_EQ(parseLine(line + " =?").rfind("4: ", 0), 0u);
        if (v.needs != nullptr && v.shape != Shape::None && v.shape != Shape::Direction) {
            EXPECT_EQ(parseLine(v.words()), "4: " + v.words() + " needs " + v.needs);
        }
    }
}

}  // namespace
}  // namespace thrumline::scenario
