#include "vibration/PulseChains.h"

#include "settings/Settings.h"

namespace thrumline {

namespace {

void scheduleOnMainQueue(std::int64_t offsetNanos, DispatchStep step) {
    HostServices& h = host();
    h.dispatch_after(h.dispatch_time(kDispatchTimeNow, offsetNanos), h.dispatch_get_main_queue(),
                     step);
}

}  // namespace

template <int PulsesToCome>
void PulseChain<PulsesToCome>::step() {
    playClassicPulse();
    scheduleOnMainQueue(pulseChainGapNanos(), &PulseChain<PulsesToCome - 1>::step);
}

template <>
void PulseChain<0>::step() {
    playClassicPulse();
}

std::int64_t pulseChainGapNanos() {
    // Widened before doubling: no value of the setting can overflow.
    return 2 * static_cast<std::int64_t>(prefsValues.VibrationDuration) * 1000000;
}

void playClassicPulse() { host().AudioServicesPlaySystemSound(kClassicPulseSoundID); }

void playPulseChain(VibrationSlot slot) {
    switch (slotVibrationNumber(slot)) {
        case 0:
            playClassicPulse();
            break;
        case 1:
            scheduleOnMainQueue(0, &PulseChain<1>::step);
            break;
        case 2:
            scheduleOnMainQueue(0, &PulseChain<2>::step);
            break;
        default:
            break;  // classic output has no figure 3 and no others
    }
}

}  // namespace thrumline
