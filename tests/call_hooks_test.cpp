// The call-state reaction: the three replacements' decision tables, their gate,
// and how they treat the host implementation and its argument.
#include "tests/SimFixture.h"

#include <string>
#include <vector>

namespace thrumline::test {
namespace {

enum class Hook { DatabaseChanged, SetActiveCall };
enum class Arg { Nil, Connected, NotConnected, PlainObject };
enum class Action {
    Nothing,
    SlotPatternFirst,
    SlotPatternLast,
    SinglePulseFirst,
    SinglePulseLast,
    ChainFirst,
    ChainLast,
    ClassicPulse,
};

const char* nameOf(Hook hook) {
    return hook == Hook::DatabaseChanged ? "databaseChanged" : "setActiveCall";
}
const char* nameOf(Arg arg) {
    switch (arg) {
        case Arg::Nil:
            return "nil";
        case Arg::Connected:
            return "connected";
        case Arg::NotConnected:
            return "notConnected";
        case Arg::PlainObject:
            return "object";
    }
    return "?";
}
const char* selectorOf(Hook hook) {
    return hook == Hook::DatabaseChanged ? "databaseChanged:" : "setActiveCall:";
}

// Slot values that tell every action apart: the first slot's figure is two
// pulses of 111, the last slot's three pulses of 222.
PlistValue decisionSettings(bool oldMethod, bool numbers) {
    return enabledSettings({{"oldMethod", B(oldMethod)},
                            {"isVibrationsNumber", B(numbers)},
                            {"firstVibrationNumber", I(1)},
                            {"lastVibrationNumber", I(2)},
                            {"vibration1", I(111)},
                            {"vibration2", I(222)},
                            {"VibrationDuration", I(50)}});
}

CallOutcome expectedOutcome(Action action) {
    CallOutcome o;
    switch (action) {
        case Action::Nothing:
            break;
        case Action::SlotPatternFirst:
            o.patterns = {{ON, 111, OFF, 50, ON, 111}};
            break;
        case Action::SlotPatternLast:
            o.patterns = {{ON, 222, OFF, 50, ON, 222, OFF, 50, ON, 222}};
            break;
        case Action::SinglePulseFirst:
            o.patterns = {{ON, 111}};
            break;
        case Action::SinglePulseLast:
            o.patterns = {{ON, 222}};
            break;
        case Action::ChainFirst:
            o.pulsesAfter = 2;
            break;
        case Action::ChainLast:
            o.pulsesAfter = 3;
            break;
        case Action::ClassicPulse:
            o.pulsesInCall = 1;
            break;
    }
    return o;
}

class CallHookTest : public SimTest {
protected:
    Object argument = nullptr;

    Object makeArgument(Arg arg) {
        switch (arg) {
            case Arg::Nil:
                return nullptr;
            case Arg::Connected:
                return process->newCall(true);
            case Arg::NotConnected:
                return process->newCall(false);
            case Arg::PlainObject:
                return process->newPlainObject();
        }
        return nullptr;
    }

    void invoke(Hook hook, Object arg) {
        if (hook == Hook::DatabaseChanged) {
            process->databaseChanged(arg);
        } else {
            process->setActiveCall(arg);
        }
    }

    // Calls the hooked method once, then lets the main queue run long enough
    // for any chain to finish.
    CallOutcome callAndSettle(Hook hook, Object arg) {
        const std::size_t from = mark();
        invoke(hook, arg);
        CallOutcome outcome;
        outcome.patterns = patternsSince(from);
        outcome.pulsesInCall = static_cast<int>(classicPulsesSince(from).size());
        const std::size_t after = mark();
        advance(5 * kSecond);
        outcome.pulsesAfter = static_cast<int>(classicPulsesSince(after).size());
        EXPECT_EQ(countSince(after, EventKind::Vibrate), 0u) << "a pattern played late";
        EXPECT_EQ(process->queue().pending(), 0u);
        return outcome;
    }

