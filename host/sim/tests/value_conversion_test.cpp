#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "host/sim/SimHost.h"
#include "host/sim/ValueConversion.h"

namespace thrumline::sim {
namespace {

TEST(ValueConversionTest, StringsConvertAsNSString) {
    const struct {
        const char* text;
        bool boolean;
        std::int32_t integer;
    } cases[] = {
        {"YES", true, 0},
        {"Yes", true, 0},
        {"yes", true, 0},
        {"true", true, 0},
        {"T", true, 0},
        {"1", true, 1},
        {"no", false, 0},
        {"NO", false, 0},
        {"false", false, 0},
        {"0", false, 0},
        {"", false, 0},
        {"   ", false, 0},
        {" +0001", true, 1},
        {"\t\n 42abc", true, 42},
        {"150ms", true, 150},
        {"-0y", true, 0},
        {"000", false, 0},
        {"-7", true, -7},
        {"+-1", false, 0},
        {"- 5", false, 0},
        {"x12", false, 0},
        {"2147483647", true, INT32_MAX},
        {"2147483648", true, INT32_MAX},
        {"-2147483648", true, INT32_MIN},
        {"-2147483649", true, INT32_MIN},
        {"99999999999999999999999", true, INT32_MAX},
        {"-99999999999999999999999", true, INT32_MIN},
        {"0009", true, 9},
        {"1.9", true, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("\"") + c.text + "\"");
        EXPECT_EQ(stringBoolValue(c.text), c.boolean);
        EXPECT_EQ(stringIntValue(c.text), c.integer);
        EXPECT_EQ(boolValueOf(PlistValue::string(c.text)), c.boolean);
        EXPECT_EQ(intValueOf(PlistValue::string(c.text)), c.integer);
    }
}

TEST(ValueConversionTest, NumbersConvertAsNSNumber) {
    const struct {
        PlistValue value;
        bool boolean;
        std::int32_t integer;
    } cases[] = {
        {PlistValue::boolean(true), true, 1},
        {PlistValue::boolean(false), false, 0},
        {PlistValue::integer(0), false, 0},
        {PlistValue::integer(2), true, 2},
        {PlistValue::integer(-50), true, -50},
        {PlistValue::integer(4294967296LL), true, INT32_MAX},
        {PlistValue::integer(-4294967296LL), true, INT32_MIN},
        {PlistValue::integer(INT64_MIN), true, INT32_MIN},
        {PlistValue::unsignedInteger(UINT64_MAX), true, INT32_MAX},
        {PlistValue::real(250.9), true, 250},
        {PlistValue::real(-2.5), true, -2},
        {PlistValue::real(0.4), true, 0},
        {PlistValue::real(0.0), false, 0},
        {PlistValue::real(-0.0), false, 0},
        {PlistValue::real(1e20), true, INT32_MAX},
        {PlistValue::real(-1e20), true, INT32_MIN},
        {PlistValue::real(NAN), true, 0},
        {PlistValue::real(INFINITY), true, INT32_MAX},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value.describe());
        EXPECT_EQ(boolValueOf(c.value), c.boolean);
        EXPECT_EQ(intValueOf(c.value), c.integer);
    }
}

// Through the platform interface, the way the settings store asks.
TEST(ValueConversionTest, OnlyNumbersAndStringsAnswerTheConversions) {
    Device device;
    Process process(device);
    HostServices& h = process.services();
    const Selector boolValue = h.sel_registerName("boolValue");
    const Selector intValue = h.sel_registerName("intValue");
    const struct {
        PlistValue value;
        bool answers;
    } cases[] = {
        {PlistValue::boolean(true), true},
        {PlistValue::integer(7), true},
        {PlistValue::real(1.5), true},
        {PlistValue::string("7"), true},
        {PlistValue::data("7"), false},
        {PlistValue::date(0), false},
        {PlistValue::array({PlistValue::integer(7)}), false},
        {PlistValue::dictionary({{"k", PlistValue::integer(7)}}), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value.describe());
        Object object = process.newValue(c.value);
        EXPECT_EQ(h.respondsToSelector(object, boolValue), c.answers);
        EXPECT_EQ(h.respondsToSelector(object, intValue), c.answers);
        process.releaseObject(object);
    }
    EXPECT_FALSE(h.respondsToSelector(nullptr, boolValue));
    EXPECT_EQ(process.faults(), 0);

    Object number = process.newValue(PlistValue::real(250.9));
    EXPECT_TRUE(h.boolValue(number));
    EXPECT_EQ(h.intValue(number), 250);
    Object data = process.newValue(PlistValue::data("1"));
    EXPECT_EQ(h.intValue(data), 0);  // unrecognized selector on the platform
    EXPECT_EQ(process.faults(), 1);
    EXPECT_FALSE(h.boolValue(nullptr));
    EXPECT_EQ(h.intValue(nullptr), 0);
    EXPECT_EQ(process.faults(), 1);
    process.releaseObject(number);
    process.releaseObject(data);
}

}  // namespace
}  // namespace thrumline::sim
