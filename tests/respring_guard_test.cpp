// The respring guard: on iOS 11 a launch with isEnabled true stores
// isNotRespringing false, and seven seconds after the host's launch work
// true again; each store re-reads the file so nothing else in it is lost.
#include "tests/SimFixture.h"

#include <string>
#include <vector>

namespace thrumline::test {
namespace {

constexpr std::uint64_t kQuiet = 7 * kSecond;

class RespringGuard : public SimTest {
protected:
    Object call = nullptr;

    void launch() { process->applicationDidFinishLaunching(process->application()); }

    // Whether a connected call plays its vibration now.
    bool callVibrates() {
        if (call == nullptr) call = process->newCall(true);
        const std::size_t from = mark();
        process->setActiveCall(call);
        return countSince(from, EventKind::Vibrate) > 0;
    }

    std::vector<PlistValue> writesSince(std::size_t from) const {
        std::vector<PlistValue> written;
        for (const Event& e : eventsSince(from, EventKind::SettingsWritten)) {
            EXPECT_EQ(e.name, kDeviceSettingsPathOnDevice());
            written.push_back(e.value);
        }
        return written;
    }

    static std::string kDeviceSettingsPathOnDevice() { return sim::kDeviceSettingsPath; }

    void TearDown() override {
        if (call != nullptr && process) process->releaseObject(call);
        SimTest::TearDown();
    }
};

TEST_F(RespringGuard, DisabledWritesPostsAndSchedulesNothing) {
    startWith(enabledSettings({{"isEnabled", B(false)}}));
    const std::string before = fileBytes(device.settingsFile());
    const std::size_t from = mark();
    launch();
    advance(10 * kSecond);

    const std::vector<Event> ran = eventsSince(from, EventKind::HostMethodRan);
    ASSERT_EQ(ran.size(), 1u);
    EXPECT_EQ(ran[0].name, "SpringBoard applicationDidFinishLaunching:");
    EXPECT_EQ(ran[0].receiver, process->application());
    EXPECT_EQ(ran[0].argument, process->application());
    EXPECT_EQ(countSince(from, EventKind::SettingsWritten), 0u);
    EXPECT_EQ(countSince(from, EventKind::NotificationPosted), 0u);
    EXPECT_EQ(countSince(from, EventKind::StepScheduled), 0u);
    EXPECT_EQ(fileBytes(device.settingsFile()), before);
}

TEST_F(RespringGuard, EnabledWritesFalseBeforeTheHostLaunchesAndTrueSevenSecondsAfter) {
    startWith(enabledSettings());
    const std::uint64_t t0 = now();
    const std::size_t from = mark();
    launch();

    // Written and announced first, then the host's work, then the timer.
    const std::size_t written = indexOf(EventKind::SettingsWritten, from);
    const std::size_t posted = indexOf(EventKind::NotificationPosted, from);
    const std::size_t hostRan = indexOf(EventKind::HostMethodRan, from);
    const std::size_t scheduled = indexOf(EventKind::StepScheduled, from);
    ASSERT_NE(written, std::string::npos);
    ASSERT_NE(scheduled, std::string::npos);
    EXPECT_LT(written, posted);
    EXPECT_LT(posted, hostRan);
    EXPECT_LT(hostRan, scheduled);
    EXPECT_EQ(countSince(from, EventKind::HostMethodRan), 1u);
    EXPECT_EQ(device.events()[hostRan].argument, process->application());
    EXPECT_EQ(device.events()[scheduled].detail, std::to_string(t0 + kQuiet));
    const std::vector<PlistValue> writes = writesSince(from);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0], enabledSettings({{"isNotRespringing", B(false)}}));
    EXPECT_EQ(fileNotRespringing(), false);

    // In memory nothing has changed until the post is delivered.
    EXPECT_TRUE(callVibrates());
    runUntilIdle();
    EXPECT_FALSE(callVibrates());
    EXPECT_EQ(process->isConnectedQueries(call), 1) << "asked while the gate was closed";
    EXPECT_TRUE(preview(kVib1Preview).has_value());
    EXPECT_TRUE(preview(kVib4Preview).has_value());

    advance(kQuiet - 1);
    EXPECT_EQ(fileNotRespringing(), false);
    EXPECT_FALSE(callVibrates());
    advance(1);
    EXPECT_EQ(fileNotRespringing(), true);
    EXPECT_TRUE(callVibrates());
    EXPECT_EQ(writesSince(from).back(), enabledSettings());

    advance(60 * kSecond);
    EXPECT_EQ(libraryPostsSince(from), 2u);
    EXPECT_EQ(countSince(from, EventKind::SettingsWritten), 2u);
    // Each post reached the library's own observer and reloaded.
    std::size_t reloads = 0;
    for (const Event& e : eventsSince(from, EventKind::NotificationDelivered)) {
        reloads += e.name == kPrefsChanged ? 1 : 0;
    }
    EXPECT_EQ(reloads, 2u);
    EXPECT_EQ(process->queue().pending(), 0u);
}

