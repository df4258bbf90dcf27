// The minute minder: one short pulse at minuteMinderSecond past each minute
// of a connected call, for as long as its step finds the gate open, the
// feature on and the call connected; the reference it holds on the call is
// let go exactly once.
#include <functional>

#include "tests/SimFixture.h"

namespace thrumline::test {
namespace {

constexpr std::uint64_t kMinute = 60 * kSecond;

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
};

PlistValue minderSettings(const PlistValue::Entries& overrides = {}) {
    PlistValue settings = enabledSettings({{"minuteMinder", B(true)}});
    for (const auto& [key, value] : overrides) settings.set(key, value);
    return settings;
}

// A call of an hour: 60 pulses, then the one step pending finds the call
// ended, plays nothing and lets the call go. Whatever the vibration numbers
// say, the pulse is 50 ms in pattern output and sound 1352 in classic.
TEST_F(MinuteMinder, AnHourLongCallIsSixtyPulsesInEachOutput) {
    const std::vector<std::tuple<double, PlistValue::Entries, const char*, const char*>> rows = {
        {kVersion_iOS11, {}, "0v", "m"},
        {kVersion_iOS10, {}, "0v", "m"},
        {kVersion_iOS11, {{"oldMethod", B(true)}}, "0C", "C"},
        {kVersion_iOS11,
         {{"isVibrationsNumber", B(true)}, {"firstVibrationNumber", I(3)}},
         "0v",
         "m"},
        {kVersion_iOS11,
         {{"oldMethod", B(true)}, {"isVibrationsNumber", B(true)}, {"firstVibrationNumber", I(-1)}},
         "",
         "C"},
        // The minder follows an incoming call whose vibration waits for an outgoing one.
        {kVersion_iOS11, {{"connectOutgoingOnly", B(true)}}, "", "m"},
    };
    for (const auto& [version, overrides, connected, pulse] : rows) {
        SCOPED_TRACE(testing::Message() << version << " " << minderSettings(overrides).describe());
        startWith(minderSettings(overrides), version);
        const Mark from = mark();
        const Object call = connect();
        EXPECT_EQ(process->retainCount(call), 2);
        advance(60 * kMinute);
        const std::string head = connected[0] ? std::string(connected) + " " : "";
        EXPECT_EQ(timeline(from), head + everyMinute(50, 60, pulse));
        EXPECT_EQ(countSince(from, EventKind::StepScheduled), 61u);
        EXPECT_EQ(device.mainQueue().pending(), 1u);

        process->setConnected(call, false);
        advance(kMinute);
        EXPECT_EQ(countSince(from, EventKind::StepScheduled), 61u);
        EXPECT_EQ(device.mainQueue().pending(), 0u);
        EXPECT_EQ(process->retainCount(call), 1);
        EXPECT_EQ(process->isConnectedQueries(call), 1 + 61);
        process->releaseObject(call);
        EXPECT_FALSE(process->isAlive(call));
        endProcess();
    }
}

// Whatever stops it, the step due next plays nothing, lets the call go once
// and schedules nothing more; the call stays held until that step.
TEST_F(MinuteMinder, StopsAtTheNextStepAndLetsTheCallGoOnce) {
    struct Row {
        const char* what;
        std::function<void(Object)> stop;
        const char* atStop;  // what the stop itself plays
        bool goesOn;
    };
    const auto reloadWith = [this](PlistValue settings) {
        return [this, settings](Object) { reload(settings); };
    };
    const std::vector<Row> rows = {
        {"minder off", reloadWith(minderSettings({{"minuteMinder", B(false)}})), "", false},
        {"minder key gone", reloadWith(enabledSettings()), "", false},
        {"feature off", reloadWith(minderSettings({{"isEnabled", B(false)}})), "", false},
        {"respringing", reloadWith(minderSettings({{"isNotRespringing", B(false)}})), "", false},
        {"call ended", [this](Object call) { process->setConnected(call, false); }, "", false},
        {"call ended and announced",
         [this](Object call) {
             process->setConnected(call, false);
             process->setActiveCall(call);
         },
         " 120v", false},
        {"off and on again before the step",
         [this](Object) {
             reload(minderSettings({{"minuteMinder", B(false)}}));
             reload(minderSettings());
         },
         "", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        startWith(minderSettings());
        const Mark from = mark();
        const Object call = connect();
        advance(2 * kMinute);
        row.stop(call);
        advance(50 * kSecond - 1);
        EXPECT_EQ(process->retainCount(call), 2) << "let go before its step ran";
        advance(10 * kMinute);
        EXPECT_EQ(timeline(from), "0v " + everyMinute(50, 2) + row.atStop +
                                      (row.goesOn ? " " + everyMinute(170, 10) : ""));
        if (!row.goesOn) {
            EXPECT_EQ(device.mainQueue().pending(), 0u);
            EXPECT_EQ(process->retainCount(call), 1);
            // Turned on again, it waits for the next connected call.
            reload(minderSettings());
            process->setConnected(call, true);
            advance(5 * kMinute);
            EXPECT_EQ(device.mainQueue().pending(), 0u);
        }
        process->releaseObject(call);
        EXPECT_EQ(process->isAlive(call), row.goesOn);
        endProcess();
    }
}

// A newer call replaces the followed one at once (its reference let go
// then); the old minder's pending step, due before or after the new one's
// first, plays nothing and touches neither call.
TEST_F(MinuteMinder, NewerCallReplacesTheOldWhicheverStepComesFirst) {
    const std::vector<std::tuple<int, int, std::string, int>> rows = {
        // second, when the newer call connects (s), the pulses, the older
        // call's isConnected answers (at its connect and at its own steps)
        {50, 30, "0v 30v 80m 140m 200m 260m", 1},
        {10, 5, "0v 5v 15m 75m 135m 195m 255m", 1},
        {50, 59, "0v 50m 59v 109m 169m 229m 289m", 2},
    };
    for (const auto& [second, newerAt, expected, olderQueries] : rows) {
        SCOPED_TRACE(newerAt);
        startWith(minderSettings({{"minuteMinderSecond", I(second)}}));
        const Mark from = mark();
        const Object older = connect();
        advance(newerAt * kSecond);
        const Object newer = connect();
        EXPECT_EQ(process->retainCount(older), 1);
        EXPECT_EQ(process->retainCount(newer), 2);
        // The followed call announced again keeps its minder and its timing.
        advance(70 * kSecond);
        process->setActiveCall(newer);
        advance(5 * kMinute - (newerAt + 70) * kSecond - 1);
        std::string shown = timeline(from);
        const std::string again = std::to_string(newerAt + 70) + "v ";
        const auto at = shown.find(again);
        ASSERT_NE(at, std::string::npos) << shown;
        EXPECT_EQ(shown.erase(at, again.size()), expected);
        EXPECT_EQ(process->isConnectedQueries(older), olderQueries);

        process->setConnected(newer, false);
        advance(kMinute);
        EXPECT_EQ(device.mainQueue().pending(), 0u);
        EXPECT_EQ(process->retainCount(newer), 1);
        process->releaseObject(older);
        process->releaseObject(newer);
        EXPECT_FALSE(process->isAlive(older) || process->isAlive(newer));
        endProcess();
    }
}

// Calls replacing one another faster than the old steps run out: still one
// pulse a minute, for the newest call only, and every call let go once.
TEST_F(MinuteMinder, ManyReplacementsWithinAMinuteKeepOnePulseAMinute) {
    startWith(minderSettings());
    std::vector<Object> calls;
    for (int i = 0; i < 12; ++i) {
        calls.push_back(connect());
        advance(4 * kSecond);
    }
    const Mark from = mark();
    advance(5 * kMinute);
    const std::vector<Event> pulses = eventsSince(from, EventKind::Vibrate);
    ASSERT_EQ(pulses.size(), 5u) << timeline(from);
    for (std::size_t i = 1; i < pulses.size(); ++i) {
        EXPECT_EQ(pulses[i].t_ns - pulses[i - 1].t_ns, kMinute);
    }
    for (std::size_t i = 0; i + 1 < calls.size(); ++i) {
        EXPECT_EQ(process->retainCount(calls[i]), 1) << i;
        EXPECT_EQ(process->isConnectedQueries(calls[i]), 1) << i;
    }
    process->setConnected(calls.back(), false);
    advance(kMinute);
    EXPECT_EQ(device.mainQueue().pending(), 0u);
    for (const Object call : calls) {
        process->releaseObject(call);
        EXPECT_FALSE(process->isAlive(call));
    }
}

// The second is read when each step is timed: a reload moves the minutes
// after the step already pending. Values outside 1..59 read as 50.
TEST_F(MinuteMinder, ReloadedSecondMovesTheMinutesToCome) {
    startWith(minderSettings());
    const Mark from = mark();
    const Object call = connect();
    advance(70 * kSecond);
    reload(minderSettings({{"minuteMinderSecond", I(10)}}));
    advance(70 * kSecond);
    reload(minderSettings({{"minuteMinderSecond", I(59)}}));
    advance(3 * kMinute);
    EXPECT_EQ(timeline(from), "0v 50m 110m 130m 190m 299m");
    process->setConnected(call, false);
    advance(kMinute);
    EXPECT_EQ(process->retainCount(call), 1);
    process->releaseObject(call);
    endProcess();

    const std::vector<std::pair<PlistValue, int>> seconds = {
        {PlistValue(), 50}, {I(1), 1},   {I(59), 59},    {I(0), 50},
        {I(60), 50},        {I(-5), 50}, {S("30s"), 30}, {I(INT32_MIN), 50},
    };
    for (const auto& [value, first] : seconds) {
        SCOPED_TRACE(value.describe());
        PlistValue settings = minderSettings();
        if (!value.isNone()) settings.set("minuteMinderSecond", value);
        startWith(settings);
        const Mark start = mark();
        const Object c = connect();
        advance(2 * kMinute);
        EXPECT_EQ(timeline(start), "0v " + everyMinute(first, 2));
        process->setConnected(c, false);
        advance(kMinute);
        process->releaseObject(c);
        endProcess();
    }
}

// Nothing starts a minder but a connected call past the gate with the
// feature on; turning the feature on later does not start one either.
TEST_F(MinuteMinder, StartsOnlyForAConnectedCallWithTheFeatureOnAndTheGateOpen) {
    const std::vector<std::tuple<double, PlistValue, bool>> rows = {
        {kVersion_iOS11, enabledSettings(), true},
        {kVersion_iOS11, minderSettings({{"minuteMinder", B(false)}}), true},
        {kVersion_iOS11, minderSettings({{"isEnabled", B(false)}}), true},
        {kVersion_iOS11, minderSettings({{"isNotRespringing", B(false)}}), true},
        {kVersion_iOS11, minderSettings(), false},
        {kVersion_iOS10, minderSettings(), false},
    };
    for (const auto& [version, settings, connected] : rows) {
        SCOPED_TRACE(testing::Message() << version << " " << settings.describe());
        startWith(settings, version);
        const Object call = process->newCall(connected);
        const Mark from = mark();
        process->setActiveCall(call);
        process->databaseChanged(nullptr);
        process->setConnected(call, true);
        reload(minderSettings());
        advance(5 * kMinute);
        EXPECT_EQ(countSince(from, EventKind::StepScheduled), 0u);
        EXPECT_EQ(timeline(from).find('m'), std::string::npos) << timeline(from);
        EXPECT_EQ(process->retainCount(call), 1);
        process->releaseObject(call);
        endProcess();
    }
}

// The process ends with a step pending: the step goes with the queue, the
// unloading library lets the call go once, and a new process plays nothing.
TEST_F(MinuteMinder, EndsWithTheProcess) {
    startWith(minderSettings());
    const Object call = connect();
    advance(70 * kSecond);
    EXPECT_EQ(process->retainCount(call), 2);
    endProcess();
    const auto ended = since<sim::events::ProcessEnded>(Mark{0, 0});
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(ended[0].droppedItems, 1u);

    start();
    const Mark from = mark();
    advance(10 * kMinute);
    EXPECT_EQ(timeline(from), "");
    EXPECT_EQ(countSince(from, EventKind::StepScheduled), 0u);
}

}  // namespace
}  // namespace thrumline::test
