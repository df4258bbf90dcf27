// Keeps call vibrations quiet for seven seconds after the home screen has
// launched. The guard never touches the in-memory values: it stores
// isNotRespringing in the settings file and posts the change notification,
// and the library's own reload brings the value in.
#include "hooks/Hooks.h"
#include "settings/Settings.h"

namespace thrumline {

namespace {

// Reads the settings file afresh, so that whatever the settings pane wrote
// since the last load is kept, sets the one key and writes it back. A file
// that is not a readable dictionary is left alone and not created. The
// change notification is posted in every case.
void storeNotRespringing(bool value) {
    HostServices& h = host();
    StrongRef current = h.initWithContentsOfFile(kSettingsPath);
    if (current) {
        StrongRef flag = h.numberWithBool(value);
        h.setObject_forKey(current.get(), flag.get(), kIsNotRespringingKey);
        h.writeToFile_atomically(current.get(), kSettingsPath, true);
    }
    h.CFNotificationCenterPostNotification(h.CFNotificationCenterGetDarwinNotifyCenter(),
                                           kPrefsChangedNotification, nullptr, nullptr, true);
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
        callOriginal(orig_iOS11_SpringBoard_applicationDidFinishLaunching, self, cmd, application);
        return;
    }
    // Announced before the host's launch work runs...
    storeNotRespringing(false);
    callOriginal(orig_iOS11_SpringBoard_applicationDidFinishLaunching, self, cmd, application);
    // ...and the quiet period counted from the moment that work returned.
    HostServices& h = host();
    h.dispatch_after(h.dispatch_time(kDispatchTimeNow, kRespringQuietNanos),
                     h.dispatch_get_main_queue(), &endRespringGuard);
}

}  // namespace thrumline
