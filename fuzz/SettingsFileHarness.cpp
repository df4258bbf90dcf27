#include "fuzz/SettingsFileHarness.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>

namespace thrumline::hardening {

using sim::Event;
using sim::EventKind;
using sim::PlistValue;

namespace {

constexpr const char* kPrefsChanged = "com.brindle.thrumline.prefschanged";
constexpr const char* kPreviews[] = {
    "com.brindle.thrumline.vib1Preview", "com.brindle.thrumline.vib2Preview",
    "com.brindle.thrumline.vib3Preview", "com.brindle.thrumline.vib4Preview"};
constexpr std::uint64_t kRespringQuiet = 7 * 1000000000ULL;
constexpr std::int64_t kLongestWait = 3600 * 1000000000LL;
// Far from the end of the virtual clock, where every step would be due at once.
constexpr std::uint64_t kClockLimit = 1ULL << 62;
const std::string kOnePulse = "sound 1352\n";

// --- The conversions, written down once more from the rules -------------

bool isBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool stringToBool(const std::string& s) {
    std::size_t i = 0;
    while (i < s.size() && isBlank(s[i])) ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    while (i < s.size() && s[i] == '0') ++i;
    if (i == s.size()) return false;
    return std::string("YyTt123456789").find(s[i]) != std::string::npos;
}

std::int32_t clamp32(long double v) {
    if (v >= 2147483647.0L) return INT32_MAX;
    if (v <= -2147483648.0L) return INT32_MIN;
    return static_cast<std::int32_t>(v);
}

std::int32_t stringToInt(const std::string& s) {
    std::size_t i = 0;
    while (i < s.size() && isBlank(s[i])) ++i;
    long double sign = 1;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) sign = s[i++] == '-' ? -1 : 1;
    long double magnitude = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        if (magnitude < 1e12L) magnitude = magnitude * 10 + (s[i] - '0');
    }
    return clamp32(sign * magnitude);
}

// Only numbers and strings answer boolValue and intValue; anything else
// counts as a missing key.
bool converts(const PlistValue* v) {
    if (v == nullptr) return false;
    switch (v->type()) {
        case PlistValue::Type::Boolean:
        case PlistValue::Type::Integer:
        case PlistValue::Type::Real:
        case PlistValue::Type::String:
            return true;
        default:
            return false;
    }
}

bool toBool(const PlistValue& v) {
    switch (v.type()) {
        case PlistValue::Type::Boolean: return v.boolValue();
        case PlistValue::Type::Integer: return v.intValue() != 0;
        case PlistValue::Type::Real: return !(v.realValue() == 0.0);  // NaN is true
        default: return stringToBool(v.stringValue());
    }
}

std::int32_t toInt(const PlistValue& v) {
    switch (v.type()) {
        case PlistValue::Type::Boolean: return v.boolValue() ? 1 : 0;
        case PlistValue::Type::Integer:
            return v.isUnsigned() ? INT32_MAX : clamp32(static_cast<long double>(v.intValue()));
        case PlistValue::Type::Real:
            return std::isnan(v.realValue()) ? 0 : clamp32(std::trunc(v.realValue()));
        default: return stringToInt(v.stringValue());
    }
}

// --- What the library should ask the platform to do -----------------------

std::string vibration(const PlistValue& pattern) {
    return "vibrate 4095 intensity 1 " + pattern.describe() + "\n";
}

std::string pulses(int count, std::int32_t length, std::int32_t pause) {
    PlistValue pattern = PlistValue::array();
    for (int i = 0; i < count; ++i) {
        if (i > 0) {
            pattern.append(PlistValue::boolean(false));
            pattern.append(PlistValue::integer(pause));
        }
        pattern.append(PlistValue::boolean(true));
        pattern.append(PlistValue::integer(length));
    }
    return vibration(pattern);
}

