#include "tests/SimFixture.h"

#include <plist/plist.h>

namespace thrumline::test {

namespace {

// One "AudioServicesPlaySystemSoundWithVibration" request, or "?" and the
// request when it is not sound 4095 with exactly "Intensity" (the integer 1)
// and "VibePattern" (alternating booleans and integers).
std::string describeVibration(const Event& event) {
    const PlistValue& request = event.value;
    const std::string bad = "?" + request.describe();
    const PlistValue* intensity = request.find("Intensity");
    const PlistValue* steps = request.find("VibePattern");
    if (event.sound != 4095 || request.entries().size() != 2 || intensity == nullptr ||
        *intensity != I(1) || steps == nullptr || steps->type() != PlistValue::Type::Array) {
        return bad;
    }
    std::string text;
    for (std::size_t i = 0; i < steps->items().size(); ++i) {
        const PlistValue& item = steps->items()[i];
        if (i % 2 == 0 && item.type() == PlistValue::Type::Boolean) {
            text += std::string(i ? " " : "") + (item.boolValue() ? "1" : "0");
        } else if (i % 2 == 1 && item.type() == PlistValue::Type::Integer) {
            text += " " + std::to_string(item.intValue());
        } else {
            return bad;
        }
    }
    return steps->items().size() % 2 == 0 ? "[" + text + "]" : bad;
}

}  // namespace

PlistValue enabledSettings(const PlistValue::Entries& overrides) {
    PlistValue settings = PlistValue::dictionary({
        {"isEnabled", B(true)},
        {"isNotRespringing", B(true)},
        {"isVibrationsNumber", B(false)},
        {"oldMethod", B(false)},
        {"firstVibrationNumber", I(0)},
        {"lastVibrationNumber", I(0)},
        {"VibrationDuration", I(200)},
        {"vibration1", I(300)},
        {"vibration2", I(300)},
    });
    for (const auto& [key, value] : overrides) settings.set(key, value);
    return settings;
}

std::string binaryPlist(const PlistValue& value) {
    const std::string xml = sim::toXmlPlist(value);
    plist_t node = nullptr;
    plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &node);
    char* bin = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(node, &bin, &length);
    std::string bytes(bin, length);
    plist_to_bin_free(bin);
    plist_free(node);
    return bytes;
}

void SimTest::start(double version, std::vector<std::string> absentClasses) {
    sim::ProcessOptions options;
    options.coreFoundationVersion = version;
    options.absentClasses = std::move(absentClasses);
    process = std::make_unique<sim::Process>(device, options);
    process->start();
}

void SimTest::startWith(const PlistValue& settings, double version) {
    device.paneWriteSettings(settings);
    start(version);
}

void SimTest::endProcess() {
    process->end();
    process.reset();
}

void SimTest::post(const std::string& name) {
    device.panePost(name);
    process->queue().runUntilIdle();
}

void SimTest::reload(const PlistValue& settings) {
    device.paneWriteSettings(settings);
    post(kPrefsChanged);
}

std::vector<Event> SimTest::eventsSince(const Mark& from, EventKind kind) const {
    std::vector<Event> found;
    const auto& events = device.events();
    for (std::size_t i = from.index; i < events.size(); ++i) {
        if (events[i].kind == kind) found.push_back(events[i]);
    }
    return found;
}

std::size_t SimTest::countSince(const Mark& from, EventKind kind) const {
    return eventsSince(from, kind).size();
}

std::size_t SimTest::indexOf(EventKind kind, const Mark& from) const {
    const auto& events = device.events();
    for (std::size_t i = from.index; i < events.size(); ++i) {
        if (events[i].kind == kind) return i;
    }
    return std::string::npos;
}

std::string SimTest::played(const Mark& from) const {
    std::string text;
    const auto& events = device.events();
    for (std::size_t i = from.index; i < events.size(); ++i) {
        const Event& e = events[i];
        if (e.kind != EventKind::Vibrate && e.kind != EventKind::Sound) continue;
        if (!text.empty()) text += " ";
        if (e.kind == EventKind::Vibrate) {
            text += describeVibration(e);
        } else {
            text += (e.sound == 1352 ? "C@" : "?sound@") + std::to_string((e.t_ns - from.t) / kMs);
        }
    }
    return text;
}

std::string SimTest::preview(const char* notification) {
    const std::size_t objects = process->liveObjects();
    const Mark from = mark();
    device.panePost(notification);
    EXPECT_EQ(played(from), "") << "played inside the post";
    process->queue().runUntilIdle();
    EXPECT_EQ(process->liveObjects(), objects);
    return played(from);
}

void SimTest::TearDown() {
    // A message to a dead object or an unbalanced release is a fault
    // whatever the test looked at.
    for (const Event& event : device.events()) {
        EXPECT_NE(event.kind, EventKind::Fault) << event.name << ": " << event.detail;
    }
}

}  // namespace thrumline::test
