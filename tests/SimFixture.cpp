#include "tests/SimFixture.h"

#include <plist/plist.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

namespace thrumline::test {

namespace {

// Built node by node rather than through XML, so values that XML text does
// not carry faithfully (a NaN, integers above INT64_MAX) reach the file.
plist_t toNode(const PlistValue& value) {
    using Type = PlistValue::Type;
    switch (value.type()) {
        case Type::Boolean:
            return plist_new_bool(value.boolValue() ? 1 : 0);
        case Type::Integer: {
            const auto raw = static_cast<std::uint64_t>(value.intValue());
            if (!value.isUnsigned()) return plist_new_uint(raw);
            // libplist 2.2 keeps a value above INT64_MAX unsigned only when it
            // has read it so.
            const std::string xml = "<plist version=\"1.0\"><integer>" + std::to_string(raw) +
                                    "</integer></plist>";
            plist_t node = nullptr;
            plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &node);
            return node != nullptr ? node : plist_new_uint(raw);
        }
        case Type::Real:
            return plist_new_real(value.realValue());
        case Type::String:
            return plist_new_string(value.stringValue().c_str());
        case Type::Data:
            return plist_new_data(value.stringValue().data(), value.stringValue().size());
        case Type::Date: {
            const double seconds = value.realValue();
            return plist_new_date(static_cast<std::int32_t>(seconds), 0);
        }
        case Type::Uid:
            return plist_new_uid(static_cast<std::uint64_t>(value.intValue()));
        case Type::Array: {
            plist_t array = plist_new_array();
            for (const PlistValue& item : value.items()) plist_array_append_item(array, toNode(item));
            return array;
        }
        case Type::Dictionary: {
            plist_t dict = plist_new_dict();
            for (const auto& [key, item] : value.entries()) {
                plist_dict_set_item(dict, key.c_str(), toNode(item));
            }
            return dict;
        }
        case Type::None:
            break;
    }
    return plist_new_string("");
}

}  // namespace

std::string binaryPlist(const PlistValue& value) {
    plist_t node = toNode(value);
    char* bin = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(node, &bin, &length);
    std::string bytes(bin, length);
    plist_to_bin_free(bin);
    plist_free(node);
    return bytes;
}

bool fileExists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

std::string fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

Pattern decodeVibration(const Event& event) {
    EXPECT_EQ(event.sound, kVibrateSound);
    const PlistValue& request = event.value;
    EXPECT_EQ(request.type(), PlistValue::Type::Dictionary) << request.describe();
    EXPECT_EQ(request.entries().size(), 2u) << request.describe();
    const PlistValue* intensity = request.find("Intensity");
    if (intensity == nullptr || intensity->type() != PlistValue::Type::Integer ||
        intensity->intValue() != 1) {
        ADD_FAILURE() << "\"Intensity\" is not the integer 1: " << request.describe();
    }
    const PlistValue* steps = request.find("VibePattern");
    if (steps == nullptr || steps->type() != PlistValue::Type::Array) {
        ADD_FAILURE() << "no \"VibePattern\" array: " << request.describe();
        return {};
    }
    Pattern pattern;
    for (std::size_t i = 0; i < steps->items().size(); ++i) {
        const PlistValue& item = steps->items()[i];
        const bool flagPlace = i % 2 == 0;
        if (flagPlace && item.type() == PlistValue::Type::Boolean) {
            pattern.push_back(item.boolValue() ? ON : OFF);
        } else if (!flagPlace && item.type() == PlistValue::Type::Integer) {
            pattern.push_back(item.intValue());
        } else {
            ADD_FAILURE() << "element " << i << " has the wrong type: " << request.describe();
            pattern.push_back(-999);
        }
    }
    EXPECT_EQ(pattern.size() % 2, 0u) << request.describe();
    return pattern;
}

sim::Process& SimTest::start(double version, std::vector<std::string> absentClasses) {
    sim::ProcessOptions options;
    options.coreFoundationVersion = version;
    options.absentClasses = std::move(absentClasses);
    process = std::make_unique<sim::Process>(device, options);
    process->start();
    return *process;
}

sim::Process& SimTest::startWith(const PlistValue& settings, double version) {
    device.paneWriteSettings(settings);
    return start(version);
}

void SimTest::endProcess() {
    process->end();
    process.reset();
}

void SimTest::post(const std::string& name) {
    device.panePost(name);
    runUntilIdle();
}

void SimTest::reload(const PlistValue& settings) {
    device.paneWriteSettings(settings);
    post(kPrefsChanged);
}

std::vector<Event> SimTest::eventsSince(std::size_t from, EventKind kind) const {
    std::vector<Event> found;
    const auto& events = device.events();
    for (std::size_t i = from; i < events.size(); ++i) {
        if (events[i].kind == kind) found.push_back(events[i]);
    }
    return found;
}

std::size_t SimTest::countSince(std::size_t from, EventKind kind) const {
    return eventsSince(from, kind).size();
}

std::vector<Pattern> SimTest::patternsSince(std::size_t from) const {
    std::vector<Pattern> patterns;
    for (const Event& event : eventsSince(from, EventKind::Vibrate)) {
        patterns.push_back(decodeVibration(event));
    }
    return patterns;
}

std::vector<std::uint64_t> SimTest::classicPulsesSince(std::size_t from) const {
    std::vector<std::uint64_t> times;
    for (const Event& event : eventsSince(from, EventKind::Sound)) {
        EXPECT_EQ(event.sound, kClassicSound);
        times.push_back(event.t_ns);
    }
    return times;
}

std::size_t SimTest::indexOf(EventKind kind, std::size_t from) const {
    const auto& events = device.events();
    for (std::size_t i = from; i < events.size(); ++i) {
        if (events[i].kind == kind) return i;
    }
    return std::string::npos;
}

std::size_t SimTest::libraryPostsSince(std::size_t from) const {
    std::size_t posts = 0;
    for (const Event& event : eventsSince(from, EventKind::NotificationPosted)) {
        if (event.flag) {
            EXPECT_EQ(event.name, kPrefsChanged);
            ++posts;
        }
    }
    return posts;
}

std::optional<Pattern> SimTest::preview(const char* notification) {
    const std::size_t from = mark();
    post(notification);
    EXPECT_EQ(countSince(from, EventKind::Sound), 0u) << "a preview never plays sound 1352";
    const std::vector<Pattern> played = patternsSince(from);
    EXPECT_LE(played.size(), 1u);
    if (played.empty()) return std::nullopt;
    return played.front();
}

std::optional<bool> SimTest::fileNotRespringing() const {
    const PlistValue file = device.readSettingsFile();
    const PlistValue* value = file.find("isNotRespringing");
    if (value == nullptr) return std::nullopt;
    EXPECT_EQ(value->type(), PlistValue::Type::Boolean) << file.describe();
    return value->boolValue();
}

void SimTest::TearDown() {
    // A message to a dead object or an unbalanced release is a fault
    // whatever the test looked at.
    for (const Event& event : device.events()) {
        EXPECT_NE(event.kind, EventKind::Fault) << event.name << ": " << event.detail;
    }
}

std::ostream& operator<<(std::ostream& out, const CallOutcome& outcome) {
    out << "{patterns:";
    for (const Pattern& pattern : outcome.patterns) {
        out << " [";
        for (std::size_t i = 0; i < pattern.size(); ++i) out << (i ? "," : "") << pattern[i];
        out << "]";
    }
    return out << "; pulses in call " << outcome.pulsesInCall << ", after "
               << outcome.pulsesAfter << "}";
}

}  // namespace thrumline::test
