// Classic pulse chains: when their pulses come on the virtual clock, and what
// a reload or a second chain does to a chain that is running.
#include "tests/SimFixture.h"

namespace thrumline::test {
namespace {

// Classic output with vibration numbers: a connected call on iOS 11 plays
// the first slot's chain, a nil call the last slot's.
PlistValue chainSettings(int first, std::int64_t duration) {
    return enabledSettings({{"oldMethod", B(true)},
                            {"isVibrationsNumber", B(true)},
                            {"firstVibrationNumber", I(first)},
                            {"lastVibrationNumber", I(1)},
                            {"VibrationDuration", I(duration)}});
}

using PulseChains = SimTest;

// The gap is 2 x VibrationDuration milliseconds, in 64 bits; a gap that is
// not positive is due at once. classic-chains.scn pins an ordinary chain, its
// first pulse played from the main queue.
TEST_F(PulseChains, ExtremeDurationsGiveTheirGaps) {
    const std::vector<std::pair<std::int64_t, std::string>> rows = {
        {-5, "C@0 C@0 C@0"}, {INT32_MAX, "C@0 C@4294967294 C@8589934588"}};
    for (const auto& [duration, pulses] : rows) {
        SCOPED_TRACE(duration);
        startWith(chainSettings(2, duration));
        const Object call = process->newCall(true);
        const Mark from = mark();
        process->setActiveCall(call);
        advance(10000000 * kSecond);
        EXPECT_EQ(played(from), pulses);
        EXPECT_EQ(process->device().mainQueue().pending(), 0u);
        process->releaseObject(call);
        endProcess();
    }
}

// Each gap is read when the step before it runs; nothing cancels a chain.
TEST_F(PulseChains, ReloadChangesOnlyTheGapsToComeAndDisablingDoesNotStopIt) {
    startWith(chainSettings(2, 200));
    const Object call = process->newCall(true);
    const Mark from = mark();
    process->setActiveCall(call);
    process->device().mainQueue().runUntilIdle();
    PlistValue changed = chainSettings(2, 5);
    changed.set("isEnabled", B(false));
    reload(changed);
    process->setConnected(call, false);
    advance(2 * kSecond);
    EXPECT_EQ(played(from), "C@0 C@400 C@410");
    process->releaseObject(call);
}

TEST_F(PulseChains, TwoChainsInterleaveAndNoneIsLost) {
    startWith(chainSettings(2, 200));
    const Object call = process->newCall(true);
    const Mark from = mark();
    process->setActiveCall(call);
    advance(100 * kMs);
    process->setConnected(call, false);
    process->setActiveCall(nullptr);
    advance(2 * kSecond);
    EXPECT_EQ(played(from), "C@0 C@100 C@400 C@500 C@800");
    process->releaseObject(call);
}

}  // namespace
}  // namespace thrumline::test
