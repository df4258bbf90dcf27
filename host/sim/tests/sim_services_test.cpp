#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/sim/Process.h"

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

TEST(SettingsFileTest, ReadGivesADictionaryOnlyForADictionaryAndWritesKeepUnknownKeys) {
    Device device;
    Process process(device);
    HostServices& h = process.services();
    EXPECT_FALSE(h.initWithContentsOfFile(kDeviceSettingsPath));
    device.paneWriteSettings(PlistValue::array({PlistValue::integer(1)}));
    EXPECT_FALSE(h.initWithContentsOfFile(kDeviceSettingsPath));

    const PlistValue extra = PlistValue::array({PlistValue::data("x"), PlistValue::date(86400)});
    device.paneWriteSettings(PlistValue::dictionary({{"extra", extra}}));
    device.paneSetKeys(PlistValue::dictionary({{"on", PlistValue::boolean(true)}}));
    const std::size_t before = process.liveObjects();
    {
        StrongRef prefs = h.initWithContentsOfFile(kDeviceSettingsPath);
        ASSERT_TRUE(prefs);
        EXPECT_TRUE(h.boolValue(h.objectForKeyedSubscript(prefs.get(), "on")));
        StrongRef no = h.numberWithBool(false);
        h.setObject_forKey(prefs.get(), no.get(), "on");
        EXPECT_TRUE(h.writeToFile_atomically(prefs.get(), kDeviceSettingsPath, true));
    }
    EXPECT_EQ(process.liveObjects(), before);
    EXPECT_EQ(device.readSettingsFile(),
              PlistValue::dictionary({{"on", PlistValue::boolean(false)}, {"extra", extra}}));
    EXPECT_EQ(process.faults(), 0);
}

}  // namespace
}  // namespace thrumline::sim
