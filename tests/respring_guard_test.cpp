// The respring guard: on iOS 11 a launch with isEnabled true stores
// isNotRespringing false, and seven seconds after the host's launch work
// true again; each store re-reads the file so nothing else in it is lost.
#include <algorithm>
#include <fstream>

#include "tests/SimFixture.h"

namespace thrumline::test {
namespace {

constexpr std::uint64_t kQuiet = 7 * kSecond;

class RespringGuard : public SimTest {
protected:
    void launch() { process->applicationDidFinishLaunching(process->application()); }

    bool callVibrates() {
        const Object call = process->newCall(true);
        const Mark from = mark();
        process->setActiveCall(call);
        process->releaseObject(call);
        return !played(from).empty();
    }
    PlistValue fileFlag() const {
        const PlistValue file = device.readSettingsFile();
        const PlistValue* flag = file.find("isNotRespringing");
        return flag != nullptr ? *flag : PlistValue();
    }
    std::size_t libraryPosts(const Mark& from) const {
        using Posted = sim::events::NotificationPosted;
        const std::vector<Posted> posts = since<Posted>(from);
        return std::count_if(posts.begin(), posts.end(), [](const Posted& e) {
            return e.by == Posted::By::Library && e.name == kPrefsChanged;
        });
    }
};

// respring-guard.scn pins the order of the read, write, post, host work and
// timer, and the due time.
TEST_F(RespringGuard, QuietFromBeforeTheHostLaunchesUntilSevenSecondsAfter) {
    startWith(enabledSettings());
    const Mark from = mark();
    launch();
    EXPECT_EQ(since<sim::events::HostMethodRan>(from).at(0).argument, process->application());
    EXPECT_EQ(device.readSettingsFile(), enabledSettings({{"isNotRespringing", B(false)}}));

    // The values in memory change only when the post is delivered.
    EXPECT_TRUE(callVibrates());
    process->device().mainQueue().runUntilIdle();
    EXPECT_FALSE(callVibrates());
    advance(kQuiet);
    EXPECT_EQ(device.readSettingsFile(), enabledSettings());
    EXPECT_TRUE(callVibrates());
    advance(60 * kSecond);
    EXPECT_EQ(libraryPosts(from), 2u);
    EXPECT_EQ(countSince(from, EventKind::SettingsWritten), 2u);
}

TEST_F(RespringGuard, FileDeletedInsideTheQuietPeriodIsNotCreatedAgain) {
    startWith(enabledSettings());
    const Mark from = mark();
    launch();
    advance(2 * kSecond);
    device.paneDeleteSettings();
    post(kPrefsChanged);
    advance(kQuiet);
    EXPECT_FALSE(std::ifstream(device.settingsFile()).good());
    EXPECT_EQ(countSince(from, EventKind::SettingsWritten), 1u);
    EXPECT_EQ(libraryPosts(from), 2u);
}

TEST_F(RespringGuard, FailingHostLaunchPassesOnAfterTheFirstWrite) {
    startWith(enabledSettings());
    process->setHostBehaviour("applicationDidFinishLaunching:",
                              {/*releaseArgument=*/false, /*throwFailure=*/true});
    const int refs = process->retainCount(process->application());
    const Mark from = mark();
    EXPECT_THROW(launch(), sim::HostFailure);
    EXPECT_EQ(process->retainCount(process->application()), refs);
    EXPECT_EQ(countSince(from, EventKind::HostMethodRan), 1u);
    EXPECT_EQ(countSince(from, EventKind::StepScheduled), 0u);
    EXPECT_EQ(fileFlag(), B(false));
}

// With isEnabled false on iOS 11 (and no quiet period left unfinished in
// the file: examples/respring-guard-repair.scn), and on iOS 10 whatever the
// settings, the launch only runs the host's work, and no call event writes
// either.
TEST_F(RespringGuard, DisabledOrOnIOS10NothingIsWrittenPostedOrScheduled) {
    for (const double version : {kVersion_iOS11, kVersion_iOS10}) {
        SCOPED_TRACE(version);
        startWith(enabledSettings({{"isEnabled", B(version == kVersion_iOS10)},
                                   {"isNotRespringing", B(version == kVersion_iOS11)}}),
                  version);
        const Mark from = mark();
        launch();
        const Object call = process->newCall(true);
        process->setActiveCall(call);
        process->databaseChanged(call);
        process->releaseObject(call);
        advance(10 * kSecond);
        const auto ran = since<sim::events::HostMethodRan>(from);
        ASSERT_EQ(ran.size(), 3u);
        EXPECT_EQ(ran[0].argument, process->application());
        EXPECT_EQ(countSince(from, EventKind::SettingsWritten), 0u);
        EXPECT_EQ(countSince(from, EventKind::NotificationPosted), 0u);
        // iOS 10's history change is handed to the main queue, and finds no end.
        EXPECT_EQ(countSince(from, EventKind::StepScheduled), version == kVersion_iOS10 ? 1u : 0u);
        EXPECT_EQ(played(from), "");
        endProcess();
    }
}

}  // namespace
}  // namespace thrumline::test
