// The device backend of HostServices, bound at link time
// (THRUMLINE_HOST_LINKED): each operation forwards to the iOS call
// it is named after (libobjc, Cydia Substrate, CoreFoundation's Darwin
// notification center, the main dispatch queue, AudioToolbox, Foundation).
// Its implementation is Objective-C++ built without ARC; this header is plain
// C++ so that the library's C++ files and the binding need no Objective-C.
#pragma once

#include "tweak/platform/HostServices.h"

namespace thrumline::ios {

// The device backend, one per process and never destroyed. `fileRoot` is
// put in front of every file path the library names from now on; the device
// passes "" (the paths are the device's own), the Linux proof build a
// scratch folder that stands for the device's "/".
HostServices* deviceHost(const char* fileRoot);

}  // namespace thrumline::ios