    void TearDown() override {
        if (argument != nullptr && process) process->releaseObject(argument);
        SimTest::TearDown();
    }
};

// --- Decision tables ---

struct DecisionRow {
    double version;
    Hook hook;
    Arg arg;
    bool oldMethod;
    bool numbers;
    Action action;
};

std::string rowName(const DecisionRow& r) {
    return std::string(r.version == kVersion_iOS10 ? "iOS10_" : "iOS11_") + nameOf(r.hook) + "_" +
           nameOf(r.arg) + (r.oldMethod ? "_classic" : "_pattern") +
           (r.numbers ? "_numbers" : "_single");
}

void PrintTo(const DecisionRow& row, std::ostream* out) { *out << rowName(row); }

constexpr double v10 = kVersion_iOS10;
constexpr double v11 = kVersion_iOS11;
using H = Hook;
using A = Arg;
using X = Action;

const std::vector<DecisionRow> kDecisionRows = {
    // iOS10 databaseChanged: always the last slot; the argument is never read.
    {v10, H::DatabaseChanged, A::Nil, false, true, X::SlotPatternLast},
    {v10, H::DatabaseChanged, A::Nil, false, false, X::SinglePulseLast},
    {v10, H::DatabaseChanged, A::Nil, true, true, X::ChainLast},
    {v10, H::DatabaseChanged, A::Nil, true, false, X::ClassicPulse},
    {v10, H::DatabaseChanged, A::PlainObject, false, true, X::SlotPatternLast},
    {v10, H::DatabaseChanged, A::PlainObject, false, false, X::SinglePulseLast},
    {v10, H::DatabaseChanged, A::PlainObject, true, true, X::ChainLast},
    {v10, H::DatabaseChanged, A::PlainObject, true, false, X::ClassicPulse},
    {v10, H::DatabaseChanged, A::Connected, false, true, X::SlotPatternLast},
    {v10, H::DatabaseChanged, A::Connected, true, false, X::ClassicPulse},
    // iOS10 setActiveCall: the first slot when connected, else nothing.
    {v10, H::SetActiveCall, A::Connected, false, true, X::SlotPatternFirst},
    {v10, H::SetActiveCall, A::Connected, false, false, X::SinglePulseFirst},
    {v10, H::SetActiveCall, A::Connected, true, true, X::ChainFirst},
    {v10, H::SetActiveCall, A::Connected, true, false, X::ClassicPulse},
    {v10, H::SetActiveCall, A::NotConnected, false, true, X::Nothing},
    {v10, H::SetActiveCall, A::NotConnected, false, false, X::Nothing},
    {v10, H::SetActiveCall, A::NotConnected, true, true, X::Nothing},
    {v10, H::SetActiveCall, A::NotConnected, true, false, X::Nothing},
    {v10, H::SetActiveCall, A::Nil, false, true, X::Nothing},
    {v10, H::SetActiveCall, A::Nil, false, false, X::Nothing},
    {v10, H::SetActiveCall, A::Nil, true, true, X::Nothing},
    {v10, H::SetActiveCall, A::Nil, true, false, X::Nothing},
    // iOS11 setActiveCall: first when connected, last otherwise.
    {v11, H::SetActiveCall, A::Connected, false, true, X::SlotPatternFirst},
    {v11, H::SetActiveCall, A::Connected, false, false, X::SinglePulseFirst},
    {v11, H::SetActiveCall, A::Connected, true, true, X::ChainFirst},
    {v11, H::SetActiveCall, A::Connected, true, false, X::ClassicPulse},
    {v11, H::SetActiveCall, A::NotConnected, false, true, X::SlotPatternLast},
    {v11, H::SetActiveCall, A::NotConnected, false, false, X::SinglePulseLast},
    {v11, H::SetActiveCall, A::NotConnected, true, true, X::ChainLast},
    {v11, H::SetActiveCall, A::NotConnected, true, false, X::ClassicPulse},
    {v11, H::SetActiveCall, A::Nil, false, true, X::SlotPatternLast},
    {v11, H::SetActiveCall, A::Nil, false, false, X::SinglePulseLast},
    {v11, H::SetActiveCall, A::Nil, true, true, X::ChainLast},
    {v11, H::SetActiveCall, A::Nil, true, false, X::ClassicPulse},
};

class DecisionTable : public CallHookTest, public ::testing::WithParamInterface<DecisionRow> {};

TEST_P(DecisionTable, PlaysTheActionOfTheRow) {
    const DecisionRow& row = GetParam();
    startWith(decisionSettings(row.oldMethod, row.numbers), row.version);
    argument = makeArgument(row.arg);
    const int refsBefore = argument ? process->retainCount(argument) : 0;
    const std::size_t objectsBefore = process->liveObjects();

    EXPECT_EQ(callAndSettle(row.hook, argument), expectedOutcome(row.action));

    if (argument != nullptr) {
        EXPECT_EQ(process->retainCount(argument), refsBefore);
        // Only setActiveCall: reads its argument, and once.
        const bool isCall = row.arg == Arg::Connected || row.arg == Arg::NotConnected;
        EXPECT_EQ(isCall ? process->isConnectedQueries(argument) : 0,
                  isCall && row.hook == Hook::SetActiveCall ? 1 : 0);
    }
    EXPECT_EQ(process->liveObjects(), objectsBefore);
}

INSTANTIATE_TEST_SUITE_P(Rows, DecisionTable, ::testing::ValuesIn(kDecisionRows),
                         [](const auto& info) { return rowName(info.param); });

// --- Vibration numbers under each output ---

struct NumberRow {
    bool oldMethod;
    int number;
    // For a slot whose pulse is 111 and pause 50.
    CallOutcome outcome;
};

std::string rowName(const NumberRow& r) {
    const std::string n = r.number < 0 ? "minus" + std::to_string(-r.number)
                                       : std::to_string(r.number);
    return std::string(r.oldMethod ? "classic_" : "pattern_") + n;
}

void PrintTo(const NumberRow& row, std::ostream* out) { *out << rowName(row); }

CallOutcome patterns(std::vector<Pattern> p) {
    CallOutcome o;
    o.patterns = std::move(p);
    return o;
}
CallOutcome pulses(int inCall, int after) {
    CallOutcome o;
    o.pulsesInCall = inCall;
    o.pulsesAfter = after;
    return o;
}

const std::vector<NumberRow> kNumberRows = {
    {false, 0, patterns({{ON, 111}})},
    {false, 1, patterns({{ON, 111, OFF, 50, ON, 111}})},
    {false, 2, patterns({{ON, 111, OFF, 50, ON, 111, OFF, 50, ON, 111}})},
    {false, 3, patterns({rhythmFigure()})},
    {false, 4, {}},
    {false, -1, {}},
    {false, 9, {}},
    {true, 0, pulses(1, 0)},
    {true, 1, pulses(0, 2)},
    {true, 2, pulses(0, 3)},
    {true, 3, {}},
    {true, 4, {}},
    {true, -1, {}},
};

// Each slot reads its own number and length, through every hook that serves it.
struct SlotPath {
    const char* label;
    double version;
    Hook hook;
    Arg arg;
    bool first;
};

THRUMLINE_PRINT_ROW_AS_LABEL(SlotPath)

const std::vector<SlotPath> kSlotPaths = {
    {"iOS11_connected_first", v11, H::SetActiveCall, A::Connected, true},
    {"iOS11_nil_last", v11, H::SetActiveCall, A::Nil, false},
    {"iOS10_connected_first", v10, H::SetActiveCall, A::Connected, true},
    {"iOS10_databaseChanged_last", v10, H::DatabaseChanged, A::PlainObject, false},
};

class VibrationNumbers
    : public CallHookTest,
      public ::testing::WithParamInterface<std::tuple<NumberRow, SlotPath>> {};

TEST_P(VibrationNumbers, PickTheFigureOfTheOutput) {
    const auto& [row, path] = GetParam();
    // The other slot holds values that would show if it were read instead.
    const char* number = path.first ? "firstVibrationNumber" : "lastVibrationNumber";
    const char* length = path.first ? "vibration1" : "vibration2";
    const char* otherNumber = path.first ? "lastVibrationNumber" : "firstVibrationNumber";
    const char* otherLength = path.first ? "vibration2" : "vibration1";
    startWith(enabledSettings({{"oldMethod", B(row.oldMethod)},
                               {"isVibrationsNumber", B(true)},
                               {"VibrationDuration", I(50)},
                               {number, I(row.number)},
                               {length, I(111)},
                               {otherNumber, I(row.number == 1 ? 2 : 1)},
                               {otherLength, I(999)}}),
              path.version);
    argument = makeArgument(path.arg);
    EXPECT_EQ(callAndSettle(path.hook, argument), row.outcome);
}

INSTANTIATE_TEST_SUITE_P(Table, VibrationNumbers,
                         ::testing::Combine(::testing::ValuesIn(kNumberRows),
                                            ::testing::ValuesIn(kSlotPaths)),
                         [](const auto& info) {
                             return rowName(std::get<0>(info.param)) + "_" +
                                    std::get<1>(info.param).label;
                         });

// --- The gate and the host implementation ---

struct HookPath {
    const char* label;
    double version;
    Hook hook;
};

THRUMLINE_PRINT_ROW_AS_LABEL(HookPath)

const std::vector<HookPath> kHookPaths = {
    {"iOS10_databaseChanged", v10, H::DatabaseChanged},
    {"iOS10_setActiveCall", v10, H::SetActiveCall},
    {"iOS11_setActiveCall", v11, H::SetActiveCall},
};

std::string hookPathName(const ::testing::TestParamInfo<HookPath>& info) {
    return info.param.label;
}

struct GateRow {
    const char* label;
    bool isEnabled;
    bool isNotRespringing;
};

THRUMLINE_PRINT_ROW_AS_LABEL(GateRow)

class Gate : public CallHookTest,
             public ::testing::WithParamInterface<std::tuple<HookPath, GateRow, bool>> {};

TEST_P(Gate, ClosedGatePlaysNothingAndNeverAsksTheCall) {
    const auto& [path, gate, classic] = GetParam();
    startWith(enabledSettings({{"isEnabled", B(gate.isEnabled)},
                               {"isNotRespringing", B(gate.isNotRespringing)},
                               {"oldMethod", B(classic)},
                               {"isVibrationsNumber", B(true)},
                               {"firstVibrationNumber", I(1)},
                               {"lastVibrationNumber", I(0)}}),
              path.version);
    argument = process->newCall(true);
    const std::size_t from = mark();
    EXPECT_EQ(callAndSettle(path.hook, argument), CallOutcome{});
    EXPECT_EQ(process->isConnectedQueries(argument), 0);
    EXPECT_EQ(countSince(from, EventKind::StepScheduled), 0u);
    const std::vector<Event> ran = eventsSince(from, EventKind::HostMethodRan);
    ASSERT_EQ(ran.size(), 1u);
    EXPECT_EQ(ran[0].argument, argument);
}

INSTANTIATE_TEST_SUITE_P(Table, Gate,
                         ::testing::Combine(::testing::ValuesIn(kHookPaths),
                                            ::testing::Values(GateRow{"disabled", false, true},
                                                              GateRow{"respringing", true, false},
                                                              GateRow{"both", false, false}),
                                            ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).label) + "_" +
                                    std::get<1>(info.param).label +
                                    (std::get<2>(info.param) ? "_classic" : "_pattern");
                         });