std::string figure(std::int32_t number, std::int32_t length, std::int32_t pause) {
    if (number >= 0 && number <= 2) return pulses(number + 1, length, pause);
    if (number != 3) return "";
    PlistValue rhythm = PlistValue::array();
    for (std::int64_t v : {1, 50, 0, 100, 1, 50, 0, 300, 1, 50, 0, 300, 1, 50, 0, 100, 1, 50}) {
        rhythm.append(rhythm.items().size() % 2 == 0 ? PlistValue::boolean(v != 0)
                                                     : PlistValue::integer(v));
    }
    return vibration(rhythm);
}

std::string previews(const SettingsValues& v) {
    return figure(v.firstVibrationNumber, v.vibration1, v.VibrationDuration) +
           figure(v.lastVibrationNumber, v.vibration2, v.VibrationDuration) +
           pulses(2, v.vibration1, v.VibrationDuration) +
           pulses(2, v.vibration2, v.VibrationDuration);
}

std::string callOutput(const SettingsValues& v, bool connected) {
    if (!v.isEnabled || !v.isNotRespringing) return "";
    const std::int32_t number = connected ? v.firstVibrationNumber : v.lastVibrationNumber;
    const std::int32_t length = connected ? v.vibration1 : v.vibration2;
    if (!v.oldMethod) {
        return v.isVibrationsNumber ? figure(number, length, v.VibrationDuration)
                                    : pulses(1, length, 0);
    }
    const int pulseCount = !v.isVibrationsNumber ? 1 : (number >= 0 && number <= 2 ? number + 1 : 0);
    std::string out;
    for (int i = 0; i < pulseCount; ++i) out += "sound 1352\n";
    return out;
}

// What the library asked for since `from`, in the same words.
std::string trace(const std::vector<Event>& events, std::size_t from) {
    std::string out;
    for (std::size_t i = from; i < events.size(); ++i) {
        const Event& e = events[i];
        if (e.kind == EventKind::Sound) {
            out += "sound " + std::to_string(e.sound) + "\n";
        } else if (e.kind == EventKind::Vibrate) {
            const PlistValue* intensity = e.value.find("Intensity");
            const PlistValue* pattern = e.value.find("VibePattern");
            if (e.value.entries().size() == 2 && intensity != nullptr && pattern != nullptr) {
                out += "vibrate " + std::to_string(e.sound) + " intensity " +
                       intensity->describe() + " " + pattern->describe() + "\n";
            } else {
                out += "vibrate " + std::to_string(e.sound) + " malformed " + e.value.describe() +
                       "\n";
            }
        } else if (e.kind == EventKind::Fault) {
            out += "FAULT " + e.name + ": " + e.detail + "\n";
        }
    }
    return out;
}

std::size_t countSince(const std::vector<Event>& events, std::size_t from, EventKind kind) {
    return static_cast<std::size_t>(
        std::count_if(events.begin() + static_cast<std::ptrdiff_t>(from), events.end(),
                      [kind](const Event& e) { return e.kind == kind; }));
}

const Event* lastOf(const std::vector<Event>& events, std::size_t from, EventKind kind) {
    for (std::size_t i = events.size(); i > from; --i) {
        if (events[i - 1].kind == kind) return &events[i - 1];
    }
    return nullptr;
}

std::size_t libraryPostsSince(const std::vector<Event>& events, std::size_t from) {
    std::size_t n = 0;
    for (std::size_t i = from; i < events.size(); ++i) {
        if (events[i].kind == EventKind::NotificationPosted && events[i].flag) ++n;
    }
    return n;
}

std::size_t objectCount(const PlistValue& v) {
    std::size_t n = 1;
    for (const PlistValue& item : v.items()) n += objectCount(item);
    for (const auto& entry : v.entries()) n += objectCount(entry.second);
    return n;
}

// XML cannot hold a NUL character: a string written to the file ends at
// its first one. Everything else must come back as it was.
PlistValue asXmlKeepsIt(const PlistValue& v) {
    switch (v.type()) {
        case PlistValue::Type::String:
            return PlistValue::string(v.stringValue().substr(0, v.stringValue().find('\0')));
        case PlistValue::Type::Array: {
            PlistValue out = PlistValue::array();
            for (const PlistValue& item : v.items()) out.append(asXmlKeepsIt(item));
            return out;
        }
        case PlistValue::Type::Dictionary: {
            PlistValue out = PlistValue::dictionary();
            for (const auto& entry : v.entries()) out.set(entry.first, asXmlKeepsIt(entry.second));
            return out;
        }
        default:
            return v;
    }
}

