// Turns the host's call events into vibrations. Each replacement lets the
// host do its own work first, then decides from the settings as they stand.
#include "hooks/Hooks.h"
#include "settings/Settings.h"
#include "vibration/PulseChains.h"
#include "vibration/VibrationPatterns.h"

namespace thrumline {

namespace {

// Call vibrations need the feature on and the home screen past its launch.
bool callVibrationsAllowed() { return prefsValues.isEnabled && prefsValues.isNotRespringing; }

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

}  // namespace

// The strong reference on the argument lives for the whole replacement: the
// host may drop its own reference while its implementation runs, and a
// failure it raises passes through with the reference released.

void hook_iOS10_CHManager_databaseChanged(Object self, Selector cmd, Object arg) {
    const StrongRef held = StrongRef::retain(host(), arg);
    callOriginal(orig_iOS10_CHManager_databaseChanged, self, cmd, arg);
    if (!callVibrationsAllowed()) return;
    vibrateForSlot(VibrationSlot::Last);
}

void hook_iOS10_SBTelephonyManager_setActiveCall(Object self, Selector cmd, Object call) {
    const StrongRef held = StrongRef::retain(host(), call);
    callOriginal(orig_iOS10_SBTelephonyManager_setActiveCall, self, cmd, call);
    if (!callVibrationsAllowed()) return;
    // On iOS 10 the end of a call is signalled by the call history instead.
    if (host().isConnected(call)) vibrateForSlot(VibrationSlot::First);
}

void hook_iOS11_SBTelephonyManager_setActiveCall(Object self, Selector cmd, Object call) {
    const StrongRef held = StrongRef::retain(host(), call);
    callOriginal(orig_iOS11_SBTelephonyManager_setActiveCall, self, cmd, call);
    if (!callVibrationsAllowed()) return;
    // A nil call counts as not connected: the call ended.
    vibrateForSlot(host().isConnected(call) ? VibrationSlot::First : VibrationSlot::Last);
}

}  // namespace thrumline
