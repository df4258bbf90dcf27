// The call moments: their outputs, how the replacements treat the host
// implementation and its argument, and which announcements are moments.
// Which calls the connected moment waits for: examples/outgoing-only.scn.
#include <algorithm>
#include <cctype>
#include <map>
#include <sstream>

#include "tests/SimFixture.h"

namespace thrumline::test {
namespace {

class CallHooks : public SimTest {};

constexpr double v10 = kVersion_iOS10;
constexpr double v11 = kVersion_iOS11;

// Under every output and vibration number, then the two ways of closing the
// gate: what a call's connected moment (111 ms) and its ended one (222 ms)
// play, the host implementation run first, once, with the same values.
TEST_F(CallHooks, EachMomentPlaysItsSlotInEveryOutput) {
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
    for (const double version : {v10, v11}) {
        start(version);
        for (std::size_t v = 0; v < variants.size(); ++v) {
            SCOPED_TRACE(std::to_string(version) + " variant " + std::to_string(v));
            const auto& [overrides, firstSlot, lastSlot] = variants[v];
            PlistValue settings = enabledSettings({{"isVibrationsNumber", B(true)},
                                                   {"firstVibrationNumber", I(1)},
                                                   {"lastVibrationNumber", I(2)},
                                                   {"vibration1", I(111)},
                                                   {"vibration2", I(222)},
                                                   {"VibrationDuration", I(50)}});
            for (const auto& [key, value] : overrides) settings.set(key, value);
            reload(settings);
            const Object call = process->newCall(true);
            Mark from = mark();
            process->setActiveCall(call);
            advance(kSecond);
            EXPECT_EQ(played(from), firstSlot);
            auto ran = since<sim::events::HostMethodRan>(from);
            ASSERT_EQ(ran.size(), 1u);
            EXPECT_EQ(ran[0].receiver, process->telephonyManager());
            EXPECT_EQ(ran[0].argument, call);

            process->setStatus(call, 6);  // hung up; it still answers isConnected YES
            process->releaseObject(call);
            from = mark();
            const Object history = process->newPlainObject();
            version == v10 ? process->databaseChanged(history) : process->setActiveCall(nullptr);
            advance(kSecond);
            EXPECT_EQ(played(from), lastSlot);
            ran = since<sim::events::HostMethodRan>(from);
            ASSERT_EQ(ran.size(), 1u);
            EXPECT_EQ(ran[0].argument, version == v10 ? history : nullptr);
            process->releaseObject(history);
            // Let go once ended and no longer the call announced last.
            if (version == v10) process->setActiveCall(nullptr);
            EXPECT_FALSE(process->isAlive(call));
        }
        endProcess();
    }
}

// Announcements as the home screen makes them, one word each: A+ / A- turn
// call A active / disconnected (a call that has connected still answers
// isConnected YES, as iOS's do) and announce it, A announces it as it is,
// a- hangs it up unannounced, 0 announces nil, H is a change of the call
// history, off / on close and open the gate. Each word shows what it
// played, the main queue run: c the connected moment, e the ended one, .
// nothing.
TEST_F(CallHooks, OnlyNewlyConnectedAndNewlyEndedCallsAreMoments) {
    const std::vector<std::tuple<double, std::string, std::string>> rows = {
        {v11, "A+ A A+", "c . ."},                      // announced again
        {v11, "A+ 0 A a- 0", "c . . . e"},              // hold, resume, hang up
        {v11, "A+ A- 0 A", "c e . ."},                  // an end announced twice
        {v11, "A- 0 A+ a- B-", ". . c . e"},            // never connected; ended, then B
        {v11, "A+ B+ b- A a- 0", "c c . e . e"},        // call waiting: B ends, A again
        {v11, "A+ a- B+", "c . ec"},                    // one ends as another connects
        {v11, "B+ A+ a- b- B 0 A", "c c . . e . ."},    // both ended: one moment
        {v11, "off A+ on 0 A a- 0", ". . . . . . e"},   // remembered behind the gate
        {v11, "A+ off a- 0 on A 0", "c . . . . . ."},   // forgotten behind the gate
        {v11, "A+ B+ C+ D+ E+ C A", "c c c c c . c"},   // a fifth lets the oldest go
        {v10, "H A+ A 0 A a- H H", ". c . . . . e ."},  // the history ends it...
        {v10, "A+ 0 A a- 0 H", "c . . . e ."},          // ...or the next announcement
        {v10, "A+ a- A- H", "c . e ."},                 // the call itself, ended
        {v10, "A+ B+ H b- H a- H", "c c . . e . e"},    // each end once
        {v10, "off A+ on a- H", ". . . . e"},           // remembered behind the gate
    };
    for (const auto& [version, script, expected] : rows) {
        SCOPED_TRACE(script);
        startWith(enabledSettings({{"vibration1", I(111)}, {"vibration2", I(222)}}), version);
        std::map<char, Object> calls;
        std::istringstream words(script);
        std::string shown;
        for (std::string word; words >> word;) {
            const Mark from = mark();
            const char name = static_cast<char>(std::toupper(word[0]));
            if (word == "off" || word == "on") {
                reload(enabledSettings({{"vibration1", I(111)},
                                        {"vibration2", I(222)},
                                        {"isNotRespringing", B(word == "on")}}));
            } else if (word == "0") {
                process->setActiveCall(nullptr);
            } else if (word == "H") {
                process->databaseChanged(nullptr);
            } else {
                Object& call = calls[name];
                if (call == nullptr) call = process->newCall(false);
                if (word.size() > 1 && word[1] == '+') process->setConnected(call, true);
                if (word.size() > 1) process->setStatus(call, word[1] == '+' ? 1 : 6);
                if (std::isupper(word[0])) process->setActiveCall(call);
            }
            advance(0);
            std::string moments = played(from);
            for (const auto& [pattern, moment] : {std::pair{"[1 111]", "c"}, {"[1 222]", "e"}}) {
                for (auto at = moments.find(pattern); at != std::string::npos;
                     at = moments.find(pattern)) {
                    moments.replace(at, std::string(pattern).size(), moment);
                }
            }
            moments.erase(std::remove(moments.begin(), moments.end(), ' '), moments.end());
            shown += (shown.empty() ? "" : " ") + (moments.empty() ? "." : moments);
        }
        EXPECT_EQ(shown, expected);
        for (const auto& [name, call] : calls) process->releaseObject(call);
        endProcess();
    }
}

// A call that connected more than half a millisecond before the library was
// loaded, by the phone's clock in ticks of its timebase, is restored: no
// connected vibration, on either hook group, however long after the load it
// is first announced; its end still vibrates.
TEST_F(CallHooks, ACallThatConnectedBeforeTheLoadIsRestoredInSilence) {
    constexpr std::int64_t kUs = 1000;
    const struct {
        std::int64_t connectedBeforeLoad;  // negative: after the load
        std::uint64_t announcedAfterLoad;
        const char* connected;
    } rows[] = {
        {0, 0, "[1 111]"},                    // connects as the library loads
        {400 * kUs, 0, "[1 111]"},            // within the clocks' half millisecond
        {600 * kUs, 0, ""},                   // restored
        {30 * std::int64_t{kSecond}, 0, ""},  // restored
        {30 * std::int64_t{kSecond}, 100 * kSecond, ""},
        {-50 * std::int64_t{kSecond}, 100 * kSecond, "[1 111]"},  // connected after the load
    };
    for (const double version : {v10, v11}) {
        for (const auto& row : rows) {
            SCOPED_TRACE(std::to_string(version) + " " + std::to_string(row.connectedBeforeLoad) +
                         " " + std::to_string(row.announcedAfterLoad));
            device.mainQueue().runFor(1000 * kSecond);
            const std::uint64_t loaded = device.mainQueue().now();
            startWith(enabledSettings({{"vibration1", I(111)}, {"vibration2", I(222)}}), version);
            advance(row.announcedAfterLoad);
            const Object call = process->newCall(true, 1);
            process->setCallTimes(call, loaded - row.connectedBeforeLoad, std::nullopt);
            Mark from = mark();
            process->setActiveCall(call);
            EXPECT_EQ(played(from), row.connected);
            process->setStatus(call, 6);
            from = mark();
            process->setActiveCall(nullptr);
            EXPECT_EQ(played(from), "[1 222]");
            process->releaseObject(call);
            endProcess();
        }
    }
}

// The replacement holds the call while the host runs: the host may drop
// its own reference, or raise, which passes on with nothing remembered.
TEST_F(CallHooks, FailurePassesOnAndTheCallOutlivesTheHostsLastReference) {
    for (const double version : {v10, v11}) {
        SCOPED_TRACE(version);
        startWith(enabledSettings({{"vibration1", I(111)}, {"vibration2", I(222)}}), version);
        const Object call = process->newCall(true);
        process->setHostBehaviour("setActiveCall:", {/*releaseArgument=*/false,
                                                     /*throwFailure=*/true});
        Mark from = mark();
        EXPECT_THROW(process->setActiveCall(call), sim::HostFailure);
        EXPECT_EQ(played(from), "");
        EXPECT_EQ(process->retainCount(call), 1);

        // The test's reference is the only one; the host implementation drops it.
        process->setHostBehaviour("setActiveCall:", {/*releaseArgument=*/true,
                                                     /*throwFailure=*/false});
        from = mark();
        process->setActiveCall(call);
        EXPECT_EQ(played(from), "[1 111]");
        // Remembered, and the call announced last.
        EXPECT_EQ(process->retainCount(call), 2);
        endProcess();
    }
}

// Nothing says databaseChanged:'s argument is an object: a message to it
// (here one never made, and one already freed) would crash the home screen.
// The call's end still vibrates.
TEST_F(CallHooks, DatabaseChangedSendsNothingToItsArgument) {
    startWith(enabledSettings({{"vibration2", I(222)}}), v10);
    int notAnObject = 0;
    const Object freed = process->newPlainObject();
    process->releaseObject(freed);
    for (const Object arg : {reinterpret_cast<Object>(&notAnObject), freed}) {
        const Object call = process->newCall(true);
        process->setActiveCall(call);
        process->setStatus(call, 6);
        const Mark from = mark();
        process->databaseChanged(arg);
        advance(0);
        EXPECT_EQ(played(from), "[1 222]");
        EXPECT_EQ(process->faults(), 0);
        process->releaseObject(call);
    }
}

}  // namespace
}  // namespace thrumline::test