TEST_F(RespringGuard, GuardWritesTheFileAsItStandsNotTheLastLoad) {
    const PlistValue other = PlistValue::dictionary({
        {"text", S("kept")},
        {"real", R(2.5)},
        {"bytes", PlistValue::data(std::string("\0\1\2", 3))},
        {"when", PlistValue::date(123456.0)},
        {"list", PlistValue::array({I(1), S("two")})},
        {"nested", PlistValue::dictionary({{"deep", B(true)}})},
    });
    startWith(enabledSettings({{"unknownKey", other}}));

    // The pane changes the file without posting, before the launch...
    device.paneSetKeys(PlistValue::dictionary({{"vibration1", I(123)}, {"paneOnly", I(5)}}));
    const std::size_t from = mark();
    launch();
    PlistValue expected = enabledSettings({{"unknownKey", other},
                                           {"vibration1", I(123)},
                                           {"paneOnly", I(5)},
                                           {"isNotRespringing", B(false)}});
    EXPECT_EQ(device.readSettingsFile(), expected);
    runUntilIdle();
    EXPECT_EQ(preview(kVib3Preview), (Pattern{ON, 123, OFF, 200, ON, 123}));

    // ...and again inside the quiet period.
    advance(3 * kSecond);
    device.paneSetKeys(PlistValue::dictionary({{"vibration2", I(77)}}));
    device.paneUnsetKeys({"paneOnly"});
    advance(kQuiet);
    expected.set("vibration2", I(77));
    expected.erase("paneOnly");
    expected.set("isNotRespringing", B(true));
    EXPECT_EQ(device.readSettingsFile(), expected);
    EXPECT_EQ(writesSince(from).size(), 2u);
    EXPECT_EQ(preview(kVib4Preview), (Pattern{ON, 77, OFF, 200, ON, 77}));
}

TEST_F(RespringGuard, FileDeletedInsideTheQuietPeriodIsNotCreatedAgain) {
    startWith(enabledSettings());
    const std::size_t from = mark();
    launch();
    runUntilIdle();
    advance(2 * kSecond);
    device.paneDeleteSettings();
    post(kPrefsChanged);
    advance(kQuiet);

    EXPECT_FALSE(fileExists(device.settingsFile()));
    EXPECT_EQ(writesSince(from).size(), 1u) << "only the launch's write";
    EXPECT_EQ(libraryPostsSince(from), 2u);
}

