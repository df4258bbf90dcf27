#include "host/sim/Process.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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
                         h.dispatch_get_main_queue(), &nothing, StepPurpose::PulseChain);
        device.panePost("n");
        process.end();
        EXPECT_EQ(device.running(), nullptr);
        EXPECT_EQ(device.mainQueue().pending(), 0u);
        EXPECT_EQ(process.observerCount(), 0u);
        EXPECT_EQ(process.liveObjects(), 0u);
        EXPECT_EQ(process.faults(), 0);
        // The probe's load step plays 2000 + the loads its copy has seen, its
        // hook 1000 for a connected call.
        std::vector<std::uint32_t> sounds;
        std::size_t dropped = 0;
        for (const Event& e : device.events()) {
            if (e.process != round) continue;
            if (const auto* sound = e.get<events::Sound>()) sounds.push_back(sound->sound);
            if (const auto* end = e.get<events::ProcessEnded>()) dropped = end->droppedItems;
        }
        EXPECT_EQ(sounds, (std::vector<std::uint32_t>{2001, 1000}));
        EXPECT_EQ(dropped, 2u);
    }
}

// On a background queue the platform is the main thread's but for handing
// work to the main queue: each other call is a fault naming itself.
TEST(ProcessTest, OffTheMainThreadOnlyHandingWorkToTheMainQueueIsAllowed) {
    Device device;
    Process process(device, probe());
    process.start();
    device.mainQueue().runUntilIdle();
    process.databaseChanged(nullptr);
    EXPECT_EQ(process.faults(), 0);
    process.databaseChangedInBackground(nullptr);
    EXPECT_EQ(process.faults(), 1);
    std::vector<std::string> faults;
    for (const Event& e : device.events()) {
        if (const auto* fault = e.get<events::Fault>()) faults.push_back(fault->problem);
    }
    EXPECT_EQ(faults, (std::vector<std::string>{"isConnected called off the main thread"}));
    // Back on the main thread, the queued steps run and nothing more is a fault.
    device.mainQueue().runUntilIdle();
    process.databaseChanged(nullptr);
    EXPECT_EQ(process.faults(), 1);
    process.end();
}

}  // namespace
}  // namespace thrumline::sim
