#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "simulator/home-screen/Process.h"

namespace thrumline::sim {
namespace {

PlistValue s(const char* text) { return PlistValue::string(text); }
PlistValue r(double v) { return PlistValue::real(v); }
PlistValue i(std::int64_t v) { return PlistValue::integer(v); }

// boolValue and intValue as NSString and NSNumber answer them, asked the way
// the settings store asks: through the platform, after respondsToSelector.
TEST(ValueConversionTest, BoolValueAndIntValueOfEveryKindOfValue) {
    const struct {
        PlistValue value;
        bool answers;
        bool boolean;
        std::int32_t integer;
    } cases[] = {{s("YES"), true, true, 0},
                 {s(""), true, false, 0},
                 {s(" +0001"), true, true, 1},
                 {s("\t\n 42abc"), true, true, 42},
                 {s("-7"), true, true, -7},
                 {s("+-1"), true, false, 0},
                 {s("2147483648"), true, true, INT32_MAX},
                 {s("-2147483649"), true, true, INT32_MIN},
                 {PlistValue::boolean(true), true, true, 1},
                 {i(-50), true, true, -50},
                 // Integers: the low 32 bits; boolValue on the whole value
                 // (more: examples/hand-edited-numbers.scn).
                 {i(2147483648LL), true, true, INT32_MIN},
                 {i(-4294967096LL), true, true, 200},
                 {PlistValue::unsignedInteger(UINT64_MAX), true, true, -1},
                 {r(250.9), true, true, 250},
                 {r(-0.0), true, false, 0},
                 {r(-1e20), true, true, INT32_MIN},
                 {r(NAN), true, true, 0},
                 {r(INFINITY), true, true, INT32_MAX},
                 {PlistValue::dictionary({{"k", i(7)}}), false, false, 0}};
    Device device;
    Process process(device);
    HostServices& h = process.services();
    const Selector boolValue = h.sel_registerName("boolValue");
    const Selector intValue = h.sel_registerName("intValue");
    int faults = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value.describe());
        Object object = process.newValue(c.value);
        EXPECT_EQ(h.respondsToSelector(object, boolValue), c.answers);
        EXPECT_EQ(h.respondsToSelector(object, intValue), c.answers);
        EXPECT_EQ(h.boolValue(object), c.boolean);
        EXPECT_EQ(h.intValue(object), c.integer);
        // Sent to anything else, the conversions are unrecognized selectors.
        faults += c.answers ? 0 : 2;
        EXPECT_EQ(process.faults(), faults);
        process.releaseObject(object);
    }
}

}  // namespace
}  // namespace thrumline::sim
