// Turns the host's call announcements into call moments. The home screen
// announces the same connected call again and again (status events, back
// from hold, every refresh) and announces nil when nothing ended (hold,
// refresh), so a moment is a change in what the library has seen: a
// connected call it has not seen before, or a call it saw connected that no
// longer is (its status says it ended: isConnected stays YES once a call
// has connected). Each replacement lets the host do its own work first; the
// memory follows every announcement, and only the output waits for the gate.
#include <cstddef>

#include "tweak/behaviour/MinuteMinder.h"
#include "tweak/hooks/Hooks.h"
#include "tweak/settings/Settings.h"
#include "tweak/vibration/PulseChains.h"
#include "tweak/vibration/VibrationPatterns.h"

// Every announcement runs through here, but rarely: size counts more than
// speed, and the library must stay small.
#ifdef __clang__
#pragma clang attribute push(__attribute__((minsize)), apply_to = function)
#endif

namespace thrumline {

bool callVibrationsAllowed() { return prefsValues.isEnabled && prefsValues.isNotRespringing; }

namespace {

// Disconnecting (5) or disconnected (6).
bool statusSaysEnded(Object call) {
    const std::int32_t status = host().status(call);
    return status == 5 || status == 6;
}

}  // namespace

bool callIsConnected(Object call) { return host().isConnected(call) && !statusSaysEnded(call); }

namespace {

std::uint64_t loadTicks = 0;  // mach_absolute_time when the library was loaded

// A call that connected before this copy of the library was loaded: one
// the home screen restores after a respring, in whatever order its events
// come. The clock's ticks and the call's seconds are compared within half
// a millisecond, so a call that connects as the library loads is not one.
bool connectedBeforeLoad(Object call, std::int64_t& connectedAgoNanos) {
    HostServices& h = host();
    std::uint32_t numer = 0, denom = 0;
    h.mach_timebase_info(numer, denom);
    const double ageNanos =
        denom != 0 ? static_cast<double>(h.mach_absolute_time() - loadTicks) * numer / denom : 0;
    const double connectedAgo = h.callDuration(call) * 1e9;
    connectedAgoNanos = static_cast<std::int64_t>(connectedAgo);
    return connectedAgo > ageNanos + 500000.0;
}

}  // namespace

void noteLoadTime() { loadTicks = host().mach_absolute_time(); }

namespace {

// More calls than a phone keeps at once (active, held, waiting); a fifth
// lets the oldest go.
constexpr std::size_t kRememberedCalls = 4;

// The calls seen connected, oldest first, each held so that its end can
// still be asked of it; after them the call the host last announced (none:
// nil), held for the same reason. Made on first use, so the library gains
// no load-time initialiser; let go when the library unloads. Not inlined:
// one copy of its guard keeps the library small.
constexpr std::size_t kAnnounced = kRememberedCalls;
__attribute__((noinline)) StrongRef* heldCalls() {
    static StrongRef calls[kRememberedCalls + 1];
    return calls;
}
std::size_t rememberedCount = 0;

// Where `call` is among the remembered calls, or kRememberedCalls.
std::size_t rememberedIndex(Object call) {
    StrongRef* calls = heldCalls();
    for (std::size_t i = 0; i < rememberedCount; ++i) {
        if (call != nullptr && calls[i].get() == call) return i;
    }
    return kRememberedCalls;
}

void forgetAt(std::size_t index) {
    StrongRef* calls = heldCalls();
    --rememberedCount;
    // The later calls move up, the first move letting the forgotten one go.
    // (Casts, not std::move: the phone build has no <utility>.)
    for (std::size_t i = index; i < rememberedCount; ++i) {
        calls[i] = static_cast<StrongRef&&>(calls[i + 1]);
    }
    calls[rememberedCount].reset();
}

void remember(Object call) {
    if (rememberedCount == kRememberedCalls) forgetAt(0);
    heldCalls()[rememberedCount++] = StrongRef::retain(host(), call);
}

// How an announcement tells that a call ended. iOS 11 and later: it is no
// longer connected. iOS 10 only by its status: whether its stored
// connected flag is cleared at the end, or also on hold, is not known.
enum class EndRule { NotConnected, StatusOnly };

bool hasEnded(Object call, EndRule rule) {
    return rule == EndRule::StatusOnly ? statusSaysEnded(call) : !callIsConnected(call);
}

// Forgets `call` if it is remembered and has ended; true if so.
bool forgetEnded(Object call, EndRule rule) {
    const std::size_t index = rememberedIndex(call);
    if (index == kRememberedCalls || !hasEnded(call, rule)) return false;
    forgetAt(index);
    return true;
}

// A connected call not seen before becomes remembered; true if so.
bool rememberNew(Object call, bool connected) {
    if (!connected || rememberedIndex(call) != kRememberedCalls) return false;
    remember(call);
    return true;
}

// One output for the slot, by output method and vibration numbers.
void vibrateForSlot(VibrationSlot slot) {
    if (!prefsValues.oldMethod) {
        if (prefsValues.isVibrationsNumber) {
            playSlotPattern(slot);
        } else {
            playSinglePulse(slot);
        }
    } else if (prefsValues.isVibrationsNumber) {
        playPulseChain(slot);
    } else {
        playClassicPulse();
    }
}

// A connected moment past the gate. The minder follows the call whatever
// its direction: only the vibration waits for an outgoing call.
void callConnected(Object call) {
    if (!prefsValues.connectOutgoingOnly || host().isOutgoing(call)) {
        vibrateForSlot(VibrationSlot::First);
    }
    if (prefsValues.minuteMinder) startMinuteMinder(call, 0);
}

// The host announced `call` (nil included). The call that was announced
// before ends when nil or another call replaces it, the announced one when
// it comes ended; either way one moment, before a connected one.
void callAnnounced(Object call, EndRule rule) {
    const bool connected = callIsConnected(call);
    // Still held as the announced call while it is looked at.
    const Object previous = heldCalls()[kAnnounced].get();
    bool ended = previous != call && forgetEnded(previous, rule);
    if (rule == EndRule::StatusOnly ? statusSaysEnded(call) : !connected) {
        const std::size_t index = rememberedIndex(call);
        if (index != kRememberedCalls) {
            forgetAt(index);
            ended = true;
        }
    }
    heldCalls()[kAnnounced] = StrongRef::retain(host(), call);
    const bool connects = rememberNew(call, connected);
    std::int64_t connectedAgo = 0;
    const bool restored = connects && connectedBeforeLoad(call, connectedAgo);
    if (callVibrationsAllowed()) {
        if (ended) vibrateForSlot(VibrationSlot::Last);
        if (connects && !restored) callConnected(call);
    }
    // A restored call is remembered in silence; its minder starts whatever
    // the order of the launch's quiet period and the call's announcement,
    // and its steps meet the gate as every minder's do.
    if (restored && prefsValues.isEnabled && prefsValues.minuteMinder) {
        startMinuteMinder(call, connectedAgo);
    }
}

// Both groups' setActiveCall:, one copy to keep the library small. The
// strong reference on the call lives for the whole replacement: the host
// may drop its own reference while its implementation runs, and a failure
// it raises passes through with the reference released.
void activeCallSet(MethodImp original, Object self, Selector cmd, Object call, EndRule rule) {
    const StrongRef held = StrongRef::retain(host(), call);
    callOriginal(original, self, cmd, call);
    callAnnounced(call, rule);
}

// The call history changed for one of many reasons (a missed call, a
// deleted entry, a sync); only a remembered call that no longer is
// connected makes it the end of a call, and one change is one end however
// many it finds. Runs on the main queue, where the library's state lives.
void callHistoryChanged() {
    bool ended = false;
    for (std::size_t i = rememberedCount; i-- > 0;) {
        if (callIsConnected(heldCalls()[i].get())) continue;
        forgetAt(i);
        ended = true;
    }
    if (ended && callVibrationsAllowed()) vibrateForSlot(VibrationSlot::Last);
}

}  // namespace

// The host may send this on its call history's own queue, not the main
// thread: past the host's own work, it only hands the library's to the main
// queue. Its argument is passed on untouched: it need not be an object.
void hook_iOS10_CHManager_databaseChanged(Object self, Selector cmd, Object arg) {
    callOriginal(orig_iOS10_CHManager_databaseChanged, self, cmd, arg);
    scheduleOnMainQueue(0, &callHistoryChanged, StepPurpose::CallHistory);
}

// iOS 10 also finds an end here, by the call's status, so that it does not
// rest on the call history alone: whether the home screen holds one is not
// known. Whichever finds an end first ends the call.
void hook_iOS10_SBTelephonyManager_setActiveCall(Object self, Selector cmd, Object call) {
    activeCallSet(orig_iOS10_SBTelephonyManager_setActiveCall, self, cmd, call,
                  EndRule::StatusOnly);
}

void hook_iOS11_SBTelephonyManager_setActiveCall(Object self, Selector cmd, Object call) {
    activeCallSet(orig_iOS11_SBTelephonyManager_setActiveCall, self, cmd, call,
                  EndRule::NotConnected);
}

}  // namespace thrumline

#ifdef __clang__
#pragma clang attribute pop
#endif
