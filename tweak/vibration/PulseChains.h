// Classic output: the classic system vibration, alone or as a chain of pulses spaced on
// the main queue.
#pragma once

#include <cstdint>

#include "tweak/vibration/VibrationPatterns.h"

namespace thrumline {

// The system's classic vibration.
constexpr std::uint32_t kClassicPulseSoundID = THRUMLINE_CLASSIC_SOUND;

// Queues a step on the main queue, offsetNanos from `base`: now, or an
// earlier result of dispatch_time.
void scheduleOnMainQueue(std::int64_t offsetNanos, StepFunction step, StepPurpose purpose,
                         std::uint64_t base = kDispatchTimeNow);

// Plays one classic pulse before returning.
void playClassicPulse();
// By the slot's vibration number: 0 one pulse at once; 1 or 2 a chain of two
// or three pulses whose first step is queued on the main queue; else nothing.
void playPulseChain(VibrationSlot slot);

}  // namespace thrumline
