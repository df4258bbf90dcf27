// Start-up: which hook group a system version gets, the observers, and the
// first settings load.
#include "tests/SimFixture.h"

#include <algorithm>
#include <string>
#include <vector>

namespace thrumline::test {
namespace {

const std::string kDatabaseChanged = "CHManager databaseChanged:";
const std::string kSetActiveCall = "SBTelephonyManager setActiveCall:";
const std::string kDidFinishLaunching = "SpringBoard applicationDidFinishLaunching:";

const std::vector<std::string> kObservedInOrder = {kPrefsChanged, kVib1Preview, kVib2Preview,
                                                   kVib3Preview, kVib4Preview};

enum class Group { None, iOS10, iOS11 };

struct VersionRow {
    double version;
    Group group;
};

void PrintTo(const VersionRow& row, std::ostream* out) { *out << "cf " << row.version; }

std::vector<std::string> hooksOf(Group group) {
    switch (group) {
        case Group::iOS10:
            return {kDatabaseChanged, kSetActiveCall};
        case Group::iOS11:
            return {kSetActiveCall, kDidFinishLaunching};
        case Group::None:
            break;
    }
    return {};
}

class StartUpByVersion : public SimTest, public ::testing::WithParamInterface<VersionRow> {};

TEST_P(StartUpByVersion, InstallsTheGroupOfTheVersionInTableOrder) {
    const VersionRow row = GetParam();
    startWith(enabledSettings({{"vibration1", I(111)}, {"vibration2", I(222)}}), row.version);

    std::vector<std::string> installed;
    for (const Event& event : eventsSince(0, EventKind::HookInstalled)) {
        installed.push_back(event.name);
    }
    EXPECT_EQ(installed, hooksOf(row.group));
    EXPECT_EQ(countSince(0, EventKind::HookSkipped), 0u);

    const std::vector<std::string> hooks = hooksOf(row.group);
    auto expectHooked = [&](const std::string& cls, const std::string& sel) {
        const bool expected = std::find(hooks.begin(), hooks.end(), cls + " " + sel) != hooks.end();
        EXPECT_EQ(process->isHooked(cls, sel), expected) << cls << " " << sel;
    };
    expectHooked("CHManager", "databaseChanged:");
    expectHooked("SBTelephonyManager", "setActiveCall:");
    expectHooked("SpringBoard", "applicationDidFinishLaunching:");
}

TEST_P(StartUpByVersion, OnlyTheInstalledGroupReactsToCallEvents) {
    const VersionRow row = GetParam();
    startWith(enabledSettings({{"vibration1", I(111)}, {"vibration2", I(222)}}), row.version);

    Object call = process->newCall(true);
    std::size_t from = mark();
    process->setActiveCall(call);
    EXPECT_EQ(patternsSince(from), row.group == Group::None ? Patterns{} : (Patterns{{ON, 111}}));

    from = mark();
    process->databaseChanged(nullptr);
    EXPECT_EQ(patternsSince(from), row.group == Group::iOS10 ? (Patterns{{ON, 222}}) : Patterns{});

    from = mark();
    process->applicationDidFinishLaunching(process->application());
    EXPECT_EQ(countSince(from, EventKind::SettingsWritten), row.group == Group::iOS11 ? 1u : 0u);
    process->releaseObject(call);
}

TEST_P(StartUpByVersion, RegistersFiveObserversThenLoadsOnceInsideOneAutoreleaseScope) {
    start(GetParam().version);

    std::vector<std::string> observed;
    for (const Event& event : eventsSince(0, EventKind::ObserverRegistered)) {
        observed.push_back(event.name);
    }
    EXPECT_EQ(observed, kObservedInOrder);
    EXPECT_EQ(process->observerCount(), 5u);

    // push, the five registrations, one load, pop: nothing else of the
    // library in between, and the hooks before all of it.
    std::vector<EventKind> sequence;
    std::size_t lastHook = 0;
    const auto& events = device.events();
    for (std::size_t i = 0; i < events.size(); ++i) {
        switch (events[i].kind) {
            case EventKind::HookInstalled:
                lastHook = i;
                break;
            case EventKind::AutoreleasePush:
            case EventKind::AutoreleasePop:
            case EventKind::ObserverRegistered:
            case EventKind::SettingsRead:
                sequence.push_back(events[i].kind);
                break;
            default:
                break;
        }
    }
    const std::vector<EventKind> expected = {
        EventKind::AutoreleasePush,    EventKind::ObserverRegistered,
        EventKind::ObserverRegistered, EventKind::ObserverRegistered,
        EventKind::ObserverRegistered, EventKind::ObserverRegistered,
        EventKind::SettingsRead,       EventKind::AutoreleasePop};
    EXPECT_EQ(sequence, expected);
    EXPECT_LT(lastHook, indexOf(EventKind::AutoreleasePush));
}

INSTANTIATE_TEST_SUITE_P(VersionTable, StartUpByVersion,
                         ::testing::Values(VersionRow{1347.99, Group::None},
                                           VersionRow{1348.0, Group::iOS10},
                                           VersionRow{1400.1, Group::iOS10},
                                           VersionRow{1442.99, Group::iOS10},
                                           VersionRow{1442.995, Group::None},
                                           VersionRow{1443.0, Group::iOS11},
                                           VersionRow{9999.0, Group::iOS11}),
                         [](const auto& info) {
                             std::string name = std::to_string(info.param.version);
                             for (char& c : name) {
                                 if (c == '.') c = '_';
                             }
                             return "cf" + name;
                         });

using StartUp = SimTest;

TEST_F(StartUp, WithoutCallHistoryClassTheActiveCallHookIsStillInstalled) {
    device.paneWriteSettings(enabledSettings());
    start(kVersion_iOS10, {"CHManager"});

    std::vector<std::string> installed;
    for (const Event& event : eventsSince(0, EventKind::HookInstalled)) {
        installed.push_back(event.name);
    }
    EXPECT_EQ(installed, std::vector<std::string>{kSetActiveCall});
    EXPECT_TRUE(process->isHooked("SBTelephonyManager", "setActiveCall:"));
    // The absent class's hook was tried first, in table order.
    EXPECT_LT(indexOf(EventKind::HookSkipped), indexOf(EventKind::HookInstalled));

    Object call = process->newCall(true);
    const std::size_t from = mark();
    process->setActiveCall(call);
    EXPECT_EQ(patternsSince(from), (Patterns{{ON, 300}}));
    process->releaseObject(call);
}

TEST_F(StartUp, EachProcessStartsFromTheLibrarysOwnState) {
    // A first process loads custom values; the next one, finding no file,
    // must not see them.
    startWith(enabledSettings({{"vibration1", I(111)}, {"oldMethod", B(true)}}));
    endProcess();
    device.paneDeleteSettings();
    start();
    EXPECT_EQ(preview(kVib3Preview), (Pattern{ON, 300, OFF, 200, ON, 300}));

    Object call = process->newCall(true);
    const std::size_t from = mark();
    process->setActiveCall(call);
    runUntilIdle();
    EXPECT_TRUE(patternsSince(from).empty());
    EXPECT_TRUE(classicPulsesSince(from).empty());
    process->releaseObject(call);
}

}  // namespace
}  // namespace thrumline::test
