#include "tweak/vibration/PulseChains.h"

#include "tweak/settings/Settings.h"

namespace thrumline {

void scheduleOnMainQueue(std::int64_t offsetNanos, StepFunction step, StepPurpose purpose,
                         std::uint64_t base) {
    HostServices& h = host();
    h.dispatch_after(h.dispatch_time(base, offsetNanos), h.dispatch_get_main_queue(), step,
                     purpose);
}

namespace {

// The gap before the next pulse of a chain, in nanoseconds: twice
// VibrationDuration milliseconds, read when called.
std::int64_t pulseChainGapNanos() {
    // Widened before doubling: no value of the setting can overflow.
    return 2 * static_cast<std::int64_t>(prefsValues.VibrationDuration) * 1000000;
}

// A chain's step knows only how many pulses are still to come after its own;
// it reads VibrationDuration when it runs, so a reload changes the gaps still
// to come. Nothing cancels a chain once its first step is queued.
template <int PulsesToCome>
struct PulseChain {
    static void run();
};

template <int PulsesToCome>
void PulseChain<PulsesToCome>::run() {
    playClassicPulse();
    scheduleOnMainQueue(pulseChainGapNanos(), &PulseChain<PulsesToCome - 1>::run,
                        StepPurpose::PulseChain);
}

template <>
void PulseChain<0>::run() {
    playClassicPulse();
}

}  // namespace

void playClassicPulse() { host().AudioServicesPlaySystemSound(kClassicPulseSoundID); }

void playPulseChain(VibrationSlot slot) {
    switch (slotVibrationNumber(slot)) {
        case 0:
            playClassicPulse();
            break;
        case 1:
            scheduleOnMainQueue(0, &PulseChain<1>::run, StepPurpose::PulseChain);
            break;
        case 2:
            scheduleOnMainQueue(0, &PulseChain<2>::run, StepPurpose::PulseChain);
            break;
        default:
            break;  // classic output has no figure 3 and no others
    }
}

}  // namespace thrumline
