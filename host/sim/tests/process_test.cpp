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

void ignore(NotificationCenter, void*, Object, const void*, Object) {}
void nothing() {}

TEST(ProcessTest, EachStartLoadsAFreshCopyAndEachEndDropsWhatIsPending) {
    Device device;
    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE(round);
        Process process(device, probe());
        process.start();
        EXPECT_EQ(device.running(), &process);
        Object call = process.newCall(true);
        process.setActiveCall(call);
        process.releaseObject(call);
        HostServices& h = process.services();
        h.CFNotificationCenterAddObserver(h.CFNotificationCenterGetDarwinNotifyCenter(), nullptr,
                                          &ignore, "n", nullptr, 2);
        h.dispatch_after(h.dispatch_time(kDispatchTimeNow, 5 * kNanosPerSecond),
                         h.dispatch_get_main_queue(), &nothing);
        device.panePost("n");
        process.end();
        EXPECT_EQ(device.running(), nullptr);
        EXPECT_EQ(device.clock().pending(), 0u);
        EXPECT_EQ(process.observerCount(), 0u);
        EXPECT_EQ(process.liveObjects(), 0u);
        EXPECT_EQ(process.faults(), 0);
        EXPECT_THROW(process.start(), std::logic_error);
        // The probe's load step plays 2000 + the loads its copy has seen, its
        // hook 1000 for a connected call.
        std::vector<std::uint32_t> sounds;
        std::string dropped;
        for (const Event& e : device.events()) {
            if (e.process == round && e.kind == EventKind::Sound) sounds.push_back(e.sound);
            if (e.process == round && e.kind == EventKind::ProcessEnded) dropped = e.detail;
        }
        EXPECT_EQ(sounds, (std::vector<std::uint32_t>{2001, 1000}));
        EXPECT_EQ(dropped, "2");
    }
}

TEST(ProcessTest, OneProcessAtATimeAndALibraryThatCannotLoadLeavesNothingRunning) {
    Device device;
    Process first(device, probe());
    first.start();
    Process second(device, probe());
    EXPECT_THROW(second.start(), std::logic_error);
    first.end();
    second.start();
    EXPECT_TRUE(second.isRunning());
    second.end();

    device.paneWriteSettingsBytes("not a shared object");
    ProcessOptions options;
    for (const std::string& path : {device.deviceRoot() + "/missing.so", device.settingsFile()}) {
        options.libraryPath = path;
        Process broken(device, options);
        EXPECT_THROW(broken.start(), std::runtime_error);
        EXPECT_FALSE(broken.isRunning());
        EXPECT_EQ(device.running(), nullptr);
    }
}

TEST(DeviceTest, RemovesTheTemporaryRootItMade) {
    std::string root;
    {
        Device device;
        root = device.deviceRoot();
        device.paneSetKeys(PlistValue::dictionary({{"a", PlistValue::integer(1)}}));
    }
    EXPECT_NE(::access(root.c_str(), F_OK), 0);
}

}  // namespace
}  // namespace thrumline::sim
