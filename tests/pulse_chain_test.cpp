// Classic pulse chains: when their pulses come on the virtual clock, and what
// a reload or a second chain does to a chain that is running.
#include "tests/SimFixture.h"

#include <climits>
#include <string>
#include <vector>

namespace thrumline::test {
namespace {

// Classic output with vibration numbers: the first slot (a connected call)
// and the last slot (nil) on iOS 11.
PlistValue chainSettings(int first, int last, std::int64_t duration) {
    return enabledSettings({{"oldMethod", B(true)},
                            {"isVibrationsNumber", B(true)},
                            {"firstVibrationNumber", I(first)},
                            {"lastVibrationNumber", I(last)},
                            {"VibrationDuration", I(duration)}});
}

class PulseChainTest : public SimTest {
protected:
    Object call = nullptr;

    void connect() {
        if (call == nullptr) call = process->newCall(true);
        process->setActiveCall(call);
    }

    // Pulse times relative to `origin`, in ms.
    std::vector<std::uint64_t> pulsesMsSince(std::size_t from, std::uint64_t origin) const {
        std::vector<std::uint64_t> ms;
        for (std::uint64_t t : classicPulsesSince(from)) ms.push_back((t - origin) / kMs);
        return ms;
    }

    void TearDown() override {
        if (call != nullptr && process) process->releaseObject(call);
        SimTest::TearDown();
    }
};

struct TimingRow {
    const char* label;
    int number;
    std::int64_t duration;
    std::vector<std::uint64_t> pulsesMs;  // after t0, the moment the queue runs
};

THRUMLINE_PRINT_ROW_AS_LABEL(TimingRow)

class ChainTiming : public PulseChainTest, public ::testing::WithParamInterface<TimingRow> {};

TEST_P(ChainTiming, PulsesComeAtTheirGaps) {
    const TimingRow& row = GetParam();
    startWith(chainSettings(row.number, 0, row.duration));
    const std::uint64_t t0 = now();
    const std::size_t from = mark();
    connect();

    // Nothing inside the hooked call; one step queued, due at once.
    EXPECT_TRUE(classicPulsesSince(from).empty());
    const std::vector<Event> scheduled = eventsSince(from, EventKind::StepScheduled);
    ASSERT_EQ(scheduled.size(), 1u);
    EXPECT_EQ(scheduled[0].detail, std::to_string(t0));
    EXPECT_EQ(process->queue().pending(), 1u);

    runUntilIdle();
    ASSERT_FALSE(classicPulsesSince(from).empty());
    EXPECT_EQ(classicPulsesSince(from).front(), t0);

    // Run well past the last pulse; a chain never plays more than its own.
    const std::uint64_t last = row.pulsesMs.back() * kMs;
    advance(last + 10 * kSecond);
    EXPECT_EQ(pulsesMsSince(from, t0), row.pulsesMs);
    EXPECT_EQ(process->queue().pending(), 0u);
    EXPECT_EQ(countSince(from, EventKind::Vibrate), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ChainTiming,
    ::testing::Values(TimingRow{"two_pulses", 1, 200, {0, 400}},
                      TimingRow{"three_pulses", 2, 200, {0, 400, 800}},
                      TimingRow{"one_ms", 2, 1, {0, 2, 4}},
                      TimingRow{"zero_gap", 2, 0, {0, 0, 0}},
                      TimingRow{"negative_gap", 2, -5, {0, 0, 0}},
                      TimingRow{"most_negative", 1, INT32_MIN, {0, 0}},
                      TimingRow{"largest", 2, INT32_MAX, {0, 4294967294ULL, 8589934588ULL}}),
    [](const auto& info) { return std::string(info.param.label); });

using PulseChains = PulseChainTest;

TEST_F(PulseChains, GapsAreScheduledFromTheStepThatRuns) {
    startWith(chainSettings(2, 0, 200));
    const std::uint64_t t0 = now();
    const std::size_t from = mark();
    connect();
    advance(2 * kSecond);
    std::vector<std::string> due;
    for (const Event& e : eventsSince(from, EventKind::StepScheduled)) due.push_back(e.detail);
    EXPECT_EQ(due, (std::vector<std::string>{std::to_string(t0), std::to_string(t0 + 400 * kMs),
                                             std::to_string(t0 + 800 * kMs)}));
}

TEST_F(PulseChains, AReloadBetweenPulsesChangesOnlyTheGapsToCome) {
    startWith(chainSettings(2, 0, 200));
    const std::uint64_t t0 = now();
    const std::size_t from = mark();
    connect();
    runUntilIdle();  // first pulse; the second is already due at 400 ms
    reload(chainSettings(2, 0, 5));
    advance(2 * kSecond);
    EXPECT_EQ(pulsesMsSince(from, t0), (std::vector<std::uint64_t>{0, 400, 410}));
}

TEST_F(PulseChains, NothingStopsARunningChain) {
    struct Change {
        const char* label;
        PlistValue::Entries keys;
    };
    const std::vector<Change> changes = {
        {"disabled", {{"isEnabled", B(false)}}},
        {"respringing", {{"isNotRespringing", B(false)}}},
        {"pattern output", {{"oldMethod", B(false)}}},
        {"numbers off", {{"isVibrationsNumber", B(false)}}},
        {"number now 4", {{"firstVibrationNumber", I(4)}}},
    };
    for (const Change& change : changes) {
        SCOPED_TRACE(change.label);
        startWith(chainSettings(2, 0, 200));
        const std::uint64_t t0 = now();
        const std::size_t from = mark();
        connect();
        runUntilIdle();
        reload(withKeys(chainSettings(2, 0, 200), change.keys));
        // The call ends too: on iOS 11 that would be a last-slot event.
        process->setConnected(call, false);
        advance(2 * kSecond);
        EXPECT_EQ(pulsesMsSince(from, t0), (std::vector<std::uint64_t>{0, 400, 800}));
        process->releaseObject(call);
        call = nullptr;
        endProcess();
    }
}

TEST_F(PulseChains, TwoChainsInterleaveAndNoneIsLost) {
    // A call connects (three pulses), ends 100 ms later (two pulses).
    startWith(chainSettings(2, 1, 200));
    const std::uint64_t t0 = now();
    const std::size_t from = mark();
    connect();
    runUntilIdle();
    advance(100 * kMs);
    process->setActiveCall(nullptr);
    advance(2 * kSecond);
    EXPECT_EQ(pulsesMsSince(from, t0), (std::vector<std::uint64_t>{0, 100, 400, 500, 800}));
}

TEST_F(PulseChains, SameConnectedCallTwiceRunsTwoChains) {
    startWith(chainSettings(1, 0, 200));
    const std::uint64_t t0 = now();
    const std::size_t from = mark();
    connect();
    connect();
    EXPECT_EQ(process->queue().pending(), 2u);
    advance(1 * kSecond);
    EXPECT_EQ(pulsesMsSince(from, t0), (std::vector<std::uint64_t>{0, 0, 400, 400}));
}

TEST_F(PulseChains, NumberZeroPlaysOnePulseInsideTheCall) {
    startWith(chainSettings(0, 0, 200));
    const std::uint64_t t0 = now();
    const std::size_t from = mark();
    connect();
    EXPECT_EQ(pulsesMsSince(from, t0), std::vector<std::uint64_t>{0});
    EXPECT_EQ(process->queue().pending(), 0u);
    EXPECT_EQ(countSince(from, EventKind::StepScheduled), 0u);
}

TEST_F(PulseChains, EndingTheProcessDropsTheRestOfAChain) {
    startWith(chainSettings(2, 0, 200));
    const std::size_t from = mark();
    connect();
    runUntilIdle();
    process->releaseObject(call);
    call = nullptr;
    const std::vector<Event> ended = [&] {
        endProcess();
        return eventsSince(from, EventKind::ProcessEnded);
    }();
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(ended[0].detail, "1");
    EXPECT_EQ(classicPulsesSince(from).size(), 1u);
    // The next process starts quiet: no chain carries over.
    start();
    const std::size_t later = mark();
    advance(2 * kSecond);
    EXPECT_TRUE(classicPulsesSince(later).empty());
}

}  // namespace
}  // namespace thrumline::test
