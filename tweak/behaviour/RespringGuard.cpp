// Keeps call vibrations quiet for seven seconds after the home screen has
// launched. The guard never touches the in-memory values: it stores
// isNotRespringing in the settings file and posts the change notification,
// and the library's own reload brings the value in.
#include "tweak/hooks/Hooks.h"
#include "tweak/settings/Settings.h"
#include "tweak/vibration/PulseChains.h"

namespace thrumline {

namespace {

// Sets the one key in `current`, the settings file as just read, and writes
// it back; then posts the change notification. A file that is not a
// readable dictionary (null) is left alone and not created, and the
// notification is posted all the same.
void writeNotRespringing(Object current, bool value) {
    HostServices& h = host();
    if (current != nullptr) {
        StrongRef flag = h.numberWithBool(value);
        h.setObject_forKey(current, flag.get(), kIsNotRespringingKey);
        h.writeToFile_atomically(current, kSettingsPath, true);
    }
    h.CFNotificationCenterPostNotification(h.CFNotificationCenterGetDarwinNotifyCenter(),
                                           THRUMLINE_PREFS_CHANGED_NOTIFICATION, nullptr, nullptr,
                                           true);
}

// Reads the file afresh, so that whatever the settings pane wrote since the
// last load is kept.
void storeNotRespringing(bool value) {
    StrongRef current = host().initWithContentsOfFile(kSettingsPath);
    writeNotRespringing(current.get(), value);
}

// A process that died inside a quiet period left the key false in the file.
// A launch with the tweak off starts no quiet period, so nothing would end
// that one: switched on later, the tweak would keep every call silent until
// some later launch. Such a launch ends it instead, when the file holds
// false by the reader's rules, and does nothing else.
void endUnfinishedQuietPeriod() {
    HostServices& h = host();
    StrongRef current = h.initWithContentsOfFile(kSettingsPath);
    Object stored = h.objectForKeyedSubscript(current.get(), kIsNotRespringingKey);
    // A missing key, or one that is no Boolean, leaves the file alone.
    if (readBoolean(h, stored, h.sel_registerName("boolValue"), true)) return;
    writeNotRespringing(current.get(), true);
}

// The quiet period after a launch.
constexpr std::int64_t kRespringQuietNanos = 7000000000LL;

// Ends the quiet period the launch hook began. Runs on the main queue.
void endRespringGuard() { storeNotRespringing(true); }

}  // namespace

void hook_iOS11_SpringBoard_applicationDidFinishLaunching(Object self, Selector cmd,
                                                          Object application) {
    const StrongRef held = StrongRef::retain(host(), application);
    if (!prefsValues.isEnabled) {
        endUnfinishedQuietPeriod();
        callOriginal(orig_iOS11_SpringBoard_applicationDidFinishLaunching, self, cmd, application);
        return;
    }
    // Announced before the host's launch work runs...
    storeNotRespringing(false);
    callOriginal(orig_iOS11_SpringBoard_applicationDidFinishLaunching, self, cmd, application);
    // ...and the quiet period counted from the moment that work returned.
    scheduleOnMainQueue(kRespringQuietNanos, &endRespringGuard, StepPurpose::QuietPeriodEnd);
}

}  // namespace thrumline
