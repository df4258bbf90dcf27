#include "hooks/Hooks.h"
#include "settings/Settings.h"
#include "vibration/VibrationPatterns.h"

namespace thrumline {

MethodImp orig_iOS10_CHManager_databaseChanged = nullptr;
MethodImp orig_iOS10_SBTelephonyManager_setActiveCall = nullptr;
MethodImp orig_iOS11_SBTelephonyManager_setActiveCall = nullptr;
MethodImp orig_iOS11_SpringBoard_applicationDidFinishLaunching = nullptr;

namespace {

struct HookRow {
    const char* className;
    const char* selector;
    MethodImp replacement;
    MethodImp* slot;
};

// Installed in this order within each group.
const HookRow kHooks_iOS10[] = {
    {"CHManager", "databaseChanged:", &hook_iOS10_CHManager_databaseChanged,
     &orig_iOS10_CHManager_databaseChanged},
    {"SBTelephonyManager", "setActiveCall:", &hook_iOS10_SBTelephonyManager_setActiveCall,
     &orig_iOS10_SBTelephonyManager_setActiveCall},
};
const HookRow kHooks_iOS11[] = {
    {"SBTelephonyManager", "setActiveCall:", &hook_iOS11_SBTelephonyManager_setActiveCall,
     &orig_iOS11_SBTelephonyManager_setActiveCall},
    {"SpringBoard",
     "applicationDidFinishLaunching:", &hook_iOS11_SpringBoard_applicationDidFinishLaunching,
     &orig_iOS11_SpringBoard_applicationDidFinishLaunching},
};

struct ObservedNotification {
    const char* name;
    NotificationCallback callback;
};

// Registered in this order.
const ObservedNotification kObservedNotifications[] = {
    {kPrefsChangedNotification, &PreferencesChangedCallback},
    {kVib1PreviewNotification, &previewCallback<vib1Preview>},
    {kVib2PreviewNotification, &previewCallback<vib2Preview>},
    {kVib3PreviewNotification, &previewCallback<vib3Preview>},
    {kVib4PreviewNotification, &previewCallback<vib4Preview>},
};

void installGroup(const HookRow (&group)[2]) {
    HostServices& h = host();
    for (const HookRow& row : group) {
        // Looked up right before its own hook; an absent class is passed on
        // as it is and the group's other hook is installed all the same.
        Class cls = h.objc_getClass(row.className);
        h.MSHookMessageEx(cls, h.sel_registerName(row.selector), row.replacement, row.slot);
    }
}

// CoreFoundation versions that choose the hook group. iOS10 runs from the
// lowest to the highest iOS 10 version, both included; iOS11 covers iOS 11
// and everything after it.
constexpr double kLowestVersion_iOS10 = 1348.0;
constexpr double kHighestVersion_iOS10 = 1442.99;
constexpr double kLowestVersion_iOS11 = 1443.0;

// The loader runs this once when the library is loaded. One initialiser
// calling both keeps their order certain on every platform's loader.
__attribute__((constructor)) void loadThrumline() {
    bindHost();
    installHooks();
    startObservers();
}

}  // namespace

void installHooks() {
    const double version = host().kCFCoreFoundationVersionNumber();
    if (version >= kLowestVersion_iOS10 && version <= kHighestVersion_iOS10) {
        installGroup(kHooks_iOS10);
    } else if (version >= kLowestVersion_iOS11) {
        installGroup(kHooks_iOS11);
    }
    // Any other version hooks nothing; observers and settings still start.
}

void startObservers() {
    HostServices& h = host();
    void* pool = h.objc_autoreleasePoolPush();
    for (const ObservedNotification& row : kObservedNotifications) {
        h.CFNotificationCenterAddObserver(h.CFNotificationCenterGetDarwinNotifyCenter(), nullptr,
                                          row.callback, row.name, nullptr,
                                          kSuspensionBehaviorCoalesce);
    }
    refreshPrefs();
    h.objc_autoreleasePoolPop(pool);
}

}  // namespace thrumline
