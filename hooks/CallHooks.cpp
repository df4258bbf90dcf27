// Turns the host's call announcements into call moments. The home screen
// announces the same connected call again and again (status events, back
// from hold, every refresh) and announces nil when nothing ended (hold,
// refresh), so a moment is a change in what the library has seen: a
// connected call it has not seen before, or a call it saw connected that no
// longer is. Each replacement lets the host do its own work first; the
// memory follows every announcement, and only the output waits for the gate.
#include <cstddef>

#include "hooks/Hooks.h"
#include "settings/Settings.h"
#include "vibration/PulseChains.h"
#include "vibration/VibrationPatterns.h"

namespace thrumline {

bool callVibrationsAllowed() { return prefsValues.isEnabled && prefsValues.isNotRespringing; }

namespace {

// More calls than a phone keeps at once (active, held, waiting); a fifth
// lets the oldest go.
constexpr std::size_t kRememberedCalls = 4;

// The calls seen connected, oldest first, each held so that its end can
// still be asked of it. Made on first use, so the library gains no
// load-time initialiser; let go when the library unloads.
StrongRef* rememberedCalls() {
    static StrongRef calls[kRememberedCalls];
    return calls;
}
std::size_t rememberedCount = 0;

// The call the host last announced (none: nil), held for the same reasons.
StrongRef& announcedCall() {
    static StrongRef call;
    return call;
}

// Where `call` is among the remembered calls, or kRememberedCalls.
std::size_t rememberedIndex(Object call) {
    StrongRef* calls = rememberedCalls();
    for (std::size_t i = 0; i < rememberedCount; ++i) {
        if (call != nullptr && calls[i].get() == call) return i;
    }
    return kRememberedCalls;
}

void forgetAt(std::size_t index) {
    StrongRef* calls = rememberedCalls();
    // Let go only once the memory is whole again. (Casts, not std::move:
    // the phone build has no <utility>.)
    const StrongRef gone = static_cast<StrongRef&&>(calls[index]);
    for (std::size_t i = index + 1; i < rememberedCount; ++i) {
        calls[i - 1] = static_cast<StrongRef&&>(calls[i]);
    }
    --rememberedCount;
}

void remember(Object call) {
    if (rememberedCount == kRememberedCalls) forgetAt(0);
    rememberedCalls()[rememberedCount++] = StrongRef::retain(host(), call);
}

// Forgets `call` if it is remembered and no longer connected; true if so.
bool forgetEnded(Object call) {
    const std::size_t index = rememberedIndex(call);
    if (index == kRememberedCalls || host().isConnected(call)) return false;
    forgetAt(index);
    return true;
}

// Takes note of an announcement and hands back the one before it.
StrongRef noteAnnounced(Object call) {
    StrongRef previous = static_cast<StrongRef&&>(announcedCall());
    announcedCall() = StrongRef::retain(host(), call);
    return previous;
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
    if (prefsValues.minuteMinder) startMinuteMinder(call);
}

}  // namespace

// The call history changes for many reasons (a missed call, a deleted
// entry, a sync); only a remembered call that no longer is connected makes
// it the end of a call. Its argument is passed on untouched: it need not be
// an object.
void hook_iOS10_CHManager_databaseChanged(Object self, Selector cmd, Object arg) {
    callOriginal(orig_iOS10_CHManager_databaseChanged, self, cmd, arg);
    bool ended = false;
    for (std::size_t i = rememberedCount; i-- > 0;) {
        if (host().isConnected(rememberedCalls()[i].get())) continue;
        forgetAt(i);
        ended = true;
    }
    if (ended && callVibrationsAllowed()) vibrateForSlot(VibrationSlot::Last);
}

// The strong reference on the call lives for the whole replacement: the
// host may drop its own reference while its implementation runs, and a
// failure it raises passes through with the reference released.

void hook_iOS10_SBTelephonyManager_setActiveCall(Object self, Selector cmd, Object call) {
    const StrongRef held = StrongRef::retain(host(), call);
    callOriginal(orig_iOS10_SBTelephonyManager_setActiveCall, self, cmd, call);
    const bool connects = rememberNew(call, host().isConnected(call));
    noteAnnounced(call);
    // On iOS 10 the end of a call is signalled by the call history instead.
    if (connects && callVibrationsAllowed()) callConnected(call);
}

void hook_iOS11_SBTelephonyManager_setActiveCall(Object self, Selector cmd, Object call) {
    const StrongRef held = StrongRef::retain(host(), call);
    callOriginal(orig_iOS11_SBTelephonyManager_setActiveCall, self, cmd, call);
    const bool connected = host().isConnected(call);
    const StrongRef previous = noteAnnounced(call);
    // The call that was active ends when nil or another call replaces it,
    // the announced one when it comes not connected; either way one moment.
    bool ended = previous.get() != call && forgetEnded(previous.get());
    if (!connected) {
        const std::size_t index = rememberedIndex(call);
        if (index != kRememberedCalls) {
            forgetAt(index);
            ended = true;
        }
    }
    const bool connects = rememberNew(call, connected);
    if (!callVibrationsAllowed()) return;
    if (ended) vibrateForSlot(VibrationSlot::Last);
    if (connects) callConnected(call);
}

}  // namespace thrumline
