// Binds the library to the device backend when SpringBoard loads it.
#include "tweak/device/IosHost.h"

extern "C" thrumline::HostServices* thrumlineBindHost() {
    // Never destroyed: hooks, observers and scheduled steps reach it until
    // the process ends.
    return thrumline::ios::deviceHost("");
}