class HostImplementation : public CallHookTest, public ::testing::WithParamInterface<HookPath> {
protected:
    std::string hostMethodName(Hook hook) {
        return hook == Hook::DatabaseChanged ? "CHManager databaseChanged:"
                                             : "SBTelephonyManager setActiveCall:";
    }
    Object receiverOf(Hook hook) {
        return hook == Hook::DatabaseChanged ? process->callHistoryManager()
                                             : process->telephonyManager();
    }
};

TEST_P(HostImplementation, RunsOnceFirstWithTheSameReceiverAndArgument) {
    const HookPath& path = GetParam();
    // Every output method: the host's call always comes before any output.
    for (const bool classic : {false, true}) {
        for (const bool numbers : {false, true}) {
            SCOPED_TRACE(std::string(classic ? "classic" : "pattern") +
                         (numbers ? " numbers" : " single"));
            startWith(enabledSettings({{"oldMethod", B(classic)},
                                       {"isVibrationsNumber", B(numbers)},
                                       {"firstVibrationNumber", I(1)},
                                       {"lastVibrationNumber", I(1)}}),
                      path.version);
            Object call = process->newCall(true);
            const std::size_t from = mark();
            invoke(path.hook, call);
            runUntilIdle();

            const std::vector<Event> ran = eventsSince(from, EventKind::HostMethodRan);
            ASSERT_EQ(ran.size(), 1u);
            EXPECT_EQ(ran[0].name, hostMethodName(path.hook));
            EXPECT_EQ(ran[0].receiver, receiverOf(path.hook));
            EXPECT_EQ(ran[0].argument, call);
            const std::size_t hostAt = indexOf(EventKind::HostMethodRan, from);
            for (EventKind output : {EventKind::Vibrate, EventKind::Sound, EventKind::StepScheduled}) {
                const std::size_t at = indexOf(output, from);
                if (at != std::string::npos) {
                    EXPECT_LT(hostAt, at);
                }
            }
            EXPECT_GT(countSince(from, EventKind::Vibrate) + countSince(from, EventKind::Sound), 0u);
            process->releaseObject(call);
            endProcess();
        }
    }
}

