// The minute minder, which the call moments start (tweak/hooks/CallHooks.cpp).
#pragma once

#include <cstdint>

#include "tweak/platform/HostServices.h"

namespace thrumline {

// The minute minder: one short pulse a minute, at minuteMinderSecond past
// each minute of a connected call, for as long as a step finds the gate
// open, minuteMinder on and the call connected. Follows one call at a time,
// holding a reference to it; a newer call replaces the one it follows, the
// same call announced again changes nothing. `connectedAgoNanos`: how long
// before now the call connected (0 for a call that connects now); the
// minutes count from then.
void startMinuteMinder(Object call, std::int64_t connectedAgoNanos);

}  // namespace thrumline
