#include "tests/SimFixture.h"

#include <algorithm>

namespace thrumline::test {

namespace {

// One "AudioServicesPlaySystemSoundWithVibration" request, or "?" and the
// request when it is not sound 4095 with exactly "Intensity" (the integer 1)
// and "VibePattern" (alternating booleans and integers).
std::string describeVibration(const sim::events::Vibrate& vibrate) {
    const PlistValue* intensity = vibrate.request.find("Intensity");
    const PlistValue* steps = vibrate.request.find("VibePattern");
    bool ok = vibrate.sound == THRUMLINE_VIBRATE_SOUND && vibrate.request.entries().size() == 2 &&
              intensity != nullptr && *intensity == I(THRUMLINE_PATTERN_INTENSITY) &&
              steps != nullptr && steps->type() == PlistValue::Type::Array &&
              steps->items().size() % 2 == 0;
    std::string text;
    for (std::size_t i = 0; ok && i < steps->items().size(); ++i) {
        const PlistValue& item = steps->items()[i];
        ok = item.type() == (i % 2 ? PlistValue::Type::Integer : PlistValue::Type::Boolean);
        text += (i ? " " : "") + std::to_string(i % 2 ? item.intValue() : item.boolValue());
    }
    return ok ? "[" + text + "]" : "?" + vibrate.request.describe();
}

}  // namespace

PlistValue enabledSettings(const PlistValue::Entries& overrides) {
    PlistValue settings =
        sim::settingsWithEveryKey({{"isEnabled", B(true)}, {"isNotRespringing", B(true)}});
    for (const auto& [key, value] : overrides) settings.set(key, value);
    return settings;
}

void SimTest::start(double version, std::vector<std::string> absentClasses) {
    sim::ProcessOptions options;
    options.coreFoundationVersion = version;
    options.absentClasses = std::move(absentClasses);
    process = std::make_unique<sim::Process>(device, options);
    process->start();
}

std::size_t SimTest::countSince(const Mark& from, EventKind kind) const {
    const auto& events = device.events();
    return std::count_if(events.begin() + from.index, events.end(),
                         [kind](const Event& e) { return e.kind() == kind; });
}

std::string SimTest::played(const Mark& from) const {
    std::string text;
    const auto& events = device.events();
    for (std::size_t i = from.index; i < events.size(); ++i) {
        const Event& e = events[i];
        const auto* vibrate = e.get<sim::events::Vibrate>();
        const auto* sound = e.get<sim::events::Sound>();
        if (vibrate == nullptr && sound == nullptr) continue;
        if (!text.empty()) text += " ";
        text += vibrate != nullptr ? describeVibration(*vibrate)
                                   : (sound->sound == THRUMLINE_CLASSIC_SOUND ? "C@" : "?sound@") +
                                         std::to_string((e.t_ns - from.t) / kMs);
    }
    return text;
}

void SimTest::TearDown() {
    // A message to a dead object or an unbalanced release is a fault
    // whatever the test looked at.
    for (const Event& event : device.events()) {
        if (const auto* fault = event.get<sim::events::Fault>()) {
            ADD_FAILURE() << fault->call << ": " << fault->problem;
        }
    }
}

}  // namespace thrumline::test
