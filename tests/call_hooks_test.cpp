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
    void invoke(Hook hook, Object arg) {
        hook == Hook::DatabaseChanged ? process->databaseChanged(arg) : process->setActiveCall(arg);
    }
    static const char* selector(Hook hook) {
        return hook == Hook::DatabaseChanged ? "databaseChanged:" : "setActiveCall:";
    }
};

constexpr double v10 = kVersion_iOS10;
constexpr double v11 = kVersion_iOS11;

// Each row runs under every output and vibration number, then the two ways
// of closing the gate: what the first slot (111 ms) and the last (222 ms)
// play. Numbers 1 and 2 unless a variant says otherwise.
TEST_F(CallHooks, DecisionTablesCallTheHostFirstOnceWithTheSameValues) {
    const std::pair<std::string, PlistValue> classic{"oldMethod", B(true)};
    const std::vector<std::tuple<PlistValue::Entries, std::string, std::string>> variants = {
        {{}, "[1 111 0 50 1 111]", "[1 222 0 50 1 222 0 50 1 222]"},
        {{{"isVibrationsNumber", B(false)}}, "[1 111]", "[1 222]"},
        {{classic}, "C@0 C@100", "C@0 C@100 C@200"},
        {{classic, {"isVibrationsNumber", B(false)}}, "C@0", "C@0"},
        {{{"firstVibrationNumber", I(0)}, {"lastVibrationNumber", I(0)}}, "[1 111]", "[1 222]"},
        {{classic, {"firstVibrationNumber", I(0)}, {"lastVibrationNumber", I(0)}}, "C@0", "C@0"},
        {{{"firstVibrationNumber", I(3)}, {"lastVibrationNumber", I(3)}}, kRhythm, kRhythm},
        {{classic, {"firstVibrationNumber", I(3)}, {"lastVibrationNumber", I(3)}}, "", ""},
        {{{"firstVibrationNumber", I(4)}, {"lastVibrationNumber", I(-1)}}, "", ""},
        {{classic, {"firstVibrationNumber", I(-1)}, {"lastVibrationNumber", I(4)}}, "", ""},
        {{{"isEnabled", B(false)}, classic}, "", ""},
        {{{"isNotRespringing", B(false)}}, "", ""}};
    const std::vector<std::tuple<double, Hook, Arg, Slot>> rows = {
        {v10, Hook::DatabaseChanged, Arg::Nil, Slot::Last},
        {v10, Hook::DatabaseChanged, Arg::Connected, Slot::Last},
        {v10, Hook::SetActiveCall, Arg::Connected, Slot::First},
        {v10, Hook::SetActiveCall, Arg::NotConnected, Slot::None},
        {v10, Hook::SetActiveCall, Arg::Nil, Slot::None},
        {v11, Hook::SetActiveCall, Arg::Connected, Slot::First},
        {v11, Hook::SetActiveCall, Arg::NotConnected, Slot::Last},
        {v11, Hook::SetActiveCall, Arg::Nil, Slot::Last}};
    for (std::size_t r = 0; r < rows.size(); ++r) {
        const auto& [version, hook, argKind, slot] = rows[r];
        start(version);
        const Object receiver = hook == Hook::DatabaseChanged ? process->callHistoryManager()
                                                              : process->telephonyManager();
        for (std::size_t v = 0; v < variants.size(); ++v) {
            SCOPED_TRACE("row " + std::to_string(r) + " variant " + std::to_string(v));
            const auto& [overrides, firstSlot, lastSlot] = variants[v];
            PlistValue settings = enabledSettings({{"isVibrationsNumber", B(true)},
                                                   {"firstVibrationNumber", I(1)},
                                                   {"lastVibrationNumber", I(2)},
                                                   {"vibration1", I(111)},
                                                   {"vibration2", I(222)},
                                                   {"VibrationDuration", I(50)}});
            for (const auto& [key, value] : overrides) settings.set(key, value);
            reload(settings);
            const Object arg =
                argKind == Arg::Nil ? nullptr : process->newCall(argKind == Arg::Connected);
            const int refs = arg != nullptr ? process->retainCount(arg) : 0;
            const Mark from = mark();
            invoke(hook, arg);
            advance(kSecond);

            EXPECT_EQ(played(from), slot == Slot::First  ? firstSlot
                                    : slot == Slot::Last ? lastSlot
                                                         : "");
            const auto ran = since<sim::events::HostMethodRan>(from);
            // The examples' outputs pin the host method's name and that it runs first.
            ASSERT_EQ(ran.size(), 1u);
            EXPECT_EQ(ran[0].receiver, receiver);
            EXPECT_EQ(ran[0].argument, arg);
            if (arg != nullptr) {
                EXPECT_EQ(process->retainCount(arg), refs);
                // Only setActiveCall: asks, once and only past the gate.
                const bool asks = hook == Hook::SetActiveCall && v + 2 < variants.size();
                EXPECT_EQ(process->isConnectedQueries(arg), asks ? 1 : 0);
                process->releaseObject(arg);
            }
        }
        endProcess();
    }
}

TEST_F(CallHooks, FailurePassesOnAndTheArgumentOutlivesTheHostsLastReference) {
    for (const auto& [version, hook] :
         {std::make_pair(v10, Hook::DatabaseChanged), std::make_pair(v10, Hook::SetActiveCall),
          std::make_pair(v11, Hook::SetActiveCall)}) {
        SCOPED_TRACE(std::to_string(version) + " " + selector(hook));
        startWith(enabledSettings({{"vibration1", I(111)}, {"vibration2", I(222)}}), version);
        const Object call = process->newCall(true);

        process->setHostBehaviour(selector(hook),
                                  {/*releaseArgument=*/false, /*throwFailure=*/true});
        Mark from = mark();
        EXPECT_THROW(invoke(hook, call), sim::HostFailure);
        advance(kSecond);
        EXPECT_EQ(countSince(from, EventKind::HostMethodRan), 1u);
        EXPECT_EQ(played(from), "");
        EXPECT_EQ(process->retainCount(call), 1);
        EXPECT_EQ(process->isConnectedQueries(call), 0);

        // The test's reference is the only one; the host implementation drops it.
        process->setHostBehaviour(selector(hook),
                                  {/*releaseArgument=*/true, /*throwFailure=*/false});
        from = mark();
        invoke(hook, call);
        EXPECT_FALSE(process->isAlive(call)) << "the replacement kept a reference";
        EXPECT_EQ(played(from), hook == Hook::DatabaseChanged ? "[1 222]" : "[1 111]");
        endProcess();
    }
}

// Nothing says databaseChanged:'s argument is an object: a message to it
// (here one never made, and one already freed) would crash the home screen.
TEST_F(CallHooks, DatabaseChangedSendsNothingToItsArgument) {
    startWith(enabledSettings({{"vibration2", I(222)}}), v10);
    int notAnObject = 0;
    const Object freed = process->newPlainObject();
    process->releaseObject(freed);
    for (const Object arg : {reinterpret_cast<Object>(&notAnObject), freed}) {
        const Mark from = mark();
        process->databaseChanged(arg);
        EXPECT_EQ(played(from), "[1 222]");
    }
}

}  // namespace
}  // namespace thrumline::test