TEST_P(HostImplementation, NilArgumentIsPassedOnAsNil) {
    const HookPath& path = GetParam();
    startWith(enabledSettings(), path.version);
    const std::size_t from = mark();
    invoke(path.hook, nullptr);
    const std::vector<Event> ran = eventsSince(from, EventKind::HostMethodRan);
    ASSERT_EQ(ran.size(), 1u);
    EXPECT_EQ(ran[0].argument, nullptr);
    EXPECT_EQ(ran[0].receiver, receiverOf(path.hook));
}

TEST_P(HostImplementation, FailurePassesThroughWithNothingPlayedAndTheReferenceReleased) {
    const HookPath& path = GetParam();
    startWith(enabledSettings({{"oldMethod", B(true)},
                               {"isVibrationsNumber", B(true)},
                               {"firstVibrationNumber", I(1)},
                               {"lastVibrationNumber", I(1)}}),
              path.version);
    process->setHostBehaviour(selectorOf(path.hook), {/*releaseArgument=*/false,
                                                      /*throwFailure=*/true});
    argument = process->newCall(true);
    const int refsBefore = process->retainCount(argument);
    const std::size_t objectsBefore = process->liveObjects();
    const std::size_t from = mark();

    EXPECT_THROW(invoke(path.hook, argument), sim::HostFailure);
    EXPECT_EQ(process->retainCount(argument), refsBefore);
    EXPECT_EQ(process->liveObjects(), objectsBefore);
    EXPECT_EQ(process->isConnectedQueries(argument), 0);
    EXPECT_EQ(countSince(from, EventKind::HostMethodRan), 1u);
    advance(5 * kSecond);
    EXPECT_EQ(countSince(from, EventKind::Vibrate), 0u);
    EXPECT_EQ(countSince(from, EventKind::Sound), 0u);
    EXPECT_EQ(countSince(from, EventKind::StepScheduled), 0u);
}

