// A stand-in for the library with the same way in: at load it binds to the
// process's services, hooks setActiveCall: and databaseChanged:, and
// schedules a step; at unload its global destructor releases an object
// through the services.
#include <cstdint>

#include "host/HostServices.h"

using namespace thrumline;

namespace {

HostServices* services = nullptr;
MethodImp original = nullptr;
MethodImp originalHistory = nullptr;
std::uint32_t loads = 0;  // starts at 0 in every fresh copy
StrongRef kept;           // released at unload, through the services

void replacement(Object self, Selector cmd, Object call) {
    const StrongRef held = StrongRef::retain(*services, call);
    original(self, cmd, call);
    if (services->isConnected(call)) services->AudioServicesPlaySystemSound(1000);
}

void step() { services->AudioServicesPlaySystemSound(2000 + loads); }

// Hands a step to the main queue, as the host allows from any thread, and
// asks a call's isConnected, as it allows only on the main thread.
void historyReplacement(Object self, Selector cmd, Object arg) {
    originalHistory(self, cmd, arg);
    services->dispatch_after(services->dispatch_time(kDispatchTimeNow, 0),
                             services->dispatch_get_main_queue(), &step, StepPurpose::PulseChain);
    services->isConnected(nullptr);
}

__attribute__((constructor)) void load() {
    services = thrumlineBindHost();
    ++loads;
    services->MSHookMessageEx(services->objc_getClass("SBTelephonyManager"),
                              services->sel_registerName("setActiveCall:"), &replacement,
                              &original);
    services->MSHookMessageEx(services->objc_getClass("CHManager"),
                              services->sel_registerName("databaseChanged:"), &historyReplacement,
                              &originalHistory);
    kept = services->newMutableDictionary();
    services->dispatch_after(services->dispatch_time(kDispatchTimeNow, 0),
                             services->dispatch_get_main_queue(), &step, StepPurpose::PulseChain);
}

}  // namespace
