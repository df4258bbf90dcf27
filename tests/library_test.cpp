// The library's behaviour where a scenario cannot reach it or show all of
// it: which announcements are call moments, in a table of short sequences
// (the examples play them out: telephony-*.scn, call-*.scn, tweak-off.scn);
// a host's launch work that raises (setActiveCall: raising or dropping its
// reference: the GNUstep proof's ProofCallEvents); an argument that is no
// object; an absent host class; settings values of the types that answer
// neither boolValue nor intValue (missing keys, unusable files and the
// conversions of the others: settings-missing-keys.scn,
// hand-edited-numbers.scn, simulator/home-screen/tests/value_conversion_test.cpp).
#include <algorithm>
#include <cctype>
#include <map>
#include <sstream>

#include "simulator/home-screen/PropertyList.h"
#include "tests/SimFixture.h"

namespace thrumline::test {
namespace {

using CallHooks = SimTest;
using StartUp = SimTest;
using Settings = SimTest;
using RespringGuard = SimTest;

constexpr double v10 = kVersion_iOS10;
constexpr double v11 = kVersion_iOS11;

// Announcements as the home screen makes them, one word each: A+ / A- turn
// call A active / disconnected (a call that has connected still answers
// isConnected YES, as iOS's do) and announce it, A announces it as it is,
// a- hangs it up unannounced, 0 announces nil, H is a change of the call
// history, off / on close and open the gate. Each word shows what it
// played, the main queue run: c the connected moment, e the ended one, .
// nothing. Announcing again, hold and resume, call waiting, a call
// remembered behind the gate and the four calls remembered at most:
// examples/telephony-*.scn, tweak-off.scn, minute-minder-starts-and-stops.scn.
TEST_F(CallHooks, OnlyNewlyConnectedAndNewlyEndedCallsAreMoments) {
    const std::vector<std::tuple<double, std::string, std::string>> rows = {
        {v11, "A+ A- 0 A", "c e . ."},                  // an end announced twice
        {v11, "A- 0 A+ a- B-", ". . c . e"},            // never connected; ended, then B
        {v11, "A+ a- B+", "c . ec"},                    // one ends as another connects
        {v11, "B+ A+ a- b- B 0 A", "c c . . e . ."},    // both ended: one moment
        {v11, "A+ off a- 0 on A 0", "c . . . . . ."},   // forgotten behind the gate
        {v10, "H A+ A 0 A a- H H", ". c . . . . e ."},  // the history ends it
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
            for (const auto& [pattern, moment] :
                 {std::pair{"(true, 111)", "c"}, {"(true, 222)", "e"}}) {
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
        EXPECT_EQ(played(from), "(true, 222)");
        EXPECT_EQ(process->faults(), 0);
        process->releaseObject(call);
    }
}

// The iOS 10 group without CHManager: its other hook still goes in; the
// first settings load runs inside an autorelease scope.
TEST_F(StartUp, AnAbsentClassSkipsOnlyItsOwnHook) {
    const Mark from = mark();
    start(kVersion_iOS10, {"CHManager"});
    std::string trace;
    for (std::size_t i = from.index; i < device.events().size(); ++i) {
        const Event& e = device.events()[i];
        if (const auto* h = e.get<sim::events::HookInstalled>()) {
            trace += "hook " + h->className + " " + h->selector + ", ";
        }
        if (const auto* h = e.get<sim::events::HookSkipped>()) {
            trace += "skip " + h->className + " " + h->selector + ", ";
        }
        if (e.kind() == EventKind::AutoreleasePush) trace += "push, ";
        if (e.kind() == EventKind::SettingsRead) trace += "load, ";
        if (e.kind() == EventKind::AutoreleasePop) trace += "pop";
    }
    EXPECT_EQ(
        trace,
        "skip (null) databaseChanged:, hook SBTelephonyManager setActiveCall:, push, load, pop");
}

// Asking such a value would be an unrecognized selector, a fault: under a
// boolean key (isEnabled) the call stays silent, under an integer key
// (VibrationDuration) vib3Preview pauses 200 ms; XML and binary files.
TEST_F(Settings, ValuesThatAnswerNeitherConversionCountAsMissing) {
    start();
    for (const PlistValue& value :
         {PlistValue::data("1"), PlistValue::date(1000.0), PlistValue::dictionary({{"a", I(5)}})}) {
        for (const bool binary : {false, true}) {
            SCOPED_TRACE(value.describe() + (binary ? " binary" : " XML"));
            const PlistValue file =
                enabledSettings({{"isEnabled", value}, {"VibrationDuration", value}});
            device.paneWriteSettingsBytes(binary ? sim::toBinaryPlist(file)
                                                 : sim::toXmlPlist(file));
            post(kPrefsChanged);
            const Object call = process->newCall(true);
            const Mark from = mark();
            process->setActiveCall(call);
            post(kVib3Preview);
            EXPECT_EQ(played(from), "(true, 300, false, 200, true, 300)");
            process->releaseObject(call);
        }
    }
}

// The host's launch work raises: the first write has happened, the failure
// passes on, and no quiet period is scheduled.
TEST_F(RespringGuard, FailingHostLaunchPassesOnAfterTheFirstWrite) {
    startWith(enabledSettings());
    process->setHostBehaviour("applicationDidFinishLaunching:",
                              {/*releaseArgument=*/false, /*throwFailure=*/true});
    const int refs = process->retainCount(process->application());
    const Mark from = mark();
    EXPECT_THROW(process->applicationDidFinishLaunching(process->application()), sim::HostFailure);
    EXPECT_EQ(process->retainCount(process->application()), refs);
    EXPECT_EQ(countSince(from, EventKind::HostMethodRan), 1u);
    EXPECT_EQ(countSince(from, EventKind::StepScheduled), 0u);
    EXPECT_EQ(device.readSettingsFile(), enabledSettings({{"isNotRespringing", B(false)}}));
}

}  // namespace
}  // namespace thrumline::test
