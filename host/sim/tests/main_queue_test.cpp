#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/sim/SimHost.h"

namespace thrumline::sim {
namespace {

// "label@time" for each item run, in order.
struct Trace {
    MainQueue& queue;
    std::vector<std::string> ran;
    std::function<void()> note(const std::string& label) {
        return [this, label] { ran.push_back(label + "@" + std::to_string(queue.now())); };
    }
};

TEST(MainQueueTest, RunsByDueTimeThenSchedulingOrderEachAtItsOwnTime) {
    MainQueue queue;
    Trace trace{queue, {}};
    // Enough equal times that a heap ordered by time alone would mix them up.
    for (const char* label : {"c", "a1", "b", "a2", "a3", "a4", "a5", "a6"}) {
        queue.scheduleAt(label[0] == 'a' ? 1 : label[0] == 'b' ? 2 : 5, trace.note(label));
    }
    queue.scheduleAt(1, [&] {
        trace.ran.push_back("chain@" + std::to_string(queue.now()));
        queue.scheduleAt(queue.now() + 2, trace.note("chained"));
        queue.scheduleAt(queue.now() + 20, trace.note("too late"));
    });
    EXPECT_TRUE(trace.ran.empty());
    queue.advanceBy(6);
    EXPECT_EQ(trace.ran, (std::vector<std::string>{"a1@1", "a2@1", "a3@1", "a4@1", "a5@1", "a6@1",
                                                   "chain@1", "b@2", "chained@3", "c@5"}));
    EXPECT_EQ(queue.now(), 6u);
}

TEST(MainQueueTest, RunUntilIdleRunsWhatIsDueIncludingThePastButNotTheFuture) {
    MainQueue queue;
    Trace trace{queue, {}};
    queue.advanceBy(10);
    queue.scheduleAt(10, [&] {
        trace.ran.push_back("first@" + std::to_string(queue.now()));
        queue.scheduleAt(queue.now(), trace.note("now"));
        queue.scheduleAt(queue.now() + 1, trace.note("later"));
    });
    queue.scheduleAt(2, trace.note("past"));  // due at once, behind what was due already
    queue.runUntilIdle();
    EXPECT_EQ(trace.ran, (std::vector<std::string>{"first@10", "past@10", "now@10"}));
    EXPECT_EQ(queue.pending(), 1u);
}

// The platform side: dispatch_after of a process.
int stepRuns = 0;
void countingStep() { ++stepRuns; }

TEST(DispatchTest, StepsRunLaterOnceEachAtTheirOwnTime) {
    Device device;
    Process process(device);
    HostServices& h = process.services();
    stepRuns = 0;
    const DispatchQueue main = h.dispatch_get_main_queue();
    h.dispatch_after(h.dispatch_time(kDispatchTimeNow, 0), main, &countingStep);
    h.dispatch_after(h.dispatch_time(kDispatchTimeNow, -kNanosPerSecond), main, &countingStep);
    h.dispatch_after(h.dispatch_time(kDispatchTimeNow, 2 * kNanosPerSecond), main, &countingStep);
    EXPECT_EQ(stepRuns, 0);  // never inside the scheduling call
    device.clock().runUntilIdle();
    EXPECT_EQ(stepRuns, 2);  // a past time is due at once
    device.clock().advanceBy(2 * kNanosPerSecond - 1);
    EXPECT_EQ(stepRuns, 2);
    device.clock().advanceBy(100 * kNanosPerSecond);
    EXPECT_EQ(stepRuns, 3);
}

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

TEST(NotificationCenterTest, EachPostReachesEachObserverOfItsExactNameOnceAfterThePost) {
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
    device.clock().runUntilIdle();
    EXPECT_EQ(deliveries, (std::vector<std::string>{"first a.b.changed", "second a.b.changed",
                                                    "first a.b.changed", "second a.b.changed"}));
}

}  // namespace
}  // namespace thrumline::sim