std::string mismatch(const std::string& what, const std::string& expected,
                     const std::string& actual) {
    return what + ":\n  expected:\n" + (expected.empty() ? "(nothing)\n" : expected) +
           "  actual:\n" + (actual.empty() ? "(nothing)\n" : actual);
}

}  // namespace

SettingsValues expectedSettings(const PlistValue& file) {
    SettingsValues v;
    if (file.type() != PlistValue::Type::Dictionary) return v;
    auto boolean = [&](const char* key, bool& field) {
        const PlistValue* value = file.find(key);
        field = converts(value) ? toBool(*value) : false;
    };
    auto integer = [&](const char* key, std::int32_t& field, std::int32_t missing) {
        const PlistValue* value = file.find(key);
        field = converts(value) ? toInt(*value) : missing;
    };
    boolean("isEnabled", v.isEnabled);
    boolean("isNotRespringing", v.isNotRespringing);
    boolean("isVibrationsNumber", v.isVibrationsNumber);
    boolean("oldMethod", v.oldMethod);
    integer("firstVibrationNumber", v.firstVibrationNumber, 0);
    integer("lastVibrationNumber", v.lastVibrationNumber, 0);
    integer("VibrationDuration", v.VibrationDuration, 200);
    integer("vibration1", v.vibration1, 300);
    integer("vibration2", v.vibration2, 300);
    return v;
}

SettingsFileHarness::SettingsFileHarness() : device_(std::make_unique<sim::Device>()) { start(); }

void SettingsFileHarness::start() {
    process_ = std::make_unique<sim::Process>(*device_);
    process_->start();
    connectedCall_ = process_->newCall(true);
    baselineObjects_ = process_->liveObjects();
    device_->clearEvents();
}

SettingsFileHarness::~SettingsFileHarness() {
    process_->releaseObject(connectedCall_);
    process_.reset();
}

std::string SettingsFileHarness::check(const SettingsValues& values, const char* when,
                                       bool drainChains) {
    const auto& events = device_->events();
    sim::MainQueue& queue = process_->queue();

    std::size_t mark = events.size();
    for (const char* name : kPreviews) device_->panePost(name);
    queue.runUntilIdle();
    std::string actual = trace(events, mark);
    if (actual != previews(values)) {
        return mismatch(std::string("previews ") + when, previews(values), actual);
    }

    // A classic chain spaces its pulses by twice VibrationDuration; a
    // negative one is due at once. Gaps of months are not waited for (the
    // virtual clock would run out after a few thousand inputs): such a chain
    // is checked up to its first pulse and its next step, then dropped.
    const std::int64_t gap = 2 * static_cast<std::int64_t>(values.VibrationDuration) * 1000000;
    const bool waitForChain = gap <= kLongestWait;
    for (bool connected : {true, false}) {
        mark = events.size();
        process_->setActiveCall(connected ? connectedCall_ : nullptr);
        queue.runUntilIdle();
        std::string expected = callOutput(values, connected);
        if (drainChains && gap > 0 && waitForChain) {
            queue.advanceBy(2 * static_cast<std::uint64_t>(gap));
        } else if (drainChains && !waitForChain && expected.size() > kOnePulse.size() &&
                   expected.compare(0, kOnePulse.size(), kOnePulse) == 0) {
            expected = kOnePulse;
            if (queue.pending() != 1) return std::string("a chain without its next step ") + when;
            queue.clear();
        }
        actual = trace(events, mark);
        if (actual != expected) {
            return mismatch(std::string(connected ? "connected call " : "ended call ") + when,
                            expected, actual);
        }
    }
    if (drainChains && queue.pending() != 0) {
        return std::string("steps left on the main queue ") + when;
    }
    return {};
}