TEST_F(RespringGuard, UnreadableFileIsLeftAloneAndStillPosted) {
    struct Row {
        const char* label;
        std::string bytes;  // empty: the file is deleted
    };
    const std::vector<Row> rows = {
        {"deleted", ""},
        {"array root", sim::toXmlPlist(PlistValue::array({B(true)}))},
        {"garbage", "not a property list"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        startWith(enabledSettings());
        // Changed behind the library's back: in memory isEnabled is still true.
        if (row.bytes.empty()) {
            device.paneDeleteSettings();
        } else {
            device.paneWriteSettingsBytes(row.bytes);
        }
        const std::size_t from = mark();
        launch();
        advance(kQuiet + kSecond);

        EXPECT_EQ(countSince(from, EventKind::SettingsWritten), 0u);
        EXPECT_EQ(libraryPostsSince(from), 2u);
        EXPECT_EQ(countSince(from, EventKind::HostMethodRan), 1u);
        if (row.bytes.empty()) {
            EXPECT_FALSE(fileExists(device.settingsFile()));
        } else {
            EXPECT_EQ(fileBytes(device.settingsFile()), row.bytes);
        }
        endProcess();
    }
}

TEST_F(RespringGuard, ProcessEndingInsideTheQuietPeriodLeavesItForTheNextLaunch) {
    startWith(enabledSettings());
    launch();
    runUntilIdle();
    advance(3 * kSecond);
    endProcess();
    EXPECT_EQ(fileNotRespringing(), false);

    // The next process loads false: calls stay silent, even with time.
    start();
    EXPECT_FALSE(callVibrates());
    advance(30 * kSecond);
    EXPECT_FALSE(callVibrates());
    EXPECT_EQ(fileNotRespringing(), false);

    // Its launch writes false again and ends the quiet period 7 s later.
    const std::size_t from = mark();
    launch();
    runUntilIdle();
    EXPECT_EQ(writesSince(from).size(), 1u);
    EXPECT_EQ(fileNotRespringing(), false);
    advance(kQuiet - 1);
    EXPECT_FALSE(callVibrates());
    advance(1);
    EXPECT_TRUE(callVibrates());
    EXPECT_EQ(fileNotRespringing(), true);
}

TEST_F(RespringGuard, DisabledLaunchLeavesAnEarlierQuietPeriodInPlace) {
    startWith(enabledSettings({{"isEnabled", B(false)}, {"isNotRespringing", B(false)}}));
    launch();
    advance(10 * kSecond);
    EXPECT_EQ(fileNotRespringing(), false);
    // Switching the feature on keeps calls silent while the file says false.
    reload(enabledSettings({{"isNotRespringing", B(false)}}));
    EXPECT_FALSE(callVibrates());
    advance(10 * kSecond);
    EXPECT_FALSE(callVibrates());
}

TEST_F(RespringGuard, DisablingDuringTheQuietPeriodStillEndsIt) {
    startWith(enabledSettings());
    const std::size_t from = mark();
    launch();
    runUntilIdle();
    advance(2 * kSecond);
    device.paneSetKeys(PlistValue::dictionary({{"isEnabled", B(false)}}));
    post(kPrefsChanged);
    advance(kQuiet);
    EXPECT_EQ(fileNotRespringing(), true);
    EXPECT_EQ(libraryPostsSince(from), 2u);
    EXPECT_EQ(device.readSettingsFile().find("isEnabled")->boolValue(), false);
}

TEST_F(RespringGuard, EachLaunchRunsItsOwnQuietPeriod) {
    startWith(enabledSettings());
    const std::uint64_t t0 = now();
    const std::size_t from = mark();
    launch();
    runUntilIdle();
    advance(4 * kSecond);
    launch();
    runUntilIdle();
    // The first launch's end makes the file true at 7 s; the second's at 11 s.
    advance(3 * kSecond);
    EXPECT_TRUE(callVibrates());
    advance(4 * kSecond);
    std::vector<std::uint64_t> writeTimes;
    for (const Event& e : eventsSince(from, EventKind::SettingsWritten)) {
        writeTimes.push_back((e.t_ns - t0) / kSecond);
    }
    EXPECT_EQ(writeTimes, (std::vector<std::uint64_t>{0, 4, 7, 11}));
    EXPECT_EQ(libraryPostsSince(from), 4u);
}

TEST_F(RespringGuard, FailingHostLaunchPassesThroughAfterTheFirstWrite) {
    startWith(enabledSettings());
    process->setHostBehaviour("applicationDidFinishLaunching:",
                              {/*releaseArgument=*/false, /*throwFailure=*/true});
    Object app = process->application();
    const int refsBefore = process->retainCount(app);
    const std::size_t from = mark();
    EXPECT_THROW(launch(), sim::HostFailure);
    EXPECT_EQ(process->retainCount(app), refsBefore);
    EXPECT_EQ(countSince(from, EventKind::HostMethodRan), 1u);
    EXPECT_EQ(countSince(from, EventKind::StepScheduled), 0u);
    EXPECT_EQ(fileNotRespringing(), false);
}

struct NoGuardRow {
    const char* label;
    double version;
    bool keyPresentFalse;  // else the key is missing from the file
};

THRUMLINE_PRINT_ROW_AS_LABEL(NoGuardRow)

class NoGuardGroups : public RespringGuard, public ::testing::WithParamInterface<NoGuardRow> {};

TEST_P(NoGuardGroups, NothingWritesTheKeyAndCallsStaySilent) {
    const NoGuardRow& row = GetParam();
    PlistValue file = enabledSettings({{"isNotRespringing", B(false)}});
    if (!row.keyPresentFalse) file.erase("isNotRespringing");
    startWith(file, row.version);
    const std::string before = fileBytes(device.settingsFile());
    EXPECT_FALSE(process->isHooked("SpringBoard", "applicationDidFinishLaunching:"));

    const std::size_t from = mark();
    launch();
    advance(10 * kSecond);
    EXPECT_EQ(countSince(from, EventKind::HostMethodRan), 1u);
    EXPECT_EQ(countSince(from, EventKind::SettingsWritten), 0u);
    EXPECT_EQ(countSince(from, EventKind::NotificationPosted), 0u);
    EXPECT_EQ(fileBytes(device.settingsFile()), before);

    call = process->newCall(true);
    process->setActiveCall(call);
    process->databaseChanged(nullptr);
    advance(10 * kSecond);
    EXPECT_EQ(countSince(from, EventKind::Vibrate) + countSince(from, EventKind::Sound), 0u);
}

INSTANTIATE_TEST_SUITE_P(Table, NoGuardGroups,
                         ::testing::Values(NoGuardRow{"iOS10_false", kVersion_iOS10, true},
                                           NoGuardRow{"iOS10_missing", kVersion_iOS10, false},
                                           NoGuardRow{"noGroup_false", kVersionNoGroup, true}),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace thrumline::test