TEST_P(HostImplementation, ArgumentOutlivesTheHostsLastReference) {
    const HookPath& path = GetParam();
    startWith(enabledSettings({{"vibration1", I(111)}, {"vibration2", I(222)}}), path.version);
    process->setHostBehaviour(selectorOf(path.hook), {/*releaseArgument=*/true,
                                                      /*throwFailure=*/false});
    // The only reference is the host's; its implementation drops it.
    Object call = process->newCall(true);
    ASSERT_EQ(process->retainCount(call), 1);
    const std::size_t from = mark();
    invoke(path.hook, call);

    EXPECT_EQ(process->faults(), 0);
    EXPECT_FALSE(process->isAlive(call)) << "the replacement kept a reference";
    // isConnected read the live call: connected means the first slot.
    const std::int64_t pulse = path.hook == Hook::DatabaseChanged ? 222 : 111;
    EXPECT_EQ(patternsSince(from), (Patterns{{ON, pulse}}));
}

INSTANTIATE_TEST_SUITE_P(EveryHook, HostImplementation, ::testing::ValuesIn(kHookPaths),
                         hookPathName);

// --- No memory between invocations ---

using CallHooks = CallHookTest;

TEST_F(CallHooks, SameConnectedCallTwiceGivesTwoFirstVibrations) {
    startWith(enabledSettings({{"vibration1", I(111)}}));
    argument = process->newCall(true);
    const std::size_t from = mark();
    process->setActiveCall(argument);
    process->setActiveCall(argument);
    EXPECT_EQ(patternsSince(from), (Patterns{{ON, 111}, {ON, 111}}));
    EXPECT_EQ(process->isConnectedQueries(argument), 2);
}

