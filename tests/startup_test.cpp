// Start-up: an absent host class is passed to the hooking call as it is and
// the group's other hook still goes in; then the observers and the first
// settings load inside one autorelease scope. Which version gets which group
// is shown by examples/hook-groups.scn.
#include "tests/SimFixture.h"

namespace thrumline::test {
namespace {

using StartUp = SimTest;

TEST_F(StartUp, AbsentClassSkipsOneHookThenObserversAndLoadInOneScope) {
    const Mark from = mark();
    start(kVersion_iOS10, {"CHManager"});
    std::vector<std::string> trace;
    for (std::size_t i = from.index; i < device.events().size(); ++i) {
        const Event& e = device.events()[i];
        if (const auto* h = e.get<sim::events::HookInstalled>()) {
            trace.push_back("hook " + h->className + " " + h->selector);
        }
        if (const auto* h = e.get<sim::events::HookSkipped>()) {
            trace.push_back("skip " + h->className + " " + h->selector);
        }
        if (e.kind() == EventKind::AutoreleasePush) trace.push_back("push");
        if (const auto* o = e.get<sim::events::ObserverRegistered>()) trace.push_back(o->name);
        if (e.kind() == EventKind::SettingsRead) trace.push_back("load");
        if (e.kind() == EventKind::AutoreleasePop) trace.push_back("pop");
    }
    const std::vector<std::string> expected = {"skip (null) databaseChanged:",
                                               "hook SBTelephonyManager setActiveCall:",
                                               "push",
                                               kPrefsChanged,
                                               kVib1Preview,
                                               kVib2Preview,
                                               kVib3Preview,
                                               kVib4Preview,
                                               "load",
                                               "pop"};
    EXPECT_EQ(trace, expected);
}

}  // namespace
}  // namespace thrumline::test
