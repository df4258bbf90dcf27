#include "hooks/HookGroups.h"
#include "hooks/Hooks.h"
#include "settings/Settings.h"
#include "vibration/VibrationPatterns.h"

namespace thrumline {

MethodImp orig_iOS10_CHManager_databaseChanged = nullptr;
MethodImp orig_iOS10_SBTelephonyManager_setActiveCall = nullptr;
MethodImp orig_iOS11_SBTelephonyManager_setActiveCall = nullptr;
MethodImp orig_iOS11_SpringBoard_applicationDidFinishLaunching = nullptr;

namespace {

// Each group's replacements and slots, in the order of its methods in
// HookGroups.h.
struct HookRow {
    MethodImp replacement;
    MethodImp* slot;
};

const HookRow kHooks_iOS10[] = {
    {&hook_iOS10_CHManager_databaseChanged, &orig_iOS10_CHManager_databaseChanged},
    {&hook_iOS10_SBTelephonyManager_setActiveCall, &orig_iOS10_SBTelephonyManager_setActiveCall},
};
const HookRow kHooks_iOS11[] = {
    {&hook_iOS11_SBTelephonyManager_setActiveCall, &orig_iOS11_SBTelephonyManager_setActiveCall},
    {&hook_iOS11_SpringBoard_applicationDidFinishLaunching,
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

void installGroup(const HookGroup& group, const HookRow (&rows)[2]) {
    HostServices& h = host();
    for (std::size_t i = 0; i < 2; ++i) {
        // Looked up right before its own hook; an absent class is passed on
        // as it is and the group's other hook is installed all the same.
        const HookedMethod& method = group.methods[i];
        Class cls = h.objc_getClass(method.className);
        h.MSHookMessageEx(cls, h.sel_registerName(method.selector), rows[i].replacement,
                          rows[i].slot);
    }
}

// The loader runs this once when the library is loaded. One initialiser
// calling both keeps their order certain on every platform's loader.
__attribute__((constructor)) void loadThrumline() {
    bindHost();
    noteLoadTime();
    installHooks();
    startObservers();
}

}  // namespace

void installHooks() {
    const double version = host().kCFCoreFoundationVersionNumber();
    if (version >= kLowestVersion_iOS10 && version <= kHighestVersion_iOS10) {
        installGroup(kHookGroup_iOS10, kHooks_iOS10);
    } else if (version >= kLowestVersion_iOS11) {
        installGroup(kHookGroup_iOS11, kHooks_iOS11);
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
