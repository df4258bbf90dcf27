#include "tweak/hooks/HookGroups.h"
#include "tweak/hooks/Hooks.h"
#include "tweak/settings/Settings.h"
#include "tweak/vibration/VibrationPatterns.h"

namespace thrumline {

MethodImp orig_iOS10_CHManager_databaseChanged = nullptr;
MethodImp orig_iOS10_SBTelephonyManager_setActiveCall = nullptr;
MethodImp orig_iOS11_SBTelephonyManager_setActiveCall = nullptr;
MethodImp orig_iOS11_SpringBoard_applicationDidFinishLaunching = nullptr;

namespace {

// Installs the group's method `index` as Substrate does: its class looked
// up right before its own hook; an absent class is passed on as it is and
// the group's other hook is installed all the same. Each replacement is
// named in code, never in a table: a table of function pointers would be
// signed pointers in static data on arm64e.
void installHook(const HookGroup& group, std::size_t index, MethodImp replacement,
                 MethodImp* slot) {
    HostServices& h = host();
    const HookedMethod& method = group.methods[index];
    Class cls = h.objc_getClass(method.className);
    h.MSHookMessageEx(cls, h.sel_registerName(method.selector), replacement, slot);
}

void observe(HostServices& h, const char* name, NotificationCallback callback) {
    h.CFNotificationCenterAddObserver(h.CFNotificationCenterGetDarwinNotifyCenter(), nullptr,
                                      callback, name, nullptr, kSuspensionBehaviorCoalesce);
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
    // In the order of each group's methods in HookGroups.h.
    if (version >= kLowestVersion_iOS10 && version <= kHighestVersion_iOS10) {
        installHook(kHookGroup_iOS10, 0, &hook_iOS10_CHManager_databaseChanged,
                    &orig_iOS10_CHManager_databaseChanged);
        installHook(kHookGroup_iOS10, 1, &hook_iOS10_SBTelephonyManager_setActiveCall,
                    &orig_iOS10_SBTelephonyManager_setActiveCall);
    } else if (version >= kLowestVersion_iOS11) {
        installHook(kHookGroup_iOS11, 0, &hook_iOS11_SBTelephonyManager_setActiveCall,
                    &orig_iOS11_SBTelephonyManager_setActiveCall);
        installHook(kHookGroup_iOS11, 1, &hook_iOS11_SpringBoard_applicationDidFinishLaunching,
                    &orig_iOS11_SpringBoard_applicationDidFinishLaunching);
    }
    // Any other version hooks nothing; observers and settings still start.
}

void startObservers() {
    HostServices& h = host();
    void* pool = h.objc_autoreleasePoolPush();
    // Registered in this order.
    observe(h, THRUMLINE_PREFS_CHANGED_NOTIFICATION, &PreferencesChangedCallback);
    observe(h, THRUMLINE_VIB1_PREVIEW_NOTIFICATION, &previewCallback<vib1Preview>);
    observe(h, THRUMLINE_VIB2_PREVIEW_NOTIFICATION, &previewCallback<vib2Preview>);
    observe(h, THRUMLINE_VIB3_PREVIEW_NOTIFICATION, &previewCallback<vib3Preview>);
    observe(h, THRUMLINE_VIB4_PREVIEW_NOTIFICATION, &previewCallback<vib4Preview>);
    refreshPrefs();
    h.objc_autoreleasePoolPop(pool);
}

}  // namespace thrumline
