#include "tweak/vibration/VibrationPatterns.h"

#include <cstddef>

#include "tweak/settings/Settings.h"

namespace thrumline {

namespace {

// Figure 3: one fixed rhythm for both slots, independent of the settings.
constexpr std::int32_t kRhythmFigureMs[] = {THRUMLINE_RHYTHM_FIGURE_MS};
constexpr std::size_t kRhythmFigureSteps = sizeof(kRhythmFigureMs) / sizeof(kRhythmFigureMs[0]);

struct RhythmFigure {
    PatternStep steps[kRhythmFigureSteps];
};

// On and off in turn, starting on; made by the compiler, so no load-time work.
constexpr RhythmFigure makeRhythmFigure() {
    RhythmFigure figure{};
    for (std::size_t i = 0; i < kRhythmFigureSteps; ++i) {
        figure.steps[i] = {i % 2 == 0, kRhythmFigureMs[i]};
    }
    return figure;
}
constexpr RhythmFigure kRhythmFigure = makeRhythmFigure();

// Figures 0 to 2 are one to three pulses with a pause between each two.
constexpr int kMostPulses = 3;
constexpr std::size_t kMostPulseSteps = 2 * kMostPulses - 1;

std::int32_t pulseLength(VibrationSlot slot) {
    return slot == VibrationSlot::First ? prefsValues.vibration1 : prefsValues.vibration2;
}

// `pulses` (1 to kMostPulses) pulses of `length` ms with `pause` ms between them.
template <int Pulses>
void playPulses(std::int32_t length, std::int32_t pause) {
    static_assert(Pulses >= 1 && 2 * Pulses - 1 <= static_cast<int>(kMostPulseSteps),
                  "the pulses and their pauses fit the step buffer");
    PatternStep steps[kMostPulseSteps];
    std::size_t count = 0;
    for (int i = 0; i < Pulses; ++i) {
        if (i > 0) steps[count++] = {false, pause};
        steps[count++] = {true, length};
    }
    playVibePattern(steps, count);
}

}  // namespace

void playVibePattern(const PatternStep* steps, std::size_t count) {
    HostServices& h = host();
    StrongRef dictionary = h.newMutableDictionary();
    StrongRef pattern = h.newMutableArray();
    {
        StrongRef intensity = h.numberWithInt(THRUMLINE_PATTERN_INTENSITY);
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

std::int32_t slotVibrationNumber(VibrationSlot slot) {
    return slot == VibrationSlot::First ? prefsValues.firstVibrationNumber
                                        : prefsValues.lastVibrationNumber;
}

void playSlotPattern(VibrationSlot slot) {
    const std::int32_t number = slotVibrationNumber(slot);
    switch (number) {
        case 0:
            playPulses<1>(pulseLength(slot), prefsValues.VibrationDuration);
            break;
        case 1:
            playPulses<2>(pulseLength(slot), prefsValues.VibrationDuration);
            break;
        case 2:
            playPulses<kMostPulses>(pulseLength(slot), prefsValues.VibrationDuration);
            break;
        case 3:
            playVibePattern(kRhythmFigure.steps, kRhythmFigureSteps);
            break;
        default:
            break;  // no figure: nothing plays
    }
}

void playSinglePulse(VibrationSlot slot) { playPulses<1>(pulseLength(slot), 0); }

void vib1Preview() { playSlotPattern(VibrationSlot::First); }
void vib2Preview() { playSlotPattern(VibrationSlot::Last); }
void vib3Preview() { playPulses<2>(prefsValues.vibration1, prefsValues.VibrationDuration); }
void vib4Preview() { playPulses<2>(prefsValues.vibration2, prefsValues.VibrationDuration); }

}  // namespace thrumline
