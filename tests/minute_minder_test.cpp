// The minute minder: one short pulse at minuteMinderSecond past each minute
// of a connected call, for as long as its step finds the gate open, the
// feature on and the call connected; the reference it holds on the call is
// let go exactly once. A reloaded second and a process ending mid-call:
// examples/minute-minder.scn and minute-minder-calls.scn.
#include <functional>

#include "tests/SimFixture.h"

namespace thrumline::test {
namespace {

constexpr std::uint64_t kMinute = 60 * kSecond;
// The library's own references on a connected call it announced last: its
// memory's and the announced call's.
constexpr int kLibraryHolds = 2;

class MinuteMinder : public SimTest {
protected:
    // Each vibration and classic pulse since `from`, as its second on the
    // clock since `from` and what it was: "m" the minder's 50 ms pulse, "C" a
    // classic pulse, "v" any other pattern.
    std::string timeline(const Mark& from) const {
        std::string text;
        const auto& events = device.events();
        for (std::size_t i = from.index; i < events.size(); ++i) {
            const Event& e = events[i];
            const auto* vibrate = e.get<sim::events::Vibrate>();
            if (vibrate == nullptr && e.kind() != EventKind::Sound) continue;
            const PlistValue* steps =
                vibrate != nullptr ? vibrate->request.find("VibePattern") : nullptr;
            const bool minder = steps != nullptr && *steps == PlistValue::array({B(true), I(50)});
            text += (text.empty() ? "" : " ") + std::to_string((e.t_ns - from.t) / kSecond) +
                    (vibrate == nullptr ? "C"
                     : minder           ? "m"
                                        : "v");
        }
        return text;
    }
    // Pulses at `first` and every 60 s after, `count` of them, marked `what`.
    static std::string everyMinute(int first, int count, const char* what = "m") {
        std::string text;
        for (int i = 0; i < count; ++i) {
            text += (i ? " " : "") + std::to_string(first + 60 * i) + what;
        }
        return text;
    }
    // A new connected call announced by the host; the test owns one reference.
    Object connect() {
        const Object call = process->newCall(true);
        process->setActiveCall(call);
        return call;
    }
    // Ends the followed call: its next step lets it go, leaving nothing
    // pending; the library lets it go once its end is announced, and the
    // test's release is the last.
    void endCall(Object call) {
        process->setConnected(call, false);
        advance(kMinute);
        EXPECT_EQ(device.mainQueue().pending(), 0u);
        EXPECT_EQ(process->retainCount(call), 1 + kLibraryHolds);
        process->setActiveCall(nullptr);
        EXPECT_EQ(process->retainCount(call), 1);
        process->releaseObject(call);
        EXPECT_FALSE(process->isAlive(call));
    }
};

PlistValue minderSettings(const PlistValue::Entries& overrides = {}) {
    PlistValue settings = enabledSettings({{"minuteMinder", B(true)}});
    for (const auto& [key, value] : overrides) settings.set(key, value);
    return settings;
}

// A call of an hour: 60 pulses at minuteMinderSecond (outside 1..59: 50),
// then the one step pending finds the call ended, plays nothing and lets the
// call go. The pulse is 50 ms in pattern output and sound 1352 in classic;
// the minder follows an incoming call whose vibration waits for an outgoing one.
TEST_F(MinuteMinder, AnHourLongCallIsSixtyPulsesInEachOutput) {
    const std::vector<std::tuple<PlistValue::Entries, std::string, const char*, int>> rows = {
        {{}, "0v ", "m", 50},
        {{{"oldMethod", B(true)}, {"minuteMinderSecond", I(1)}}, "0C ", "C", 1},
        {{{"connectOutgoingOnly", B(true)}, {"minuteMinderSecond", I(59)}}, "", "m", 59},
        {{{"minuteMinderSecond", I(0)}}, "0v ", "m", 50},
        {{{"minuteMinderSecond", I(60)}}, "0v ", "m", 50},
        {{{"minuteMinderSecond", I(-5)}}, "0v ", "m", 50},
        {{{"minuteMinderSecond", S("30s")}}, "0v ", "m", 30},
    };
    for (const auto& [overrides, connected, pulse, second] : rows) {
        SCOPED_TRACE(minderSettings(overrides).describe());
        startWith(minderSettings(overrides));
        const Mark from = mark();
        const Object call = connect();
        EXPECT_EQ(process->retainCount(call), 2 + kLibraryHolds);
        advance(60 * kMinute);
        EXPECT_EQ(timeline(from), connected + everyMinute(second, 60, pulse));
        EXPECT_EQ(device.mainQueue().pending(), 1u);
        endCall(call);
        EXPECT_EQ(countSince(from, EventKind::StepScheduled), 61u);
        EXPECT_EQ(process->isConnectedQueries(call), 1 + 61 + 1);  // and its end
        endProcess();
    }
}

// Whatever stops it, the step due next plays nothing, lets the call go once
// and schedules nothing more; the call stays held until that step.
TEST_F(MinuteMinder, StopsAtTheNextStepAndLetsTheCallGoOnce) {
    const std::vector<std::pair<const char*, std::function<void(Object)>>> rows = {
        {"minder off",
         [this](Object) {
             reload(minderSettings({{"minuteMinder", B(false)}}));
         }},
        {"respringing",
         [this](Object) {
             reload(minderSettings({{"isNotRespringing", B(false)}}));
         }},
        {"call ended", [this](Object call) { process->setConnected(call, false); }},
    };
    for (const auto& [what, stop] : rows) {
        SCOPED_TRACE(what);
        startWith(minderSettings());
        const Mark from = mark();
        const Object call = connect();
        advance(2 * kMinute);
        stop(call);
        advance(50 * kSecond - 1);
        EXPECT_EQ(process->retainCount(call), 2 + kLibraryHolds) << "let go before its step ran";
        advance(10 * kMinute);
        EXPECT_EQ(timeline(from), "0v " + everyMinute(50, 2));
        EXPECT_EQ(device.mainQueue().pending(), 0u);
        EXPECT_EQ(process->retainCount(call), 1 + kLibraryHolds);
        process->setConnected(call, false);
        process->setActiveCall(nullptr);
        process->releaseObject(call);
        EXPECT_FALSE(process->isAlive(call));
        endProcess();
    }
}

// A newer call replaces the followed one at once (its reference let go
// then); the old minder's pending step, due before or after the new one's
// first, plays nothing and touches neither call. The followed call
// announced again keeps its minder and its timing.
TEST_F(MinuteMinder, NewerCallReplacesTheOldWhicheverStepComesFirst) {
    const std::vector<std::tuple<int, std::string, int>> rows = {
        // when the newer call connects (s), the pulses, the older call's
        // isConnected answers (at its connect, at its own steps and when the
        // newer one replaced it)
        {30, "0v 30v 80m 140m 200m 260m", 2},
        {59, "0v 50m 59v 109m 169m 229m 289m", 3},
    };
    for (const auto& [newerAt, expected, olderQueries] : rows) {
        SCOPED_TRACE(newerAt);
        startWith(minderSettings());
        const Mark from = mark();
        const Object older = connect();
        advance(newerAt * kSecond);
        const Object newer = connect();
        EXPECT_EQ(process->retainCount(older), 2);  // the test's and the memory's
        EXPECT_EQ(process->retainCount(newer), 2 + kLibraryHolds);
        advance(70 * kSecond);
        process->setActiveCall(newer);
        advance(5 * kMinute - (newerAt + 70) * kSecond - 1);
        EXPECT_EQ(timeline(from), expected);
        EXPECT_EQ(process->isConnectedQueries(older), olderQueries);
        endCall(newer);
        process->setConnected(older, false);
        process->setActiveCall(older);
        process->setActiveCall(nullptr);
        process->releaseObject(older);
        EXPECT_FALSE(process->isAlive(older));
        endProcess();
    }
}

// Calls replacing one another faster than the old steps run out: still one
// pulse a minute, for the newest call only, and every call let go once but
// the four the library remembers.
TEST_F(MinuteMinder, ManyReplacementsWithinAMinuteKeepOnePulseAMinute) {
    startWith(minderSettings());
    std::vector<Object> calls;
    for (int i = 0; i < 12; ++i) {
        calls.push_back(connect());
        advance(4 * kSecond);
    }
    const Mark from = mark();
    advance(5 * kMinute);
    EXPECT_EQ(timeline(from), everyMinute(30, 5));
    for (std::size_t i = 0; i + 1 < calls.size(); ++i) {
        const bool remembered = i + 4 >= calls.size();
        EXPECT_EQ(process->retainCount(calls[i]), remembered ? 2 : 1) << i;
        EXPECT_EQ(process->isConnectedQueries(calls[i]), 2) << i;  // and as the one before
        process->releaseObject(calls[i]);
        EXPECT_EQ(process->isAlive(calls[i]), remembered);
    }
    endCall(calls.back());
}

// Nothing starts a minder but a connected call past the gate with the
// feature on; turning the feature on later does not start one either.
TEST_F(MinuteMinder, StartsOnlyForAConnectedCallWithTheFeatureOnAndTheGateOpen) {
    const std::vector<std::pair<PlistValue, bool>> rows = {
        {minderSettings({{"minuteMinder", B(false)}}), true},
        {minderSettings(), false},
    };
    for (const auto& [settings, connected] : rows) {
        SCOPED_TRACE(settings.describe());
        startWith(settings);
        const Object call = process->newCall(connected);
        const Mark from = mark();
        process->setActiveCall(call);
        process->setConnected(call, true);
        reload(minderSettings());
        advance(5 * kMinute);
        EXPECT_EQ(countSince(from, EventKind::StepScheduled), 0u);
        // The test's and the library's memory's only.
        EXPECT_EQ(process->retainCount(call), connected ? 1 + kLibraryHolds : 2);
        process->releaseObject(call);
        endProcess();
    }
}

}  // namespace
}  // namespace thrumline::test
