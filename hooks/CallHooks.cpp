// Turns the host's call events into vibrations. Each replacement lets the
// host do its own work first, then decides from the settings as they stand.
#include "hooks/Hooks.h"
#include "settings/Settings.h"
#include "vibration/PulseChains.h"
#include "vibration/VibrationPatterns.h"

namespace thrumline {

bool callVibrationsAllowed() { return prefsValues.isEnabled && prefsValues.isNotRespringing; }

namespace {

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

// A connected call past the gate. The minder follows it whatever its
// direction: only the vibration waits for an outgoing call.
void callConnected(Object call) {
    if (!prefsValues.connectOutgoingOnly || host().isOutgoing(call)) {
        vibrateForSlot(VibrationSlot::First);
    }
    if (prefsValues.minuteMinder) startMinuteMinder(call);
}

}  // namespace

// The strong reference on the call lives for the whole replacement: the host
// may drop its own reference while its implementation runs, and a failure
// it raises passes through with the reference released. databaseChanged:'s
// argument is never used and need not be an object: it is passed on
// untouched, as a message to a non-object would crash the home screen.

void hook_iOS10_CHManager_databaseChanged(Object self, Selector cmd, Object arg) {
    callOriginal(orig_iOS10_CHManager_databaseChanged, self, cmd, arg);
    if (!callVibrationsAllowed()) return;
    vibrateForSlot(VibrationSlot::Last);
}

void hook_iOS10_SBTelephonyManager_setActiveCall(Object self, Selector cmd, Object call) {
    const StrongRef held = StrongRef::retain(host(), call);
    callOriginal(orig_iOS10_SBTelephonyManager_setActiveCall, self, cmd, call);
    if (!callVibrationsAllowed()) return;
    // On iOS 10 the end of a call is signalled by the call history instead.
    if (host().isConnected(call)) callConnected(call);
}

void hook_iOS11_SBTelephonyManager_setActiveCall(Object self, Selector cmd, Object call) {
    const StrongRef held = StrongRef::retain(host(), call);
    callOriginal(orig_iOS11_SBTelephonyManager_setActiveCall, self, cmd, call);
    if (!callVibrationsAllowed()) return;
    // A nil call counts as not connected: the call ended.
    if (host().isConnected(call)) {
        callConnected(call);
    } else {
        vibrateForSlot(VibrationSlot::Last);
    }
}

}  // namespace thrumline
