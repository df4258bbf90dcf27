#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/sim/SimHost.h"

namespace thrumline::sim {
namespace {

// What the callbacks saw: which one ran, for which name, and at what time.
struct Delivery {
    std::string callback;
    std::string name;
    const void* observer;
};
std::vector<Delivery> deliveries;
Process* current = nullptr;

std::string nameOf(Object name) { return current->valueOf(name).stringValue(); }

void first(NotificationCenter, void* observer, Object name, const void*, Object) {
    deliveries.push_back({"first", nameOf(name), observer});
}
void second(NotificationCenter, void* observer, Object name, const void*, Object) {
    deliveries.push_back({"second", nameOf(name), observer});
}

class NotificationCenterTest : public ::testing::Test {
protected:
    void SetUp() override {
        deliveries.clear();
        current = &process;
    }
    void observe(NotificationCallback callback, const char* name, const void* observer = nullptr) {
        h.CFNotificationCenterAddObserver(h.CFNotificationCenterGetDarwinNotifyCenter(), observer,
                                          callback, name, nullptr, kSuspensionBehaviorCoalesce);
    }
    void post(const char* name) {
        h.CFNotificationCenterPostNotification(h.CFNotificationCenterGetDarwinNotifyCenter(), name,
                                               nullptr, nullptr, true);
    }
    std::vector<std::string> delivered() const {
        std::vector<std::string> out;
        for (const Delivery& d : deliveries) out.push_back(d.callback + " " + d.name);
        return out;
    }
    std::size_t count(EventKind kind) const {
        std::size_t n = 0;
        for (const Event& e : device.events()) n += e.kind == kind;
        return n;
    }

    Device device;
    Process process{device};
    HostServices& h = process.services();
};

TEST_F(NotificationCenterTest, EachPostReachesEachObserverOnceAfterThePostReturns) {
    int token = 0;
    observe(&first, "a.b.changed", &token);
    observe(&second, "a.b.changed");
    observe(&second, "a.b.other");
    EXPECT_EQ(process.observerCount(), 3u);
    EXPECT_EQ(h.CFNotificationCenterGetDarwinNotifyCenter(),
              h.CFNotificationCenterGetDarwinNotifyCenter());

    post("a.b.changed");
    post("a.b.changed");  // not merged with the first
    EXPECT_TRUE(deliveries.empty());
    device.clock().runUntilIdle();
    EXPECT_EQ(delivered(), (std::vector<std::string>{"first a.b.changed", "second a.b.changed",
                                                     "first a.b.changed", "second a.b.changed"}));
    EXPECT_EQ(deliveries[0].observer, &token);
    EXPECT_EQ(count(EventKind::NotificationPosted), 2u);
    EXPECT_EQ(count(EventKind::NotificationDelivered), 4u);
    device.clock().runUntilIdle();
    EXPECT_EQ(deliveries.size(), 4u);
}

TEST_F(NotificationCenterTest, NamesMatchExactlyCaseIncluded) {
    observe(&first, "com.x.prefschanged");
    post("com.x.PrefsChanged");
    post("com.x.prefschanged.more");
    post("com.x");
    device.clock().runUntilIdle();
    EXPECT_TRUE(deliveries.empty());
    EXPECT_EQ(count(EventKind::NotificationDelivered), 0u);
}

TEST_F(NotificationCenterTest, PanePostsReachNobodyWithoutARunningProcess) {
    observe(&first, "n");
    device.panePost("n");
    device.clock().runUntilIdle();
    EXPECT_TRUE(deliveries.empty());

    post("n");
    device.clock().runUntilIdle();
    ASSERT_EQ(deliveries.size(), 1u);

    std::vector<bool> byLibrary;
    for (const Event& e : device.events()) {
        if (e.kind == EventKind::NotificationPosted) byLibrary.push_back(e.flag);
    }
    EXPECT_EQ(byLibrary, (std::vector<bool>{false, true}));
}

TEST_F(NotificationCenterTest, DeliveriesRunAtThePostTimeInPostOrderAmongOtherWork) {
    observe(&first, "n");
    std::vector<std::string> order;
    device.clock().scheduleAt(device.clock().now(), [&] { order.push_back("earlier work"); });
    post("n");
    device.clock().scheduleAt(device.clock().now(), [&] {
        order.push_back("later work saw " + std::to_string(deliveries.size()));
    });
    device.clock().runUntilIdle();
    EXPECT_EQ(order, (std::vector<std::string>{"earlier work", "later work saw 1"}));
}

TEST(NotificationCenterLifetimeTest, DeliveriesOfAProcessThatIsGoneDoNothing) {
    deliveries.clear();
    Device device;
    {
        Process process(device);
        current = &process;
        HostServices& h = process.services();
        h.CFNotificationCenterAddObserver(h.CFNotificationCenterGetDarwinNotifyCenter(), nullptr,
                                          &first, "n", nullptr, 2);
        h.CFNotificationCenterPostNotification(h.CFNotificationCenterGetDarwinNotifyCenter(), "n",
                                               nullptr, nullptr, true);
    }
    EXPECT_EQ(device.clock().pending(), 1u);
    device.clock().runUntilIdle();
    EXPECT_TRUE(deliveries.empty());
}

TEST_F(NotificationCenterTest, BadRegistrationsAreFaultsAndRegisterNothing) {
    observe(nullptr, "n");
    observe(&first, nullptr);
    h.CFNotificationCenterAddObserver(reinterpret_cast<NotificationCenter>(&deliveries), nullptr,
                                      &first, "n", nullptr, 2);
    EXPECT_EQ(process.observerCount(), 0u);
    EXPECT_EQ(process.faults(), 3);
}

}  // namespace
}  // namespace thrumline::sim
