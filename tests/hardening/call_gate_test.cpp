// The call hook with the gate closed (feature off, or the home screen still
// launching) runs on the host's main thread at every change of the active
// call: it must not allocate, and must hand the host exactly one call. The
// open gate, which builds the vibration dictionary, shows that the count
// sees allocations.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "bench/AllocationCounter.h"
#include "bench/CallPaths.h"

namespace thrumline::hardening {
namespace {

using sim::PlistValue;

// isEnabled, isNotRespringing: the gate is open only when both hold.
class CallGate : public ::testing::TestWithParam<std::tuple<bool, bool>> {};

TEST_P(CallGate, AllocatesOnlyWhenOpenAndCallsTheHostOnce) {
    const auto [enabled, notRespringing] = GetParam();
    const auto flag = &PlistValue::boolean;
    CallPaths paths(sim::settingsWithEveryKey({{"isEnabled", flag(enabled)},
                                               {"isNotRespringing", flag(notRespringing)},
                                               {"isVibrationsNumber", flag(true)},
                                               {"firstVibrationNumber", PlistValue::integer(2)}}));
    const Object call = paths.connectedCall();
    const int references = paths.process().retainCount(call);
    const std::uint64_t hostBefore = CallPaths::hostCalls();
    const std::uint64_t before = allocationCount();
    for (int i = 0; i < 10000; ++i) {
        // A call connects and ends: both moments, every time.
        paths.process().setConnected(call, true);
        paths.hooked(call);
        paths.process().setConnected(call, false);
        paths.hooked(nullptr);
    }
    const std::uint64_t allocations = allocationCount() - before;
    EXPECT_EQ(allocations > 0, enabled && notRespringing) << allocations << " allocations";
    EXPECT_EQ(CallPaths::hostCalls() - hostBefore, 20000u);
    EXPECT_EQ(paths.process().retainCount(call), references);
    EXPECT_EQ(paths.process().faults(), 0);
}

INSTANTIATE_TEST_SUITE_P(Gates, CallGate, ::testing::Combine(::testing::Bool(), ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param) ? "On" : "FeatureOff") +
                                    (std::get<1>(info.param) ? "" : "Respringing");
                         });

}  // namespace
}  // namespace thrumline::hardening
