#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "simulator/home-screen/MainQueue.h"

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

// The order of work due at the same time, and what each run runs, are
// pinned by the examples (json-output.scn: a chain's pulse and the minder's
// due together); here the clock's edges and late timers.
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
