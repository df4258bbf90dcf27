#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "host/sim/ObjectRuntime.h"
#include "host/sim/Process.h"

namespace thrumline::sim {
namespace {

void baseImp(Object, Selector, Object) {}
void replacement(Object, Selector, Object) {}

TEST(ObjectRuntimeTest, HookTakesAnInheritedMethodAndLeavesTheSlotEmptyForAnAbsentClass) {
    ObjectRuntime rt;
    SimClass* base = rt.defineClass("Base");
    SimClass* derived = rt.defineClass("Derived", base);
    rt.addMethod(base, "poke:", &baseImp);
    const SimSelector* poke = rt.selector("poke:");
    MethodImp slot = nullptr;
    // Inherited: the replacement goes on the subclass only.
    ASSERT_EQ(rt.hook(toHandle(derived), toHandle(poke), &replacement, &slot),
              ObjectRuntime::HookResult::Installed);
    EXPECT_EQ(slot, &baseImp);
    EXPECT_EQ(rt.lookup(derived, poke), &replacement);
    EXPECT_EQ(rt.lookup(base, poke), &baseImp);
    // The same replacement again would make it its own original.
    MethodImp again = nullptr;
    EXPECT_EQ(rt.hook(toHandle(derived), toHandle(poke), &replacement, &again),
              ObjectRuntime::HookResult::AlreadyHooked);
    EXPECT_EQ(again, nullptr);
    EXPECT_EQ(rt.lookup(derived, poke), &replacement);

    Device device;
    Process process(device);
    HostServices& h = process.services();
    MethodImp absent = nullptr;
    h.MSHookMessageEx(h.objc_getClass("NoSuchManager"), h.sel_registerName("setActiveCall:"),
                      &replacement, &absent);
    EXPECT_EQ(absent, nullptr);
    EXPECT_EQ(process.faults(), 0);
    MethodImp first = nullptr;
    MethodImp second = nullptr;
    const Class telephony = h.objc_getClass("SBTelephonyManager");
    const Selector setActiveCall = h.sel_registerName("setActiveCall:");
    h.MSHookMessageEx(telephony, setActiveCall, &replacement, &first);
    h.MSHookMessageEx(telephony, setActiveCall, &replacement, &second);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(process.faults(), 1);
}

TEST(ObjectRuntimeTest, ReferencesCountAndTheDeadStayAsZombiesThatReportMessages) {
    std::vector<std::string> faults;
    ObjectRuntime rt(
        [&](const std::string& m, const std::string& d) { faults.push_back(m + ": " + d); });
    SimObject* dict = rt.newDictionary();
    SimObject* value = rt.fromPlist(PlistValue::integer(3));
    SimObject* replaced = rt.fromPlist(PlistValue::boolean(false));
    rt.setObjectForKey(dict, replaced, "k");
    rt.setObjectForKey(dict, value, "k");  // releases what it replaces
    rt.release(toHandle(replaced));
    EXPECT_FALSE(rt.isAlive(toHandle(replaced)));
    EXPECT_EQ(rt.retainCount(toHandle(value)), 2);
    rt.release(toHandle(value));
    rt.release(toHandle(dict));  // frees the dictionary and with it the value
    EXPECT_EQ(rt.liveObjects(), 0u);
    EXPECT_FALSE(rt.isAlive(toHandle(value)));
    EXPECT_TRUE(faults.empty());

    EXPECT_EQ(rt.receiver(toHandle(value), "intValue"), nullptr);
    rt.release(toHandle(dict));
    ASSERT_EQ(faults.size(), 2u);
    EXPECT_EQ(faults[0], "intValue: message to deallocated <NSNumber #2 deallocated>");
    EXPECT_EQ(faults[1].rfind("release: message to deallocated", 0), 0u);
}

TEST(SettingsFileTest, ReadGivesADictionaryOnlyForADictionaryAndWritesKeepUnknownKeys) {
    Device device;
    Process process(device);
    HostServices& h = process.services();
    EXPECT_FALSE(h.initWithContentsOfFile(kDeviceSettingsPath));
    device.paneWriteSettings(PlistValue::array({PlistValue::integer(1)}));
    EXPECT_FALSE(h.initWithContentsOfFile(kDeviceSettingsPath));

    const PlistValue extra = PlistValue::array({PlistValue::data("x"), PlistValue::date(86400)});
    device.paneWriteSettings(PlistValue::dictionary({{"extra", extra}}));
    device.paneSetKeys(PlistValue::dictionary({{"on", PlistValue::boolean(true)}}));
    const std::size_t before = process.liveObjects();
    {
        StrongRef prefs = h.initWithContentsOfFile(kDeviceSettingsPath);
        ASSERT_TRUE(prefs);
        EXPECT_TRUE(h.boolValue(h.objectForKeyedSubscript(prefs.get(), "on")));
        StrongRef no = h.numberWithBool(false);
        h.setObject_forKey(prefs.get(), no.get(), "on");
        EXPECT_TRUE(h.writeToFile_atomically(prefs.get(), kDeviceSettingsPath, true));
    }
    EXPECT_EQ(process.liveObjects(), before);
    EXPECT_EQ(device.readSettingsFile(),
              PlistValue::dictionary({{"on", PlistValue::boolean(false)}, {"extra", extra}}));
    EXPECT_EQ(process.faults(), 0);
}

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
                 {i(4294967296LL), true, true, INT32_MAX},
                 {PlistValue::unsignedInteger(UINT64_MAX), true, true, INT32_MAX},
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
