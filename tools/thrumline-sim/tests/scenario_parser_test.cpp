// The scenario parser on its own: what each command becomes, which lines it
// refuses and with which message, and that no text can make it misbehave.
#include "tools/thrumline-sim/Scenario.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace thrumline::scenario {
namespace {

Scenario parseOk(const std::string& text) {
    ParseResult result = parseScenario(text, "t.scn");
    if (const auto* error = std::get_if<ParseError>(&result)) {
        ADD_FAILURE() << "unexpected error at line " << error->line << ": " << error->message;
        return {};
    }
    return std::get<Scenario>(result);
}

Command parseOne(const std::string& line) {
    Scenario scenario = parseOk(line);
    if (scenario.commands.size() != 1) {
        ADD_FAILURE() << "expected one command from: " << line;
        return {};
    }
    return scenario.commands[0];
}

TEST(ScenarioParser, SimpleCommandsBecomeTheirKinds) {
    struct Case {
        const char* line;
        CommandKind kind;
    };
    const Case cases[] = {
        {"start", CommandKind::Start},
        {"restart", CommandKind::Restart},
        {"stop", CommandKind::Stop},
        {"launch", CommandKind::Launch},
        {"history", CommandKind::History},
        {"delete-settings", CommandKind::DeleteSettings},
        {"expect no-file", CommandKind::ExpectNoFile},
        {"  \tstart   # with a comment", CommandKind::Start},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(parseOne(c.line).kind, c.kind);
    }
}

TEST(ScenarioParser, CoreFoundationVersionsAndIosAliases) {
    struct Case {
        const char* line;
        double version;
    };
    const Case cases[] = {
        {"cf 1443.0", 1443.0}, {"cf 1442.99", 1442.99}, {"cf 1348", 1348.0}, {"cf .5", 0.5},
        {"ios 9", 1240.10},    {"ios 10", 1348.0},      {"ios 11", 1443.0},  {"ios 13", 1665.15},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const Command command = parseOne(c.line);
        EXPECT_EQ(command.kind, CommandKind::Cf);
        EXPECT_EQ(command.version, c.version);
    }
    // Every alias lands in the range of the hook group its release uses.
    EXPECT_LT(coreFoundationVersionOfIos(9), 1348.0);
    EXPECT_GE(coreFoundationVersionOfIos(10), 1348.0);
    EXPECT_LE(coreFoundationVersionOfIos(10), 1442.99);
    for (int major = 11; major <= 15; ++major) EXPECT_GE(coreFoundationVersionOfIos(major), 1443.0) << major;
}

TEST(ScenarioParser, SettingsValuesKeepTheirTypes) {
    const Command command = parseOne(
        "settings isEnabled=true oldMethod=false vibration1=-250 big=9223372036854775807 "
        "r=2.5 e=1.5e3 s=\"a # b\" esc=\"q\\\"\\\\\\n\\t\" empty=\"\"");
    ASSERT_EQ(command.kind, CommandKind::Settings);
    const std::vector<Assignment> expected = {
        {"isEnabled", Value::ofBoolean(true)},
        {"oldMethod", Value::ofBoolean(false)},
        {"vibration1", Value::ofInteger(-250)},
        {"big", Value::ofInteger(INT64_MAX)},
        {"r", Value::ofReal(2.5)},
        {"e", Value::ofReal(1500.0)},
        {"s", Value::ofString("a # b")},
        {"esc", Value::ofString("q\"\\\n\t")},
        {"empty", Value::ofString("")},
    };
    ASSERT_EQ(command.assignments.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(command.assignments[i].first, expected[i].first);
        EXPECT_TRUE(command.assignments[i].second == expected[i].second) << expected[i].first;
    }
    // Values print back as a scenario would write them.
    EXPECT_EQ(expected[6].second.toText(), "\"a # b\"");
    EXPECT_EQ(expected[7].second.toText(), "\"q\\\"\\\\\\n\\t\"");
    EXPECT_EQ(expected[4].second.toText(), "2.5");
    EXPECT_EQ(Value::ofReal(300).toText(), "300.0");
}

TEST(ScenarioParser, SettingsWithoutKeysIsAnEmptyFile) {
    const Command command = parseOne("settings");
    EXPECT_EQ(command.kind, CommandKind::Settings);
    EXPECT_TRUE(command.assignments.empty());
}

TEST(ScenarioParser, ArgumentsOfTheOtherCommands) {
    EXPECT_EQ(parseOne("unset a b.c").keys, (std::vector<std::string>{"a", "b.c"}));
    EXPECT_EQ(parseOne("post prefschanged").name, "com.brindle.thrumline.prefschanged");
    EXPECT_EQ(parseOne("post vib4Preview").name, "com.brindle.thrumline.vib4Preview");
    EXPECT_EQ(parseOne("post com.example.other").name, "com.example.other");
    EXPECT_EQ(parseOne("call connected").call, CallState::Connected);
    EXPECT_EQ(parseOne("call ended").call, CallState::Ended);
    EXPECT_EQ(parseOne("call nil").call, CallState::Nil);
    EXPECT_EQ(parseOne("settings-file odd.plist").name, "odd.plist");
    EXPECT_EQ(parseOne("settings-file \"with space.plist\"").name, "with space.plist");
    EXPECT_EQ(parseOne("expect vibrations 3").count, 3);
    EXPECT_EQ(parseOne("expect sounds 0").kind, CommandKind::ExpectSounds);
    EXPECT_EQ(parseOne("expect pending 2").kind, CommandKind::ExpectPending);
    EXPECT_EQ(parseOne("expect group none").name, "none");
    EXPECT_EQ(parseOne("expect no-key isNotRespringing").keys, (std::vector<std::string>{"isNotRespringing"}));
    const Command file = parseOne("expect file isNotRespringing=false vibration1=250");
    EXPECT_EQ(file.kind, CommandKind::ExpectFile);
    ASSERT_EQ(file.assignments.size(), 2u);
    EXPECT_TRUE(file.assignments[1].second == Value::ofInteger(250));
}

TEST(ScenarioParser, Durations) {
    struct Case {
        const char* text;
        std::uint64_t nanos;
    };
    const Case good[] = {
        {"250ms", 250000000ULL},  {"250", 250000000ULL},      {"7s", 7000000000ULL},
        {"2m", 120000000000ULL},  {"1h", 3600000000000ULL},   {"1.5s", 1500000000ULL},
        {"0", 0},                 {"0.001ms", 1000ULL},       {"3ns", 3ULL},
        {"10us", 10000ULL},       {"1.500000000000000000s", 1500000000ULL},
        {"5124095h", 5124095ULL * 3600000000000ULL},
    };
    for (const Case& c : good) {
        std::uint64_t nanos = 12345;
        EXPECT_TRUE(parseDuration(c.text, nanos)) << c.text;
        EXPECT_EQ(nanos, c.nanos) << c.text;
    }
    const char* bad[] = {"", "s", "-1s", "7 s", "7sec", "1.s", ".", "1.5ns", "5124096h", "1e3", "0x10",
                         "99999999999999999999999999999h"};
    for (const char* text : bad) {
        std::uint64_t nanos = 0;
        EXPECT_FALSE(parseDuration(text, nanos)) << text;
    }
}

TEST(ScenarioParser, CommentsBlankLinesAndLineNumbers) {
    const Scenario scenario = parseOk(
        "# a scenario\n"
        "\n"
        "start\r\n"
        "   # indented comment\n"
        "set s=\"#not a comment\"   # but this is\n"
        "wait 1s");
    ASSERT_EQ(scenario.commands.size(), 3u);
    EXPECT_EQ(scenario.commands[0].line, 3);
    EXPECT_EQ(scenario.commands[0].text, "start");
    EXPECT_EQ(scenario.commands[1].line, 5);
    EXPECT_TRUE(scenario.commands[1].assignments[0].second == Value::ofString("#not a comment"));
    EXPECT_EQ(scenario.commands[1].text, "set s=\"#not a comment\"");
    EXPECT_EQ(scenario.commands[2].line, 6);
}

TEST(ScenarioParser, BadLinesNameTheLineAndWhatWasExpected) {
    struct Case {
        const char* line;
        const char* message;  // a part of the message
    };
    const Case cases[] = {
        {"dance", "unknown command \"dance\": expected cf, ios, start"},
        {"Start", "unknown command \"Start\""},
        {"start now", "start takes no arguments, got \"now\""},
        {"call", "call needs connected, ended or nil"},
        {"call maybe", "expected connected, ended or nil after call, got \"maybe\""},
        {"call ended twice", "expected connected, ended or nil only"},
        {"wait", "wait needs a DURATION"},
        {"wait soon", "expected a duration such as 250ms, 7s, 2m or 1h"},
        {"wait -5s", "expected a duration"},
        {"cf", "cf needs a CoreFoundation version"},
        {"cf eleven", "expected a CoreFoundation version such as 1443.0"},
        {"cf -1443.0", "expected a CoreFoundation version"},
        {"ios 10.3", "expected an iOS major version such as 10 or 11"},
        {"ios 6", "no representative CoreFoundation version for iOS 6: expected 7 to 15"},
        {"set", "set needs at least one KEY=VALUE"},
        {"set isEnabled", "expected KEY=VALUE, got \"isEnabled\""},
        {"set isEnabled=", "expected a value after \"isEnabled=\": true, false, an integer"},
        {"set isEnabled=yes", "bad value \"yes\" for \"isEnabled\": expected true, false, an integer"},
        {"set isEnabled=TRUE", "bad value \"TRUE\""},
        {"set a=1,5", "bad value \"1,5\""},
        {"set a=99999999999999999999", "integer \"99999999999999999999\" is out of range"},
        {"set =1", "expected a key before \"=1\""},
        {"set a b=1", "expected KEY=VALUE, got \"a\""},
        {"set k\"x\"=1", "bad key"},
        {"set a=1 a=2", "key \"a\" is given twice"},
        {"set s=\"open", "unterminated string"},
        {"set s=\"a\"b", "unexpected \"b\" after a string"},
        {"set s=\"\\q\"", "unknown escape \"\\q\""},
        {"unset", "unset needs at least one KEY"},
        {"unset a=1", "expected a key without a value"},
        {"post", "post needs a notification NAME"},
        {"post vib5Preview", "unknown notification \"vib5Preview\": expected prefschanged, vib1Preview"},
        {"post PrefsChanged", "unknown notification"},
        {"settings-file", "settings-file needs a PATH"},
        {"settings-file \"\"", "settings-file needs a PATH, got an empty string"},
        {"expect", "expect needs a check"},
        {"expect miracles", "unknown check \"miracles\" after expect"},
        {"expect vibrations", "expect vibrations needs a count of vibrations"},
        {"expect vibrations -1", "expected a count of vibrations (0 or more), got \"-1\""},
        {"expect sounds lots", "expected a count of sounds"},
        {"expect sounds 1 2", "expected one count only"},
        {"expect file", "expect file needs KEY=VALUE"},
        {"expect no-file please", "expect no-file takes no arguments"},
        {"expect group iOS12", "expect group needs one of iOS10, iOS11 or none"},
        {"set s=\"\x01\"x", "\"x\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        ParseResult result = parseScenario(std::string("start\n\n") + c.line + "\nstop\n", "t.scn");
        const auto* error = std::get_if<ParseError>(&result);
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->line, 3);
        EXPECT_NE(error->message.find(c.message), std::string::npos) << error->message;
    }
}

TEST(ScenarioParser, TheFirstBadLineIsTheOneReported) {
    ParseResult result = parseScenario("start\nbogus one\nbogus two\n", "t.scn");
    const auto* error = std::get_if<ParseError>(&result);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->line, 2);
    EXPECT_NE(error->message.find("\"bogus\""), std::string::npos);
}