std::string SettingsFileHarness::checkHousekeeping(const PlistValue& loaded) {
    if (process_->faults() != 0) return "the library broke a platform rule:\n" + trace(device_->events(), 0);
    const std::size_t expected =
        baselineObjects_ + (loaded.type() == PlistValue::Type::Dictionary ? objectCount(loaded) : 0);
    if (process_->liveObjects() != expected) {
        return "live objects: expected " + std::to_string(expected) + " (the host's and the loaded " +
               "dictionary's), found " + std::to_string(process_->liveObjects());
    }
    return {};
}

std::string SettingsFileHarness::run(const std::string& bytes) {
    if (device_->clock().now() > kClockLimit) {
        process_->releaseObject(connectedCall_);
        process_.reset();
        device_ = std::make_unique<sim::Device>();
        start();
    }
    const std::string problem = runChecks(bytes);
    // Long runs stay flat: nothing below is needed by the next input.
    device_->clearEvents();
    process_->discardZombies();
    return problem;
}

std::string SettingsFileHarness::runChecks(const std::string& bytes) {
    const auto& events = device_->events();
    sim::MainQueue& queue = process_->queue();
    std::string problem;

    device_->paneWriteSettingsBytes(bytes);
    if (events.empty() || !events.back().flag) return "the settings file could not be written";
    const PlistValue parsed = sim::parsePlist(bytes);
    const bool isDictionary = parsed.type() == PlistValue::Type::Dictionary;
    const SettingsValues values = expectedSettings(parsed);

    std::size_t mark = events.size();
    device_->panePost(kPrefsChanged);
    queue.runUntilIdle();
    const Event* read = lastOf(events, mark, EventKind::SettingsRead);
    if (countSince(events, mark, EventKind::SettingsRead) != 1 || read->flag != isDictionary) {
        return "the change notification did not lead to one load that " +
               std::string(isDictionary ? "found" : "refused") + " the dictionary";
    }
    problem = check(values, "after the load", true);
    if (!problem.empty()) return problem;

    // The home screen launches: with the feature on, the respring guard
    // writes isNotRespringing false now and true seven seconds later, every
    // other key as it was.
    PlistValue loaded = parsed;
    mark = events.size();
    process_->applicationDidFinishLaunching(process_->application());
    queue.runUntilIdle();
    if (!values.isEnabled) {
        if (countSince(events, mark, EventKind::SettingsWritten) != 0 ||
            libraryPostsSince(events, mark) != 0 || queue.pending() != 0) {
            return "the launch wrote or posted with the feature off";
        }
    } else {
        for (bool notRespringing : {false, true}) {
            const char* when = notRespringing ? "after the respring guard" : "during the respring guard";
            loaded.set("isNotRespringing", PlistValue::boolean(notRespringing));
            const Event* written = lastOf(events, mark, EventKind::SettingsWritten);
            if (countSince(events, mark, EventKind::SettingsWritten) != 1 || !written->flag ||
                written->value != loaded || libraryPostsSince(events, mark) != 1) {
                return std::string("the respring guard did not write the file once, with every key, ") +
                       when + ": expected " + loaded.describe() + ", wrote " +
                       (written != nullptr ? written->value.describe() : "nothing");
            }
            const PlistValue file = device_->readSettingsFile();
            if (file != asXmlKeepsIt(loaded)) {
                return std::string("the settings file does not read back as written ") + when +
                       ": wrote " + loaded.describe() + ", reads " + file.describe();
            }
            loaded = file;  // what the next load and the next write start from
            problem = check(expectedSettings(loaded), when, notRespringing);
            if (!problem.empty()) return problem;
            if (!notRespringing) {
                if (queue.pending() != 1) return "the respring guard did not schedule its end";
                mark = events.size();
                queue.advanceBy(kRespringQuiet);
            }
        }
    }

    return checkHousekeeping(isDictionary ? loaded : PlistValue());
}

}  // namespace thrumline::hardening