TEST_F(CallHooks, ConnectedThenEndedOnIOS11GivesFirstThenLast) {
    startWith(enabledSettings({{"vibration1", I(111)}, {"vibration2", I(222)}}));
    argument = process->newCall(true);
    const std::size_t from = mark();
    process->setActiveCall(argument);
    process->setConnected(argument, false);
    process->setActiveCall(argument);
    process->setActiveCall(nullptr);
    EXPECT_EQ(patternsSince(from), (Patterns{{ON, 111}, {ON, 222}, {ON, 222}}));
}

TEST_F(CallHooks, SettingsChangeBetweenInvocationsIsObeyed) {
    startWith(enabledSettings({{"vibration1", I(111)}}));
    argument = process->newCall(true);
    std::size_t from = mark();
    process->setActiveCall(argument);
    EXPECT_EQ(patternsSince(from), (Patterns{{ON, 111}}));

    reload(enabledSettings({{"oldMethod", B(true)}}));
    from = mark();
    process->setActiveCall(argument);
    EXPECT_TRUE(patternsSince(from).empty());
    EXPECT_EQ(classicPulsesSince(from).size(), 1u);

    reload(enabledSettings({{"isEnabled", B(false)}}));
    from = mark();
    process->setActiveCall(argument);
    runUntilIdle();
    EXPECT_EQ(countSince(from, EventKind::Vibrate) + countSince(from, EventKind::Sound), 0u);
}

TEST_F(CallHooks, PatternSinglePulseIgnoresNumbersAndPause) {
    startWith(enabledSettings({{"isVibrationsNumber", B(false)},
                               {"firstVibrationNumber", I(3)},
                               {"lastVibrationNumber", I(-1)},
                               {"VibrationDuration", I(-9)},
                               {"vibration1", I(0)},
                               {"vibration2", I(45)}}));
    argument = process->newCall(true);
    const std::size_t from = mark();
    process->setActiveCall(argument);
    process->setActiveCall(nullptr);
    EXPECT_EQ(patternsSince(from), (Patterns{{ON, 0}, {ON, 45}}));
}

}  // namespace
}  // namespace thrumline::test
