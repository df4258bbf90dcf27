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

}  // namespace thrumline