TEST(ScenarioParser, MessagesShowControlBytesEscapedAndLongWordsShortened) {
    ParseResult result = parseScenario(std::string("ca\x1bll\n"), "t.scn");
    ASSERT_TRUE(std::holds_alternative<ParseError>(result));
    EXPECT_NE(std::get<ParseError>(result).message.find("\"ca\\x1bll\""), std::string::npos);

    result = parseScenario(std::string(5000, 'x'), "t.scn");
    ASSERT_TRUE(std::holds_alternative<ParseError>(result));
    EXPECT_LT(std::get<ParseError>(result).message.size(), 300u);
}

// Arbitrary bytes give a scenario or an error with a line inside the text,
// never a crash (the sanitizer build checks the memory side).
TEST(ScenarioParser, ArbitraryTextNeverBreaksIt) {
    std::mt19937 random(20240607);
    const std::string alphabet = "setunstartcallwaitexpect=\"\\# \n\t.0123456789-+msh\x01\xff\r";
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        const int length = static_cast<int>(random() % 120);
        for (int i = 0; i < length; ++i) {
            text += (random() % 4 == 0) ? static_cast<char>(random() % 256) : alphabet[random() % alphabet.size()];
        }
        const int lines = 1 + static_cast<int>(std::count(text.begin(), text.end(), '\n'));
        ParseResult result = parseScenario(text, "fuzz.scn");
        if (const auto* error = std::get_if<ParseError>(&result)) {
            EXPECT_GE(error->line, 1);
            EXPECT_LE(error->line, lines);
            EXPECT_FALSE(error->message.empty());
        } else {
            for (const Command& command : std::get<Scenario>(result).commands) {
                EXPECT_GE(command.line, 1);
                EXPECT_LE(command.line, lines);
            }
        }
    }
}

}  // namespace
}  // namespace thrumline::scenario
