// Pattern output: on/off step lists played through AudioToolbox's
// vibration-pattern call, the figures the vibration numbers stand for, and
// the four previews the settings pane asks for.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tweak/platform/HostServices.h"
#include "tweak/settings/Contract.h"

namespace thrumline {

// Which call moment a vibration serves: First when a call connects (uses
// firstVibrationNumber and vibration1), Last when it ends (lastVibrationNumber
// and vibration2).
enum class VibrationSlot { First, Last };

// One step of a vibration pattern.
struct PatternStep {
    bool on;                  // vibrate, or pause
    std::int32_t durationMs;  // passed on unchanged, even when zero or negative
};

// AudioToolbox's vibrate sound, which plays the dictionary's pattern.
constexpr std::uint32_t kVibrateSoundID = THRUMLINE_VIBRATE_SOUND;

// The slot's vibration number, as the settings hold it now.
std::int32_t slotVibrationNumber(VibrationSlot slot);

// Builds the vibration dictionary ("VibePattern", "Intensity") for the steps
// and hands it to the platform; returns without waiting.
void playVibePattern(const PatternStep* steps, std::size_t count);
// Plays the figure the slot's vibration number picks (0 to 3), else nothing.
void playSlotPattern(VibrationSlot slot);
// Plays one pulse of the slot's pulse length, whatever its vibration number.
void playSinglePulse(VibrationSlot slot);

void vib1Preview();  // the first slot's figure
void vib2Preview();  // the last slot's figure
void vib3Preview();  // two pulses of vibration1
void vib4Preview();  // two pulses of vibration2

// The previews in the notification callback's form; the five values are ignored.
template <void (*Preview)()>
void previewCallback(NotificationCenter, void*, Object, const void*, Object) {
    Preview();
}

}  // namespace thrumline
