#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "simulator/home-screen/ObjectRuntime.h"
#include "simulator/home-screen/Process.h"

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

}  // namespace
}  // namespace thrumline::sim
