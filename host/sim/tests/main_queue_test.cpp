#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "host/sim/MainQueue.h"

namespace thrumline::sim {
namespace {

constexpr std::uint64_t kEnd = std::numeric_limits<std::uint64_t>::max();

// "label@time" for each item run, in order.
struct Trace {
    MainQueue& queue;
    std::vector<std::string> ran;
    std::function<void()> note(const std::string& label) {
        return [this, label] { ran.push_back(label + "@" + std::to_string(queue.now())); };
    }
};

const int kOwner = 0;
const int kOtherOwner = 1;

TEST(MainQueueTest, RunsByDueTimeThenSchedulingOrderEachAtItsOwnTime) {
    MainQueue queue;
    Trace trace{queue, {}};
    // Enough equal times that a heap ordered by time alone would mix them up.
    for (const char* label : {"c", "a1", "b", "a2", "a3", "a4", "a5", "a6"}) {
        queue.postAt(&kOwner, label[0] == 'a' ? 1 : label[0] == 'b' ? 2 : 5, trace.note(label));
    }
    queue.postAt(&kOwner, 1, [&] {
        trace.ran.push_back("chain@" + std::to_string(queue.now()));
        queue.postAt(&kOwner, queue.now() + 2, trace.note("chained"));
        queue.postAt(&kOwner, queue.now() + 20, trace.note("too late"));
    });
    queue.runFor(6);
    EXPECT_EQ(trace.ran, (std::vector<std::string>{"a1@1", "a2@1", "a3@1", "a4@1", "a5@1", "a6@1",
                                                   "chain@1", "b@2", "chained@3", "c@5"}));
    EXPECT_EQ(queue.now(), 6u);
    queue.runUntil(3);  // never backwards
    EXPECT_EQ(queue.now(), 6u);
    queue.runUntil(26);
    EXPECT_EQ(trace.ran.back(), "too late@21");
    EXPECT_EQ(queue.now(), 26u);
    // runUntilIdle runs what is due, the past at once behind it, but not the future.
    queue.postAt(&kOwner, 26, [&] {
        queue.postAt(&kOwner, queue.now(), trace.note("now"));
        queue.postAt(&kOwner, queue.now() + 1, trace.note("later"));
    });
    queue.postAt(&kOwner, 2, trace.note("past"));
    queue.runUntilIdle();
    EXPECT_EQ(trace.ran.back(), "now@26");
    EXPECT_EQ(trace.ran[trace.ran.size() - 2], "past@26");
    EXPECT_EQ(queue.pending(), 1u);
}

TEST(MainQueueTest, CancellingAnOwnerDropsExactlyItsItemsAndKeepsTheOrderOfTheRest) {
    MainQueue queue;
    Trace trace{queue, {}};
    for (int i = 0; i < 6; ++i) {
        const bool mine = i % 2 == 0;
        queue.postAt(mine ? &kOwner : &kOtherOwner, static_cast<std::uint64_t>(6 - i),
                     trace.note((mine ? "mine" : "other") + std::to_string(i)));
    }
    EXPECT_EQ(queue.cancel(&kOwner), 3u);
    EXPECT_EQ(queue.cancel(&kOwner), 0u);
    queue.runFor(10);
    EXPECT_EQ(trace.ran, (std::vector<std::string>{"other5@1", "other3@3", "other1@5"}));
}

TEST(MainQueueTest, TimeArithmeticStopsAtBothEndsOfTheClock) {
    struct Case {
        std::uint64_t base;
        std::int64_t delta;
        std::uint64_t expected;
    };
    const std::int64_t min = std::numeric_limits<std::int64_t>::min();
    const std::int64_t max = std::numeric_limits<std::int64_t>::max();
    for (const Case& c : {Case{10, 5, 15}, Case{10, -5, 5}, Case{10, -11, 0}, Case{0, min, 0},
                          Case{kEnd, min, kEnd - (kEnd / 2) - 1}, Case{kEnd - 3, 4, kEnd},
                          Case{kEnd, max, kEnd}, Case{kEnd / 2 + 1, max, kEnd}}) {
        SCOPED_TRACE(std::to_string(c.base) + " " + std::to_string(c.delta));
        EXPECT_EQ(MainQueue::shifted(c.base, c.delta), c.expected);
    }
    // dispatch_time_t values: the clock's start is not DISPATCH_TIME_NOW (0),
    // and each time reads back, but for the last two, which read as the end.
    EXPECT_NE(MainQueue::dispatchTimeAt(0), 0u);
    EXPECT_EQ(MainQueue::timeOfDispatchTime(0), 0u);
    for (const std::uint64_t time : {std::uint64_t{0}, std::uint64_t{1}, kEnd / 2, kEnd - 2}) {
        EXPECT_EQ(MainQueue::timeOfDispatchTime(MainQueue::dispatchTimeAt(time)), time) << time;
    }
    EXPECT_EQ(MainQueue::timeOfDispatchTime(MainQueue::dispatchTimeAt(kEnd - 1)), kEnd);
    EXPECT_EQ(MainQueue::timeOfDispatchTime(MainQueue::dispatchTimeAt(kEnd)), kEnd);

    MainQueue queue;
    Trace trace{queue, {}};
    queue.postAt(&kOwner, kEnd, trace.note("last"));
    queue.runFor(kEnd - 1);
    EXPECT_EQ(queue.timeLeft(), 1u);
    queue.runFor(kEnd);  // would pass the end: stops there, running what is due
    EXPECT_EQ(queue.now(), kEnd);
    EXPECT_EQ(trace.ran, (std::vector<std::string>{"last@" + std::to_string(kEnd)}));
}

// Late timers: work queued ahead runs a twentieth of its wait late, in whole
// nanoseconds rounded down, at least 1 ms, never past the clock's end; work
// due now or in the past runs as with exact timers, and so does everything
// once timers are exact again.
TEST(MainQueueTest, LateTimersRunWorkQueuedAheadATwentiethOfItsWaitLate) {
    struct Case {
        std::uint64_t wait;
        std::uint64_t late;
    };
    constexpr std::uint64_t kMs = 1000000;
    for (const Case& c :
         {Case{1, kMs}, Case{20 * kMs - 1, kMs}, Case{20 * kMs, kMs}, Case{20 * kMs + 39, kMs + 1},
          Case{20 * kMs + 40, kMs + 2}, Case{60000 * kMs, 3000 * kMs}}) {
        SCOPED_TRACE(c.wait);
        MainQueue queue;
        Trace trace{queue, {}};
        queue.runFor(7);
        queue.setLateTimers(true);
        queue.postAt(&kOwner, 7 + c.wait, trace.note("ahead"));
        queue.postAt(&kOwner, 7, trace.note("now"));
        queue.postAt(&kOwner, 2, trace.note("past"));
        queue.runFor(c.wait + c.late - 1);
        EXPECT_EQ(trace.ran, (std::vector<std::string>{"now@7", "past@7"}));
        queue.runFor(1);
        EXPECT_EQ(trace.ran.back(), "ahead@" + std::to_string(7 + c.wait + c.late));
        queue.setLateTimers(false);
        queue.postAt(&kOwner, queue.now() + c.wait, trace.note("exact"));
        queue.runFor(c.wait);
        EXPECT_EQ(trace.ran.back(), "exact@" + std::to_string(7 + 2 * c.wait + c.late));
    }
    MainQueue queue;
    Trace trace{queue, {}};
    queue.setLateTimers(true);
    queue.postAt(&kOwner, kEnd - 1, trace.note("last"));
    queue.runFor(kEnd);
    EXPECT_EQ(trace.ran, (std::vector<std::string>{"last@" + std::to_string(kEnd)}));
}

}  // namespace
}  // namespace thrumline::sim
