#include "tests/SimFixture.h"

#include <algorithm>

namespace thrumline::test {

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
    for (std::size_t i = from.index; i < device.events().size(); ++i) {
        const Event& e = device.events()[i];
        if (const auto* vibrate = e.get<sim::events::Vibrate>()) {
            const PlistValue* steps = vibrate->request.find("VibePattern");
            text += (text.empty() ? "" : " ") +
                    (steps != nullptr ? steps->describe() : vibrate->request.describe());
        } else if (const auto* sound = e.get<sim::events::Sound>()) {
            text += (text.empty() ? "sound " : " sound ") + std::to_string(sound->sound);
        }
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
