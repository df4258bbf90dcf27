#include <gtest/gtest.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "host/sim/SimHost.h"

namespace thrumline::sim {
namespace {

ProcessOptions probe() {
    ProcessOptions options;
    options.libraryPath = THRUMLINE_PROBE_PLUGIN;
    return options;
}

std::vector<std::string> eventsOf(const Device& device, int process) {
    std::vector<std::string> out;
    for (const Event& e : device.events()) {
        if (e.process != process) continue;
        std::string line = eventKindName(e.kind);
        if (!e.name.empty()) line += " " + e.name;
        if (e.kind == EventKind::Sound) line += " " + std::to_string(e.sound);
        if (e.kind == EventKind::ProcessEnded || e.kind == EventKind::StepScheduled) {
            line += " " + e.detail;
        }
        out.push_back(line);
    }
    return out;
}

TEST(ProcessTest, EachStartLoadsAFreshCopyBoundToItsOwnServices) {
    Device device;
    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE(round);
        Process process(device, probe());
        process.start();
        EXPECT_TRUE(process.isRunning());
        EXPECT_EQ(device.running(), &process);
        EXPECT_TRUE(process.isHooked("SBTelephonyManager", "setActiveCall:"));
        Object call = process.newCall(true);
        process.setActiveCall(call);
        process.releaseObject(call);
        process.end();
        EXPECT_FALSE(process.isRunning());
        EXPECT_EQ(device.running(), nullptr);
        EXPECT_EQ(process.liveObjects(), 0u);
        EXPECT_EQ(process.faults(), 0);
        // The step plays 2000 + the number of loads its copy has seen.
        EXPECT_EQ(eventsOf(device, round),
                  (std::vector<std::string>{
                      "ProcessStarted cf 1443",
                      "HookInstalled SBTelephonyManager setActiveCall:", "StepScheduled 0",
                      "Sound 2001", "HostMethodRan SBTelephonyManager setActiveCall:", "Sound 1000",
                      "ProcessEnded 0"}));
    }
}

void ignore(NotificationCenter, void*, Object, const void*, Object) {}
void nothing() {}

TEST(ProcessTest, EndDropsPendingWorkAndObserversAndAllowsTheNextProcess) {
    Device device;
    Process first(device, probe());
    first.start();
    Process second(device, probe());
    EXPECT_THROW(second.start(), std::logic_error);

    HostServices& h = first.services();
    h.CFNotificationCenterAddObserver(h.CFNotificationCenterGetDarwinNotifyCenter(), nullptr,
                                      &ignore, "n", nullptr, 2);
    h.dispatch_after(h.dispatch_time(kDispatchTimeNow, 5 * kNanosPerSecond),
                     h.dispatch_get_main_queue(), &nothing);
    device.panePost("n");
    EXPECT_EQ(device.clock().pending(), 2u);
    first.end();
    EXPECT_EQ(device.events().back().kind, EventKind::ProcessEnded);
    EXPECT_EQ(device.events().back().detail, "2");
    EXPECT_EQ(first.observerCount(), 0u);
    EXPECT_EQ(device.clock().pending(), 0u);
    EXPECT_THROW(first.start(), std::logic_error);

    second.start();
    EXPECT_EQ(second.number(), 2);
    EXPECT_TRUE(second.isRunning());
}

TEST(ProcessTest, PanePostReachesTheRunningProcessOnTheMainQueue) {
    Device device;
    Process process(device, probe());
    process.start();
    HostServices& h = process.services();
    h.CFNotificationCenterAddObserver(h.CFNotificationCenterGetDarwinNotifyCenter(), nullptr,
                                      &ignore, "n", nullptr, 2);
    device.panePost("n");
    EXPECT_EQ(device.events().back().kind, EventKind::NotificationPosted);
    EXPECT_EQ(device.events().back().process, 0);
    process.queue().runUntilIdle();
    EXPECT_EQ(device.events().back().kind, EventKind::NotificationDelivered);
    EXPECT_EQ(device.events().back().process, 1);
}

TEST(ProcessTest, ALibraryThatCannotLoadIsReportedAndLeavesNothingRunning) {
    Device device;
    ProcessOptions options;
    options.libraryPath = device.deviceRoot() + "/missing.so";
    Process missing(device, options);
    EXPECT_THROW(missing.start(), std::runtime_error);
    EXPECT_FALSE(missing.isRunning());
    EXPECT_EQ(device.running(), nullptr);

    // A file that is no shared object.
    options.libraryPath = device.deviceRoot() + "/garbage.so";
    FILE* file = std::fopen(options.libraryPath.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fputs("garbage", file);
    std::fclose(file);
    Process broken(device, options);
    EXPECT_THROW(broken.start(), std::runtime_error);
    EXPECT_EQ(device.running(), nullptr);
    EXPECT_EQ(device.events().back().kind, EventKind::ProcessEnded);
}

TEST(DeviceTest, OwnsATemporaryRootOrKeepsAGivenOne) {
    std::string root;
    {
        Device device;
        root = device.deviceRoot();
        EXPECT_EQ(device.settingsFile(),
                  root + "/var/mobile/Library/Preferences/com.brindle.thrumline.plist");
        EXPECT_EQ(::access((root + "/var/mobile/Library/Preferences").c_str(), W_OK), 0);
        Device kept(root + "/inner");
        kept.paneSetKeys(PlistValue::dictionary({{"a", PlistValue::integer(1)}}));
        EXPECT_EQ(kept.readSettingsFile(), PlistValue::dictionary({{"a", PlistValue::integer(1)}}));
    }
    EXPECT_NE(::access(root.c_str(), F_OK), 0);

    Device outer;
    { Device kept(outer.deviceRoot()); }
    EXPECT_EQ(::access(outer.deviceRoot().c_str(), F_OK), 0);
}

TEST(DeviceTest, PaneEditsKeepTheOtherKeys) {
    Device device;
    device.paneUnsetKeys({"a"});
    EXPECT_TRUE(device.readSettingsFile().isNone());  // nothing created
    device.paneSetKeys(
        PlistValue::dictionary({{"a", PlistValue::integer(1)}, {"b", PlistValue::string("x")}}));
    device.paneSetKeys(
        PlistValue::dictionary({{"a", PlistValue::integer(2)}, {"c", PlistValue::boolean(true)}}));
    device.paneUnsetKeys({"b", "missing"});
    const PlistValue settings = device.readSettingsFile();
    ASSERT_EQ(settings.entries().size(), 2u);
    EXPECT_EQ(settings.entries()[0].first, "a");
    EXPECT_EQ(settings, PlistValue::dictionary(
                            {{"a", PlistValue::integer(2)}, {"c", PlistValue::boolean(true)}}));
    device.paneDeleteSettings();
    EXPECT_TRUE(device.readSettingsFile().isNone());
    for (const Event& e : device.events()) {
        EXPECT_EQ(e.kind, EventKind::PaneWroteSettings);
        EXPECT_EQ(e.process, 0);
    }
    EXPECT_EQ(device.events().back().detail, "delete");
}

// The real library, loaded the same way: it starts clean each time and
// lives by the platform's rules.
TEST(ProcessTest, TheLibraryLoadsAndUnloadsCleanlyProcessAfterProcess) {
    Device device;
    device.paneWriteSettings(
        PlistValue::dictionary({{"isEnabled", PlistValue::boolean(true)},
                                {"isNotRespringing", PlistValue::boolean(true)},
                                {"keep", PlistValue::data("\x01")}}));
    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE(round);
        Process process(device);
        process.start();
        EXPECT_TRUE(process.isHooked("SBTelephonyManager", "setActiveCall:"));
        EXPECT_TRUE(process.isHooked("SpringBoard", "applicationDidFinishLaunching:"));
        EXPECT_EQ(process.observerCount(), 5u);
        process.setHostBehaviour("setActiveCall:", {/*releaseArgument=*/true, false});
        process.setActiveCall(process.newCall(true));
        process.queue().runUntilIdle();
        EXPECT_EQ(process.faults(), 0);
        process.end();
        EXPECT_EQ(process.faults(), 0);
    }
    EXPECT_EQ(device.readSettingsFile().find("keep")->stringValue(), "\x01");
}

}  // namespace
}  // namespace thrumline::sim
