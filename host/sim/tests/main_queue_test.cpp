#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "host/sim/SimHost.h"

namespace thrumline::sim {
namespace {

constexpr std::uint64_t kSecond = kNanosPerSecond;

// What ran, and at which virtual time.
struct Trace {
    MainQueue& queue;
    std::vector<std::pair<std::string, std::uint64_t>> ran;
    std::function<void()> note(std::string label) {
        return [this, label] { ran.emplace_back(label, queue.now()); };
    }
    std::vector<std::string> labels() const {
        std::vector<std::string> out;
        for (const auto& r : ran) out.push_back(r.first);
        return out;
    }
};

TEST(MainQueueTest, RunsByDueTimeThenInSchedulingOrder) {
    MainQueue queue;
    Trace trace{queue, {}};
    queue.scheduleAt(3 * kSecond, trace.note("c"));
    queue.scheduleAt(1 * kSecond, trace.note("a1"));
    queue.scheduleAt(2 * kSecond, trace.note("b"));
    queue.scheduleAt(1 * kSecond, trace.note("a2"));
    queue.advanceBy(5 * kSecond);
    EXPECT_EQ(trace.labels(), (std::vector<std::string>{"a1", "a2", "b", "c"}));
    EXPECT_EQ(trace.ran[0].second, 1 * kSecond);
    EXPECT_EQ(trace.ran[2].second, 2 * kSecond);
    EXPECT_EQ(trace.ran[3].second, 3 * kSecond);
    EXPECT_EQ(queue.now(), 5 * kSecond);
}

TEST(MainQueueTest, RunUntilIdleRunsWhatIsDueNowIncludingNewlyDueButNotTheFuture) {
    MainQueue queue;
    Trace trace{queue, {}};
    queue.scheduleAt(0, [&] {
        trace.ran.emplace_back("first", queue.now());
        queue.scheduleAt(queue.now(), trace.note("chained"));
        queue.scheduleAt(queue.now() + 1, trace.note("later"));
    });
    queue.runUntilIdle();
    EXPECT_EQ(trace.labels(), (std::vector<std::string>{"first", "chained"}));
    EXPECT_EQ(queue.now(), 0u);
    EXPECT_EQ(queue.pending(), 1u);
    queue.advanceBy(1);
    EXPECT_EQ(trace.labels().back(), "later");
}

TEST(MainQueueTest, PastTimeIsDueAtOnceBehindWorkAlreadyDue) {
    MainQueue queue;
    Trace trace{queue, {}};
    queue.advanceBy(10 * kSecond);
    queue.scheduleAt(10 * kSecond, trace.note("due now"));
    queue.scheduleAt(2 * kSecond, trace.note("past"));
    queue.runUntilIdle();
    EXPECT_EQ(trace.labels(), (std::vector<std::string>{"due now", "past"}));
    EXPECT_EQ(trace.ran[1].second, 10 * kSecond);
}

TEST(MainQueueTest, AdvanceRunsWorkScheduledDuringTheAdvanceAtItsOwnTime) {
    MainQueue queue;
    Trace trace{queue, {}};
    queue.scheduleAt(1 * kSecond, [&] {
        trace.ran.emplace_back("a", queue.now());
        queue.scheduleAt(queue.now() + 2 * kSecond, trace.note("b"));
        queue.scheduleAt(queue.now() + 20 * kSecond, trace.note("too late"));
    });
    queue.advanceBy(4 * kSecond);
    ASSERT_EQ(trace.labels(), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(trace.ran[1].second, 3 * kSecond);
    EXPECT_EQ(queue.now(), 4 * kSecond);
    EXPECT_EQ(queue.clear(), 1u);
    EXPECT_EQ(queue.pending(), 0u);
    queue.advanceBy(30 * kSecond);
    EXPECT_EQ(trace.ran.size(), 2u);
}

TEST(MainQueueTest, AdvanceSaturatesInsteadOfWrapping) {
    MainQueue queue;
    bool ran = false;
    queue.advanceBy(UINT64_MAX - 5);
    queue.scheduleAt(UINT64_MAX - 1, [&] { ran = true; });
    queue.advanceBy(100);
    EXPECT_TRUE(ran);
    EXPECT_EQ(queue.now(), UINT64_MAX);
}

// The platform side: dispatch_time and dispatch_after of a process.
int stepRuns = 0;
void countingStep() { ++stepRuns; }

TEST(DispatchTest, TimeIsNowPlusDeltaSaturatingAndNeverBeforeZero) {
    Device device;
    Process process(device);
    HostServices& h = process.services();
    device.clock().advanceBy(5 * kSecond);
    EXPECT_EQ(h.dispatch_time(kDispatchTimeNow, 0), 5 * kSecond);
    EXPECT_EQ(h.dispatch_time(kDispatchTimeNow, 7000000000LL), 12 * kSecond);
    EXPECT_EQ(h.dispatch_time(kDispatchTimeNow, -2 * kNanosPerSecond), 3 * kSecond);
    EXPECT_EQ(h.dispatch_time(kDispatchTimeNow, -400 * kNanosPerSecond), 0u);
    EXPECT_EQ(h.dispatch_time(kDispatchTimeNow, INT64_MIN), 0u);
    EXPECT_EQ(h.dispatch_time(UINT64_MAX - 3, INT64_MAX), UINT64_MAX);
}

TEST(DispatchTest, StepNeverRunsInsideTheSchedulingCallAndRunsOnceWhenDue) {
    Device device;
    Process process(device);
    HostServices& h = process.services();
    stepRuns = 0;
    h.dispatch_after(h.dispatch_time(kDispatchTimeNow, 0), h.dispatch_get_main_queue(),
                     &countingStep);
    EXPECT_EQ(stepRuns, 0);
    h.dispatch_after(h.dispatch_time(kDispatchTimeNow, 2 * kNanosPerSecond),
                     h.dispatch_get_main_queue(), &countingStep);
    device.clock().runUntilIdle();
    EXPECT_EQ(stepRuns, 1);
    device.clock().advanceBy(2 * kSecond);
    EXPECT_EQ(stepRuns, 2);
    device.clock().advanceBy(100 * kSecond);
    EXPECT_EQ(stepRuns, 2);

    std::vector<std::string> due;
    for (const Event& e : device.events()) {
        if (e.kind == EventKind::StepScheduled) due.push_back(e.detail);
    }
    EXPECT_EQ(due, (std::vector<std::string>{"0", "2000000000"}));
}

TEST(DispatchTest, PastTimeRunsAtOnceAndAForeignQueueIsAFault) {
    Device device;
    Process process(device);
    HostServices& h = process.services();
    device.clock().advanceBy(10 * kSecond);
    stepRuns = 0;
    h.dispatch_after(h.dispatch_time(kDispatchTimeNow, -5 * kNanosPerSecond),
                     h.dispatch_get_main_queue(), &countingStep);
    device.clock().runUntilIdle();
    EXPECT_EQ(stepRuns, 1);
    h.dispatch_after(0, reinterpret_cast<DispatchQueue>(&stepRuns), &countingStep);
    EXPECT_EQ(device.clock().pending(), 0u);
    EXPECT_EQ(process.faults(), 1);
}

}  // namespace
}  // namespace thrumline::sim
