// The virtual clock and the main queue of the simulated phone, as one object:
// time moves only when a driver says so, and due work runs in time order.
//
// Modelled on a simulated clock with a fake dispatcher: runUntilIdle() runs
// what is due without moving time; runUntil() and runFor() move time,
// running each item at its own due time. Every item belongs to an owner (a
// process), so ending a process cancels exactly its own items.
//
// Not thread-safe: one thread drives the queue, as the main thread does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace thrumline::sim {

class MainQueue {
public:
    // Whoever posted an item; cancel() takes back all of one owner's items.
    using Owner = const void*;

    // Virtual nanoseconds since the queue was made.
    std::uint64_t now() const { return now_; }
    // `base` moved by `delta` nanoseconds, held to the clock's range: a time
    // before 0 is 0, one past the end is the end.
    static std::uint64_t shifted(std::uint64_t base, std::int64_t delta);
    // How far the clock can still move.
    std::uint64_t timeLeft() const;

    // dispatch_time_t values on this clock: virtual nanoseconds counted from
    // one before its start, as a phone's clock never reads 0 =
    // DISPATCH_TIME_NOW; a time taken at the start, handed back as a base,
    // must not read as "now". The clock's last two times share the last value.
    static std::uint64_t dispatchTimeAt(std::uint64_t time);
    // The time a dispatch_time_t value stands for; DISPATCH_TIME_NOW gives 0,
    // which is never after now().
    static std::uint64_t timeOfDispatchTime(std::uint64_t dispatchTime);

    // Late timers: work queued for a time after now() runs later than asked,
    // as libdispatch lets a timer on the main queue fire a twentieth of its
    // wait late (at least 1 ms); this queue takes the whole of that leeway.
    // Off by default: work runs exactly when asked.
    void setLateTimers(bool late) { lateTimers_ = late; }

    // Queues `work` to run at `when` (late, with late timers); a time
    // already past is due at once, behind what is already due. Work never
    // runs inside this call.
    void postAt(Owner owner, std::uint64_t when, std::function<void()> work);
    // Drops every item of `owner`, nothing else. Returns how many.
    std::size_t cancel(Owner owner);
    std::size_t pending() const { return items_.size(); }

    // Runs everything due at now(), including work that becomes due at now()
    // while running. Does not move time.
    void runUntilIdle();
    // Moves time to `time` (never backwards), running each due item at its
    // own time, first scheduled first among equal times.
    void runUntil(std::uint64_t time);
    // runUntil(now() + duration), stopping at the end of the clock.
    void runFor(std::uint64_t duration);

private:
    struct Item {
        std::uint64_t when;
        std::uint64_t sequence;
        Owner owner;
        std::function<void()> work;
    };
    static bool runsLater(const Item& a, const Item& b);
    bool runNextDueBy(std::uint64_t limit);

    std::uint64_t now_ = 0;
    std::uint64_t sequence_ = 0;
    bool lateTimers_ = false;
    std::vector<Item> items_;  // a binary heap ordered by (when, sequence)
};

}  // namespace thrumline::sim
