#include "simulator/home-screen/MainQueue.h"

#include <algorithm>
#include <limits>

namespace thrumline::sim {

namespace {
constexpr std::uint64_t kEnd = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kLeastLateness = 1000000;  // 1 ms

// How late work queued `wait` nanoseconds ahead runs with late timers.
std::uint64_t lateness(std::uint64_t wait) { return std::max(wait / 20, kLeastLateness); }
}  // namespace

std::uint64_t MainQueue::shifted(std::uint64_t base, std::int64_t delta) {
    if (delta >= 0) {
        const auto forward = static_cast<std::uint64_t>(delta);
        return base > kEnd - forward ? kEnd : base + forward;
    }
    // The magnitude of a negative delta without overflowing on INT64_MIN.
    const std::uint64_t back = static_cast<std::uint64_t>(-(delta + 1)) + 1;
    return base > back ? base - back : 0;
}

std::uint64_t MainQueue::timeLeft() const { return kEnd - now_; }

std::uint64_t MainQueue::dispatchTimeAt(std::uint64_t time) {
    return time == kEnd ? kEnd : time + 1;
}

std::uint64_t MainQueue::timeOfDispatchTime(std::uint64_t dispatchTime) {
    // The last value stands for the last time, so that nothing runs early.
    return dispatchTime == 0 || dispatchTime == kEnd ? dispatchTime : dispatchTime - 1;
}

bool MainQueue::runsLater(const Item& a, const Item& b) {
    return a.when != b.when ? a.when > b.when : a.sequence > b.sequence;
}

void MainQueue::postAt(Owner owner, std::uint64_t when, std::function<void()> work) {
    if (when > now_ && lateTimers_) {
        const std::uint64_t late = lateness(when - now_);
        when = when > kEnd - late ? kEnd : when + late;
    }
    items_.push_back(Item{std::max(when, now_), sequence_++, owner, std::move(work)});
    std::push_heap(items_.begin(), items_.end(), &runsLater);
}

std::size_t MainQueue::cancel(Owner owner) {
    const auto kept = std::remove_if(items_.begin(), items_.end(),
                                     [owner](const Item& item) { return item.owner == owner; });
    const auto dropped = static_cast<std::size_t>(items_.end() - kept);
    items_.erase(kept, items_.end());
    std::make_heap(items_.begin(), items_.end(), &runsLater);
    return dropped;
}

bool MainQueue::runNextDueBy(std::uint64_t limit) {
    if (items_.empty() || items_.front().when > limit) return false;
    std::pop_heap(items_.begin(), items_.end(), &runsLater);
    Item item = std::move(items_.back());
    items_.pop_back();
    now_ = std::max(now_, item.when);
    item.work();
    return true;
}

void MainQueue::runUntilIdle() { runUntil(now_); }

void MainQueue::runUntil(std::uint64_t time) {
    while (runNextDueBy(time)) {
    }
    now_ = std::max(now_, time);
}

void MainQueue::runFor(std::uint64_t duration) {
    runUntil(duration > timeLeft() ? kEnd : now_ + duration);
}

}  // namespace thrumline::sim
