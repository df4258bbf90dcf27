// The minute minder. Nothing cancels a step on the main queue, so a call
// that replaces the followed one leaves the old minder's step pending for up
// to a minute. Each pending step therefore runs in a slot of its own (its
// own function, as steps capture nothing) and, when it runs, serves the
// current minder only if that minder's step is the one in its slot.
#include "tweak/behaviour/MinuteMinder.h"

#include <cstddef>

#include "tweak/hooks/Hooks.h"
#include "tweak/settings/Settings.h"
#include "tweak/vibration/PulseChains.h"
#include "tweak/vibration/VibrationPatterns.h"

namespace thrumline {

namespace {

constexpr std::int64_t kNanosPerSecond = 1000000000LL;
constexpr std::int32_t kSecondsPerMinute = 60;
constexpr std::int32_t kDefaultMinderSecond = THRUMLINE_MINDER_DEFAULT_SECOND;
// A replaced minder's step holds its slot for up to a minute. Past seven
// replacements within one minute, the newest call takes over the pending
// step of the call it replaces.
constexpr std::size_t kMinderSlots = 8;

constexpr PatternStep kMinderPulse[] = {{true, THRUMLINE_MINDER_PULSE_MS}};

// The followed call; none without a minder. Made on first use, so the
// library gains no load-time initialiser; let go when the library unloads.
StrongRef& minderCall() {
    static StrongRef call;
    return call;
}
int minderSlot = -1;  // the slot of its pending step; -1: no minder
// The minute grid: the call's start as the library sees it (a dispatch
// time), and the minute of it the pending step was timed for. Each step is
// timed from the grid, never from when the step before it ran, so that
// late timers do not add up.
std::uint64_t minderBase = 0;
std::int32_t minderMinute = 0;
bool slotPending[kMinderSlots] = {};

std::int32_t minderSecond() {
    const std::int32_t second = prefsValues.minuteMinderSecond;
    return second >= 1 && second < kSecondsPerMinute ? second : kDefaultMinderSecond;
}

void runMinderStep(std::size_t slot);

template <std::size_t Slot>
void minderStep() {
    runMinderStep(Slot);
}

// The step of `slot`, chosen in code: a table of the steps would be a
// table of function pointers in static data.
template <std::size_t Slot = 0>
StepFunction minderStepFor(std::size_t slot) {
    if constexpr (Slot + 1 < kMinderSlots) {
        if (slot != Slot) return minderStepFor<Slot + 1>(slot);
    }
    return &minderStep<Slot>;
}

// Times the step for the second read now of `minute` on the grid.
void scheduleMinderStep(std::size_t slot, std::int32_t minute) {
    slotPending[slot] = true;
    minderSlot = static_cast<int>(slot);
    minderMinute = minute;
    const std::int64_t seconds = std::int64_t{minute} * kSecondsPerMinute + minderSecond();
    scheduleOnMainQueue(seconds * kNanosPerSecond, minderStepFor(slot), StepPurpose::MinuteMinder,
                        minderBase);
}

void stopMinder() {
    minderSlot = -1;
    minderCall().reset();
}

void runMinderStep(std::size_t slot) {
    slotPending[slot] = false;
    // A replaced minder's step: its call was let go when it was replaced.
    if (static_cast<int>(slot) != minderSlot) return;
    if (!callVibrationsAllowed() || !prefsValues.minuteMinder ||
        !callIsConnected(minderCall().get())) {
        stopMinder();
        return;
    }
    if (prefsValues.oldMethod) {
        playClassicPulse();
    } else {
        playVibePattern(kMinderPulse, 1);
    }
    // The next minute; a second changed since this step was timed moves the
    // next one, not this one.
    scheduleMinderStep(slot, minderMinute + 1);
}

}  // namespace

void startMinuteMinder(Object call, std::int64_t connectedAgoNanos) {
    if (minderSlot >= 0 && minderCall().get() == call) return;
    // Held before the replaced call is let go.
    minderCall() = StrongRef::retain(host(), call);
    for (std::size_t slot = 0; slot < kMinderSlots; ++slot) {
        if (slotPending[slot]) continue;
        // The grid starts when the call connected; its first step is the
        // first of its minutes still to come.
        minderBase = host().dispatch_time(kDispatchTimeNow, -connectedAgoNanos);
        constexpr std::int64_t kMinute = kSecondsPerMinute * kNanosPerSecond;
        std::int64_t minute = connectedAgoNanos / kMinute;
        if (connectedAgoNanos % kMinute > minderSecond() * kNanosPerSecond) ++minute;
        scheduleMinderStep(slot, static_cast<std::int32_t>(minute));
        return;
    }
    // Every slot pending: the replaced minder's own step, if any, serves the
    // new call on the replaced call's grid.
    if (minderSlot < 0) stopMinder();
}

}  // namespace thrumline
