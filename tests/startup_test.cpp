// Start-up: which hook group a system version gets, then the observers and
// the first settings load inside one autorelease scope.
#include "tests/SimFixture.h"

namespace thrumline::test {
namespace {

using StartUp = SimTest;

TEST_F(StartUp, HooksTheGroupThenObservesFiveNamesAndLoadsOnceInOneScope) {
    const std::vector<std::string> iOS10 = {"hook CHManager databaseChanged:",
                                            "hook SBTelephonyManager setActiveCall:"};
    const std::vector<std::string> iOS11 = {"hook SBTelephonyManager setActiveCall:",
                                            "hook SpringBoard applicationDidFinishLaunching:"};
    const std::vector<std::tuple<double, std::vector<std::string>, std::vector<std::string>>> rows =
        {{1347.99, {}, {}},
         {1442.99, {}, iOS10},
         {1442.995, {}, {}},
         {9999.0, {}, iOS11},
         {1348.0, {"CHManager"}, {"skip (null) databaseChanged:", iOS10[1]}}};
    for (const auto& [version, absentClasses, hooks] : rows) {
        SCOPED_TRACE(version);
        const Mark from = mark();
        start(version, absentClasses);
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
        std::vector<std::string> expected = hooks;
        for (const char* s : {"push", kPrefsChanged, kVib1Preview, kVib2Preview, kVib3Preview,
                              kVib4Preview, "load", "pop"}) {
            expected.push_back(s);
        }
        EXPECT_EQ(trace, expected);
        endProcess();
    }
}

}  // namespace
}  // namespace thrumline::test
