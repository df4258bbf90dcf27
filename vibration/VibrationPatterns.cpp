#include "vibration/VibrationPatterns.h"

#include "settings/Settings.h"

namespace thrumline {

namespace {

// Figure 3: one fixed rhythm for both slots, independent of the settings.
constexpr PatternStep kRhythmFigure[] = {
    {true, 50},   {false, 100}, {true, 50},   {false, 300}, {true, 50},
    {false, 300}, {true, 50},   {false, 100}, {true, 50},
};
constexpr std::size_t kLongestFigure = sizeof(kRhythmFigure) / sizeof(kRhythmFigure[0]);

std::int32_t pulseLength(VibrationSlot slot) {
    return slot == VibrationSlot::First ? prefsValues.vibration1 : prefsValues.vibration2;
}

// `pulses` pulses of `length` ms with `pause` ms between them.
void playPulses(int pulses, std::int32_t length, std::int32_t pause) {
    PatternStep steps[5];
    std::size_t count = 0;
    for (int i = 0; i < pulses; ++i) {
        if (i > 0) steps[count++] = {false, pause};
        steps[count++] = {true, length};
    }
    playVibePattern(steps, count);
}

}  // namespace

std::int32_t slotVibrationNumber(VibrationSlot slot) {
    return slot == VibrationSlot::First ? prefsValues.firstVibrationNumber
                                        : prefsValues.lastVibrationNumber;
}

void playVibePattern(const PatternStep* steps, std::size_t count) {
    HostServices& h = host();
    StrongRef dictionary = h.newMutableDictionary();
    StrongRef pattern = h.newMutableArray();
    {
        StrongRef intensity = h.numberWithInt(1);
        h.setObject_forKey(dictionary.get(), intensity.get(), "Intensity");
    }
    for (std::size_t i = 0; i < count; ++i) {
        StrongRef on = h.numberWithBool(steps[i].on);
        h.addObject(pattern.get(), on.get());
        StrongRef duration = h.numberWithInt(steps[i].durationMs);
        h.addObject(pattern.get(), duration.get());
    }
    h.setObject_forKey(dictionary.get(), pattern.get(), "VibePattern");
    h.AudioServicesPlaySystemSoundWithVibration(kVibrateSoundID, nullptr, dictionary.get());
}

void playSlotPattern(VibrationSlot slot) {
    const std::int32_t number = slotVibrationNumber(slot);
    switch (number) {
        case 0:
        case 1:
        case 2:
            playPulses(number + 1, pulseLength(slot), prefsValues.VibrationDuration);
            break;
        case 3:
            playVibePattern(kRhythmFigure, kLongestFigure);
            break;
        default:
            break;  // no figure: nothing plays
    }
}

void playSinglePulse(VibrationSlot slot) { playPulses(1, pulseLength(slot), 0); }

void vib1Preview() { playSlotPattern(VibrationSlot::First); }
void vib2Preview() { playSlotPattern(VibrationSlot::Last); }
void vib3Preview() { playPulses(2, prefsValues.vibration1, prefsValues.VibrationDuration); }
void vib4Preview() { playPulses(2, prefsValues.vibration2, prefsValues.VibrationDuration); }

}  // namespace thrumline
