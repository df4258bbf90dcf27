// The call-state reaction: the three replacements' decision tables, their gate,
// and how they treat the host implementation and its argument.
#include "tests/SimFixture.h"

namespace thrumline::test {
namespace {

enum class Hook { DatabaseChanged, SetActiveCall };
enum class Arg { Nil, Connected, NotConnected };
enum class Slot { None, First, Last };

class CallHooks : public SimTest {
protected:
    Object make(Arg arg) {
        return arg == Arg::Nil ? nullptr : process->newCall(arg == Arg::Connected);
    }
    void invoke(Hook hook, Object arg) {
        hook == Hook::DatabaseChanged ? process->databaseChanged(arg) : process->setActiveCall(arg);
    }
    static const char* selector(Hook hook) {
        return hook == Hook::DatabaseChanged ? "databaseChanged:" : "setActiveCall:";
    }
};

// The settings variants each row runs under: the four outputs, then the two
// ways of closing the gate. First slot: number 1, 111 ms; last: number 2, 222 ms.
const std::vector<PlistValue::Entries> kVariants = {
    {{"oldMethod", B(false)}, {"isVibrationsNumber", B(true)}},
    {{"oldMethod", B(false)}, {"isVibrationsNumber", B(false)}},
    {{"oldMethod", B(true)}, {"isVibrationsNumber", B(true)}},
    {{"oldMethod", B(true)}, {"isVibrationsNumber", B(false)}},
    {{"isEnabled", B(false)}, {"oldMethod", B(true)}, {"isVibrationsNumber", B(true)}},
    {{"isNotRespringing", B(false)}, {"isVibrationsNumber", B(true)}},
};
const std::vector<std::string> kFirstSlot = {
    "[1 111 0 50 1 111]", "[1 111]", "C@0 C@100", "C@0", "", ""};
const std::vector<std::string> kLastSlot = {
    "[1 222 0 50 1 222 0 50 1 222]", "[1 222]", "C@0 C@100 C@200", "C@0", "", ""};

struct DecisionRow {
    const char* label;
    double version;
    Hook hook;
    Arg arg;
    Slot slot;
};

void PrintTo(const DecisionRow& row, std::ostream* out) { *out << row.label; }

class DecisionTable : public CallHooks, public ::testing::WithParamInterface<DecisionRow> {};

TEST_P(DecisionTable, HostFirstOnceWithTheSameValuesThenTheRowsOutput) {
    const DecisionRow& row = GetParam();
    start(row.version);
    const Object receiver = row.hook == Hook::DatabaseChanged ? process->callHistoryManager()
                                                              : process->telephonyManager();
    for (std::size_t v = 0; v < kVariants.size(); ++v) {
        SCOPED_TRACE("variant " + std::to_string(v));
        PlistValue settings = enabledSettings({{"firstVibrationNumber", I(1)},
                                               {"lastVibrationNumber", I(2)},
                                               {"vibration1", I(111)},
                                               {"vibration2", I(222)},
                                               {"VibrationDuration", I(50)}});
        for (const auto& [key, value] : kVariants[v]) settings.set(key, value);
        reload(settings);
        const Object arg = make(row.arg);
        const int refs = arg != nullptr ? process->retainCount(arg) : 0;
        const Mark from = mark();
        invoke(row.hook, arg);
        advance(kSecond);

        const std::string expected = row.slot == Slot::First  ? kFirstSlot[v]
                                     : row.slot == Slot::Last ? kLastSlot[v]
                                                              : "";
        EXPECT_EQ(played(from), expected);
        const std::vector<Event> ran = eventsSince(from, EventKind::HostMethodRan);
        ASSERT_EQ(ran.size(), 1u);
        EXPECT_EQ(ran[0].name,
                  (row.hook == Hook::DatabaseChanged ? "CHManager " : "SBTelephonyManager ") +
                      std::string(selector(row.hook)));
        EXPECT_EQ(ran[0].receiver, receiver);
        EXPECT_EQ(ran[0].argument, arg);
        const std::size_t hostAt = indexOf(EventKind::HostMethodRan, from);
        for (EventKind output : {EventKind::Vibrate, EventKind::Sound, EventKind::StepScheduled}) {
            EXPECT_LT(hostAt, indexOf(output, from));
        }
        if (arg != nullptr) {
            EXPECT_EQ(process->retainCount(arg), refs);
            // Only setActiveCall: asks, once and only past the gate.
            const bool asks = row.hook == Hook::SetActiveCall && v < 4;
            EXPECT_EQ(process->isConnectedQueries(arg), asks ? 1 : 0);
            process->releaseObject(arg);
        }
    }
}

constexpr double v10 = kVersion_iOS10;
constexpr double v11 = kVersion_iOS11;

INSTANTIATE_TEST_SUITE_P(
    Rows, DecisionTable,
    ::testing::Values(
        DecisionRow{"iOS10_databaseChanged_nil", v10, Hook::DatabaseChanged, Arg::Nil, Slot::Last},
        DecisionRow{"iOS10_databaseChanged_connected", v10, Hook::DatabaseChanged, Arg::Connected,
                    Slot::Last},
        DecisionRow{"iOS10_setActiveCall_connected", v10, Hook::SetActiveCall, Arg::Connected,
                    Slot::First},
        DecisionRow{"iOS10_setActiveCall_notConnected", v10, Hook::SetActiveCall, Arg::NotConnected,
                    Slot::None},
        DecisionRow{"iOS10_setActiveCall_nil", v10, Hook::SetActiveCall, Arg::Nil, Slot::None},
        DecisionRow{"iOS11_setActiveCall_connected", v11, Hook::SetActiveCall, Arg::Connected,
                    Slot::First},
        DecisionRow{"iOS11_setActiveCall_notConnected", v11, Hook::SetActiveCall, Arg::NotConnected,
                    Slot::Last},
        DecisionRow{"iOS11_setActiveCall_nil", v11, Hook::SetActiveCall, Arg::Nil, Slot::Last}),
    [](const auto& info) { return std::string(info.param.label); });

// Numbers past the two-pulse figures: 0 is one pulse in either output, 3 the
// rhythm in pattern output only, anything else nothing.
TEST_F(CallHooks, VibrationNumbersInEachOutput) {
    struct Row {
        int number;
        const char* pattern;
        const char* classic;
    };
    const std::vector<Row> rows = {
        {0, "[1 111]", "C@0"}, {3, kRhythm, ""}, {4, "", ""}, {-1, "", ""}};
    start();
    const Object call = process->newCall(true);
    for (const Row& row : rows) {
        for (const bool classic : {false, true}) {
            SCOPED_TRACE(std::to_string(row.number) + (classic ? " classic" : " pattern"));
            reload(enabledSettings({{"oldMethod", B(classic)},
                                    {"isVibrationsNumber", B(true)},
                                    {"firstVibrationNumber", I(row.number)},
                                    {"vibration1", I(111)}}));
            const Mark from = mark();
            process->setActiveCall(call);
            advance(kSecond);
            EXPECT_EQ(played(from), classic ? row.classic : row.pattern);
        }
    }
    process->releaseObject(call);
}

class HostImplementation : public CallHooks,
                           public ::testing::WithParamInterface<std::tuple<double, Hook>> {};

TEST_P(HostImplementation, FailurePassesOnAndTheArgumentOutlivesTheHostsLastReference) {
    const auto& [version, hook] = GetParam();
    startWith(enabledSettings({{"vibration1", I(111)}, {"vibration2", I(222)}}), version);
    const Object call = process->newCall(true);

    process->setHostBehaviour(selector(hook), {/*releaseArgument=*/false, /*throwFailure=*/true});
    Mark from = mark();
    EXPECT_THROW(invoke(hook, call), sim::HostFailure);
    advance(kSecond);
    EXPECT_EQ(countSince(from, EventKind::HostMethodRan), 1u);
    EXPECT_EQ(played(from), "");
    EXPECT_EQ(process->retainCount(call), 1);
    EXPECT_EQ(process->isConnectedQueries(call), 0);

    // The test's reference is the only one; the host implementation drops it.
    process->setHostBehaviour(selector(hook), {/*releaseArgument=*/true, /*throwFailure=*/false});
    from = mark();
    invoke(hook, call);
    EXPECT_FALSE(process->isAlive(call)) << "the replacement kept a reference";
    EXPECT_EQ(played(from), hook == Hook::DatabaseChanged ? "[1 222]" : "[1 111]");
}

INSTANTIATE_TEST_SUITE_P(EveryHook, HostImplementation,
                         ::testing::Values(std::make_tuple(v10, Hook::DatabaseChanged),
                                           std::make_tuple(v10, Hook::SetActiveCall),
                                           std::make_tuple(v11, Hook::SetActiveCall)));

}  // namespace
}  // namespace thrumline::test
