// Start-up and the call hooks: the load-time initialisers, the hook groups
// with their replacements and slots, and the rules the call moments and the
// behaviours (tweak/behaviour) share.
#pragma once

#include <cstdint>

#include "tweak/platform/HostServices.h"
#include "tweak/settings/Contract.h"

namespace thrumline {

// The two start-up stages, run once each, in this order, by the library's one
// load-time initialiser: pick and install the hook group, then register the
// observers and load the settings.
void installHooks();
void startObservers();

// Each slot holds the host implementation its hook replaced; filled once by
// installHooks and only read afterwards.
extern MethodImp orig_iOS10_CHManager_databaseChanged;
extern MethodImp orig_iOS10_SBTelephonyManager_setActiveCall;
extern MethodImp orig_iOS11_SBTelephonyManager_setActiveCall;
extern MethodImp orig_iOS11_SpringBoard_applicationDidFinishLaunching;

// The replacements. Each calls the host implementation in its own slot once,
// with the receiver, selector and argument it received.
void hook_iOS10_CHManager_databaseChanged(Object self, Selector cmd, Object arg);
void hook_iOS10_SBTelephonyManager_setActiveCall(Object self, Selector cmd, Object call);
void hook_iOS11_SBTelephonyManager_setActiveCall(Object self, Selector cmd, Object call);
void hook_iOS11_SpringBoard_applicationDidFinishLaunching(Object self, Selector cmd,
                                                          Object application);

// Calls a saved host implementation. A slot stays empty only when its hook
// was never installed, so skipping it changes nothing the host relies on.
inline void callOriginal(MethodImp original, Object self, Selector cmd, Object arg) {
    if (original != nullptr) original(self, cmd, arg);
}

// Whether `call` is connected now: it has connected (isConnected, which
// stays YES for the rest of the call's life) and its status is not
// disconnecting (5) or disconnected (6). Every call moment and the minute
// minder judge a call by this one rule.
bool callIsConnected(Object call);

// Reads the clock the library's age is counted from; once, at load.
void noteLoadTime();

// Call vibrations and the minute minder need the feature on and the home
// screen past its launch.
bool callVibrationsAllowed();

}  // namespace thrumline
