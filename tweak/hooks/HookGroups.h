// The hook groups: which host methods each replaces, in the order it
// installs them. The library pairs each method with its replacement and slot
// (StartUp.cpp); the simulator names the group a process installed from the
// same table.
#pragma once

#include <cstddef>

namespace thrumline {

struct HookedMethod {
    const char* className;
    const char* selector;
};

struct HookGroup {
    const char* name;
    HookedMethod methods[2];
};

constexpr HookGroup kHookGroup_iOS10 = {
    "iOS10", {{"CHManager", "databaseChanged:"}, {"SBTelephonyManager", "setActiveCall:"}}};
constexpr HookGroup kHookGroup_iOS11 = {
    "iOS11",
    {{"SBTelephonyManager", "setActiveCall:"}, {"SpringBoard", "applicationDidFinishLaunching:"}}};

constexpr const HookGroup* kHookGroups[] = {&kHookGroup_iOS10, &kHookGroup_iOS11};

// CoreFoundation versions that choose the hook group. iOS10 runs from the
// lowest to the highest iOS 10 version, both included; iOS11 covers iOS 11
// and everything after it. The simulator's processes run iOS 11's lowest
// version unless told otherwise.
constexpr double kLowestVersion_iOS10 = 1348.0;
constexpr double kHighestVersion_iOS10 = 1442.99;
constexpr double kLowestVersion_iOS11 = 1443.0;

}  // namespace thrumline
