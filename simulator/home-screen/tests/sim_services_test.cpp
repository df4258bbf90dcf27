// The simulated host's platform services where a scenario cannot show them:
// Darwin notifications to observers and processes, and the main thread's
// rule. The settings file as the platform reads and writes it (a dictionary
// or nothing, unknown keys kept): examples/settings-missing-keys.scn and
// respring-guard.scn; which vibration requests play, for how long, and which
// overlap: examples/vibration-overlaps.scn and vibration-odd-lengths.scn.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "simulator/home-screen/Process.h"

namespace thrumline::sim {
namespace {

// Darwin notifications: each delivery is a main-queue item.
std::vector<std::string> deliveries;  // "observer name", for each callback run
Process* current = nullptr;

void received(NotificationCenter, void* observer, Object name, const void*, Object) {
    deliveries.push_back(static_cast<const char*>(observer) +
                         (" " + current->valueOf(name).stringValue()));
}
void observe(HostServices& h, const char* observer, const char* name) {
    h.CFNotificationCenterAddObserver(h.CFNotificationCenterGetDarwinNotifyCenter(), observer,
                                      &received, name, nullptr, kSuspensionBehaviorCoalesce);
}
void post(HostServices& h, const char* name) {
    h.CFNotificationCenterPostNotification(h.CFNotificationCenterGetDarwinNotifyCenter(), name,
                                           nullptr, nullptr, true);
}

TEST(NotificationCenterTest, EachPostReachesEachLiveObserverOfItsExactNameOnceAfterThePost) {
    deliveries.clear();
    Device device;
    Process process(device);
    current = &process;
    HostServices& h = process.services();
    observe(h, "first", "a.b.changed");
    observe(h, "second", "a.b.changed");
    observe(h, "second", "a.b.other");
    post(h, "a.b.changed");
    post(h, "a.b.changed");  // not merged with the first
    for (const char* other : {"a.b.Changed", "a.b.changed.more", "a.b"}) post(h, other);
    EXPECT_TRUE(deliveries.empty());
    device.mainQueue().runUntilIdle();
    EXPECT_EQ(deliveries, (std::vector<std::string>{"first a.b.changed", "second a.b.changed",
                                                    "first a.b.changed", "second a.b.changed"}));
    // A delivery to a process that is gone never runs; the other process's still does.
    deliveries.clear();
    post(h, "a.b.other");
    {
        Process never(device);  // made, never started, gone before the queue runs
        current = &never;
        observe(never.services(), "gone", "a.b");
        post(never.services(), "a.b");
        EXPECT_EQ(device.mainQueue().pending(), 2u);
    }
    current = &process;
    device.mainQueue().runUntilIdle();
    EXPECT_EQ(deliveries, std::vector<std::string>{"second a.b.other"});
}

// On a background queue the platform is the main thread's but for handing
// work to the main queue: each other call is a fault naming itself. (What the
// library does there: examples/telephony-ios10.scn, history background.)
Process* historyProcess = nullptr;
MethodImp historyOriginal = nullptr;
void nothing() {}
void historyReplacement(Object self, Selector cmd, Object arg) {
    historyOriginal(self, cmd, arg);
    HostServices& h = historyProcess->services();
    h.dispatch_after(h.dispatch_time(kDispatchTimeNow, 0), h.dispatch_get_main_queue(), &nothing,
                     StepPurpose::PulseChain);
    h.isConnected(nullptr);
}

TEST(ProcessTest, OffTheMainThreadOnlyHandingWorkToTheMainQueueIsAllowed) {
    Device device;
    Process process(device);
    historyProcess = &process;
    HostServices& h = process.services();
    h.MSHookMessageEx(h.objc_getClass("CHManager"), h.sel_registerName("databaseChanged:"),
                      &historyReplacement, &historyOriginal);
    process.databaseChanged(nullptr);
    EXPECT_EQ(process.faults(), 0);
    process.databaseChangedInBackground(nullptr);
    std::vector<std::string> faults;
    for (const Event& e : device.events()) {
        if (const auto* fault = e.get<events::Fault>()) faults.push_back(fault->problem);
    }
    EXPECT_EQ(faults, (std::vector<std::string>{"isConnected called off the main thread"}));
    // Back on the main thread, the queued steps run and nothing more is a fault.
    device.mainQueue().runUntilIdle();
    process.databaseChanged(nullptr);
    EXPECT_EQ(process.faults(), 1);
}

}  // namespace
}  // namespace thrumline::sim
