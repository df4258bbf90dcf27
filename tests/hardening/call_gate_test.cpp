// The call hook with the gate closed (feature off, or the home screen still
// launching) runs on the host's main thread at every change of the active
// call: it must not allocate, and must hand the host exactly one call.
#include "bench/AllocationCounter.h"
#include "bench/CallPaths.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace thrumline::hardening {
namespace {

using sim::PlistValue;

PlistValue settings(bool enabled, bool notRespringing) {
    return PlistValue::dictionary({
        {"isEnabled", PlistValue::boolean(enabled)},
        {"isNotRespringing", PlistValue::boolean(notRespringing)},
        {"isVibrationsNumber", PlistValue::boolean(true)},
        {"oldMethod", PlistValue::boolean(false)},
        {"firstVibrationNumber", PlistValue::integer(2)},
    });
}

struct GateRow {
    const char* label;
    bool enabled;
    bool notRespringing;
};

void PrintTo(const GateRow& row, std::ostream* out) { *out << row.label; }

class ClosedGate : public ::testing::TestWithParam<GateRow> {};

TEST_P(ClosedGate, HookedCallAllocatesNothingAndCallsTheHostOnce) {
    CallPaths paths(settings(GetParam().enabled, GetParam().notRespringing));
    const Object call = paths.connectedCall();
    const int references = paths.process().retainCount(call);
    const std::uint64_t hostBefore = CallPaths::hostCalls();
    const std::uint64_t before = allocationCount();
    for (int i = 0; i < 10000; ++i) {
        paths.hooked(call);
        paths.hooked(nullptr);
    }
    EXPECT_EQ(allocationCount() - before, 0u);
    EXPECT_EQ(CallPaths::hostCalls() - hostBefore, 20000u);
    EXPECT_EQ(paths.process().retainCount(call), references);
    EXPECT_EQ(paths.process().faults(), 0);
}

INSTANTIATE_TEST_SUITE_P(Gates, ClosedGate,
                         ::testing::Values(GateRow{"FeatureOff", false, true},
                                           GateRow{"Respringing", true, false},
                                           GateRow{"Both", false, false}),
                         [](const auto& info) { return std::string(info.param.label); });

// The counter sees what the open gate allocates: building the vibration
// dictionary takes objects from the host.
TEST(OpenGate, PatternOutputAllocatesAndIsSeen) {
    CallPaths paths(settings(true, true));
    const std::uint64_t before = allocationCount();
    paths.hooked(paths.connectedCall());
    EXPECT_GT(allocationCount() - before, 0u);
    EXPECT_EQ(paths.process().faults(), 0);
}

}  // namespace
}  // namespace thrumline::hardening
