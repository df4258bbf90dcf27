// Start-up: which hook group a system version gets, then the observers and
// the first settings load inside one autorelease scope.
#include "tests/SimFixture.h"

namespace thrumline::test {
namespace {

struct StartRow {
    const char* label;
    double version;
    std::vector<std::string> absentClasses;
    std::vector<std::string> hooks;  // the hook events, in order
};

void PrintTo(const StartRow& row, std::ostream* out) { *out << row.label; }

const std::vector<std::string> kIOS10 = {"hook CHManager databaseChanged:",
                                         "hook SBTelephonyManager setActiveCall:"};
const std::vector<std::string> kIOS11 = {"hook SBTelephonyManager setActiveCall:",
                                         "hook SpringBoard applicationDidFinishLaunching:"};

class StartUp : public SimTest, public ::testing::WithParamInterface<StartRow> {};

TEST_P(StartUp, HooksTheGroupThenObservesFiveNamesAndLoadsOnceInOneScope) {
    const StartRow& row = GetParam();
    start(row.version, row.absentClasses);

    std::vector<std::string> trace;
    for (const Event& e : device.events()) {
        if (e.kind == EventKind::HookInstalled) trace.push_back("hook " + e.name);
        if (e.kind == EventKind::HookSkipped) trace.push_back("skip " + e.name);
        if (e.kind == EventKind::AutoreleasePush) trace.push_back("push");
        if (e.kind == EventKind::ObserverRegistered) trace.push_back(e.name);
        if (e.kind == EventKind::SettingsRead) trace.push_back("load");
        if (e.kind == EventKind::AutoreleasePop) trace.push_back("pop");
    }
    std::vector<std::string> expected = row.hooks;
    for (const char* s : {"push", kPrefsChanged, kVib1Preview, kVib2Preview, kVib3Preview,
                          kVib4Preview, "load", "pop"}) {
        expected.push_back(s);
    }
    EXPECT_EQ(trace, expected);
}

INSTANTIATE_TEST_SUITE_P(Versions, StartUp,
                         ::testing::Values(StartRow{"cf1347_99", 1347.99, {}, {}},
                                           StartRow{"cf1348", 1348.0, {}, kIOS10},
                                           StartRow{"cf1442_99", 1442.99, {}, kIOS10},
                                           StartRow{"cf1442_995", 1442.995, {}, {}},
                                           StartRow{"cf1443", 1443.0, {}, kIOS11},
                                           StartRow{"cf9999", 9999.0, {}, kIOS11},
                                           StartRow{"cf1348_noCHManager",
                                                    1348.0,
                                                    {"CHManager"},
                                                    {"skip (null) databaseChanged:", kIOS10[1]}}),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace thrumline::test
