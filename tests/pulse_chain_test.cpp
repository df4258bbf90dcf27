// Classic pulse chains: when their pulses come on the virtual clock, and what
// a reload or a second chain does to a chain that is running.
#include "tests/SimFixture.h"

namespace thrumline::test {
namespace {

// Classic output with vibration numbers: a connected call on iOS 11 plays
// the first slot's chain, a nil call the last slot's.
PlistValue chainSettings(int first, int last, std::int64_t duration) {
    return enabledSettings({{"oldMethod", B(true)},
                            {"isVibrationsNumber", B(true)},
                            {"firstVibrationNumber", I(first)},
                            {"lastVibrationNumber", I(last)},
                            {"VibrationDuration", I(duration)}});
}

class PulseChains : public SimTest {
protected:
    Object call = nullptr;

    void connect() {
        if (call == nullptr) call = process->newCall(true);
        process->setActiveCall(call);
    }
    void TearDown() override {
        if (call != nullptr) process->releaseObject(call);
        SimTest::TearDown();
    }
};

struct TimingRow {
    const char* label;
    int number;
    std::int64_t duration;
    std::uint64_t lastMs;
    std::string pulses;
};

void PrintTo(const TimingRow& row, std::ostream* out) { *out << row.label; }

class ChainTiming : public PulseChains, public ::testing::WithParamInterface<TimingRow> {};

TEST_P(ChainTiming, NothingInTheCallThenPulsesAtTheirGaps) {
    const TimingRow& row = GetParam();
    startWith(chainSettings(row.number, 0, row.duration));
    const Mark from = mark();
    connect();
    EXPECT_EQ(played(from), "");
    process->queue().runUntilIdle();
    EXPECT_EQ(played(from).substr(0, 3), "C@0");
    advance(row.lastMs * kMs + 10 * kSecond);
    EXPECT_EQ(played(from), row.pulses);
    EXPECT_EQ(process->queue().pending(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Table, ChainTiming,
                         ::testing::Values(TimingRow{"two", 1, 200, 400, "C@0 C@400"},
                                           TimingRow{"three", 2, 200, 800, "C@0 C@400 C@800"},
                                           TimingRow{"zero", 2, 0, 0, "C@0 C@0 C@0"},
                                           TimingRow{"negative", 2, -5, 0, "C@0 C@0 C@0"},
                                           TimingRow{"int32_min", 1, INT32_MIN, 0, "C@0 C@0"},
                                           TimingRow{"int32_max", 2, INT32_MAX, 8589934588ULL,
                                                     "C@0 C@4294967294 C@8589934588"}),
                         [](const auto& info) { return std::string(info.param.label); });

// Each gap is read when the step before it runs; nothing cancels a chain.
TEST_F(PulseChains, AReloadChangesOnlyTheGapsToComeAndDisablingDoesNotStopIt) {
    startWith(chainSettings(2, 1, 200));
    const Mark from = mark();
    connect();
    process->queue().runUntilIdle();
    PlistValue changed = chainSettings(2, 1, 5);
    changed.set("isEnabled", B(false));
    reload(changed);
    process->setConnected(call, false);
    advance(2 * kSecond);
    EXPECT_EQ(played(from), "C@0 C@400 C@410");
}

TEST_F(PulseChains, TwoChainsInterleaveAndNoneIsLost) {
    startWith(chainSettings(2, 1, 200));
    const Mark from = mark();
    connect();
    advance(100 * kMs);
    process->setActiveCall(nullptr);
    advance(2 * kSecond);
    EXPECT_EQ(played(from), "C@0 C@100 C@400 C@500 C@800");
}

}  // namespace
}  // namespace thrumline::test
