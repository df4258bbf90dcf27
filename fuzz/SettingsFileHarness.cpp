#include "fuzz/SettingsFileHarness.h"

#include <cmath>
#include <optional>
#include <utility>
#include <vector>

#include "simulator/home-screen/PropertyList.h"

namespace thrumline::hardening {

using sim::Event;
using sim::EventKind;
using sim::PlistValue;
using Type = PlistValue::Type;

namespace {

constexpr std::uint64_t kRespringQuiet = 7 * sim::kNanosPerSecond;
constexpr std::int64_t kLongestWait = 3600 * sim::kNanosPerSecond;
// Far from the end of the virtual clock, where every step would be due at once.
constexpr std::uint64_t kClockLimit = 1ULL << 62;
const std::string kOnePulse = "sound " + std::to_string(THRUMLINE_CLASSIC_SOUND) + "\n";
constexpr std::int64_t kMinute = 60 * sim::kNanosPerSecond;

// --- The conversions, written down once more from the rules -------------

std::int32_t clamp32(long double v) {
    return v >= INT32_MAX ? INT32_MAX : v <= INT32_MIN ? INT32_MIN : static_cast<std::int32_t>(v);
}

// An integer's int is its low 32 bits read as two's complement, as
// CoreFoundation's C cast gives; an unsigned value above INT64_MAX is held
// as its bit pattern, whose low bits are the same.
std::int32_t low32(std::int64_t v) {
    const std::int64_t low = v & 0xFFFFFFFFLL;
    return static_cast<std::int32_t>(low >= (1LL << 31) ? low - (1LL << 32) : low);
}

// boolValue and intValue of a string: white space and a sign skipped; then
// zeros and Y, T or a digit 1-9 for true, or the decimal number, clamped.
std::pair<bool, std::int32_t> fromString(const std::string& s) {
    std::size_t i = s.find_first_not_of(" \t\n\v\f\r");
    const bool negative = i < s.size() && s[i] == '-';
    if (i < s.size() && (s[i] == '+' || negative)) ++i;
    const std::size_t first = s.find_first_not_of('0', i);
    const bool yes = first < s.size() && std::string("YyTt123456789").find(s[first]) != s.npos;
    long double magnitude = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        if (magnitude < 1e12L) magnitude = magnitude * 10 + (s[i] - '0');
    }
    return {yes, clamp32(negative ? -magnitude : magnitude)};
}

// boolValue and intValue; nothing for a value that answers neither (only
// numbers and strings do).
std::optional<std::pair<bool, std::int32_t>> convert(const PlistValue* v) {
    switch (v == nullptr ? Type::None : v->type()) {
        case Type::Boolean:
            return {{v->boolValue(), v->boolValue() ? 1 : 0}};
        case Type::Integer:
            return {{v->intValue() != 0, low32(v->intValue())}};
        case Type::Real:  // NaN is true, and 0
            return {{!(v->realValue() == 0.0),
                     std::isnan(v->realValue()) ? 0 : clamp32(std::trunc(v->realValue()))}};
        case Type::String:
            return fromString(v->stringValue());
        default:
            return std::nullopt;
    }
}

// --- What the library should ask the platform for, in trace()'s words ----

// Pulses and pauses in turn, the first a pulse.
std::string vibration(const std::vector<std::int64_t>& lengths) {
    PlistValue pattern = PlistValue::array();
    for (std::size_t i = 0; i < lengths.size(); ++i) {
        pattern.append(PlistValue::boolean(i % 2 == 0));
        pattern.append(PlistValue::integer(lengths[i]));
    }
    return "vibrate " + std::to_string(THRUMLINE_VIBRATE_SOUND) + " intensity " +
           std::to_string(THRUMLINE_PATTERN_INTENSITY) + " " + pattern.describe() + "\n";
}

std::string pulses(int count, std::int32_t length, std::int32_t pause) {
    std::vector<std::int64_t> lengths{length};
    for (int i = 1; i < count; ++i) lengths.insert(lengths.end(), {pause, length});
    return vibration(lengths);
}

std::string figure(std::int32_t number, std::int32_t length, std::int32_t pause) {
    if (number >= 0 && number <= 2) return pulses(number + 1, length, pause);
    return number == 3 ? vibration({THRUMLINE_RHYTHM_FIGURE_MS}) : "";
}

bool callsAllowed(const SettingsValues& v) { return v.isEnabled && v.isNotRespringing; }

// The harness's connected call is an incoming one.
std::string callOutput(const SettingsValues& v, bool connected) {
    if (!callsAllowed(v) || (connected && v.connectOutgoingOnly)) return "";
    const std::int32_t number = connected ? v.firstVibrationNumber : v.lastVibrationNumber;
    const std::int32_t length = connected ? v.vibration1 : v.vibration2;
    if (!v.isVibrationsNumber) return v.oldMethod ? kOnePulse : pulses(1, length, 0);
    if (!v.oldMethod) return figure(number, length, v.VibrationDuration);
    std::string out;
    for (int i = 0; number <= 2 && i <= number; ++i) out += kOnePulse;
    return out;
}

// What the library asked the platform for since `from`.
std::string trace(const std::vector<Event>& events, std::size_t from) {
    auto text = [](const PlistValue* v) { return v != nullptr ? v->describe() : "none"; };
    std::string out;
    for (std::size_t i = from; i < events.size(); ++i) {
        const Event& e = events[i];
        if (const auto* sound = e.get<sim::events::Sound>()) {
            out += "sound " + std::to_string(sound->sound) + "\n";
        }
        if (const auto* v = e.get<sim::events::Vibrate>()) {
            out += "vibrate " + std::to_string(v->sound) + " intensity " +
                   text(v->request.find("Intensity")) + " " + text(v->request.find("VibePattern")) +
                   "\n";
        }
        if (const auto* fault = e.get<sim::events::Fault>()) {
            out += "FAULT " + fault->call + ": " + fault->problem + "\n";
        }
    }
    return out;
}

std::size_t objectCount(const PlistValue& v) {
    std::size_t n = 1;
    for (const PlistValue& item : v.items()) n += objectCount(item);
    for (const auto& entry : v.entries()) n += objectCount(entry.second);
    return n;
}

}  // namespace

SettingsValues expectedSettings(const PlistValue& file) {
    // A file that is not a dictionary has no keys.
    auto read_BOOLEAN = [&](const char* key, bool missing) {
        const auto converted = convert(file.find(key));
        return converted ? converted->first : missing;
    };
    auto read_INTEGER = [&](const char* key, std::int32_t missing) {
        const auto converted = convert(file.find(key));
        return converted ? converted->second : missing;
    };
#define THRUMLINE_READ(key, type, missing, initial) read_##type(#key, missing),
    return {THRUMLINE_SETTING_KEYS(THRUMLINE_READ)};
#undef THRUMLINE_READ
}

void SettingsFileHarness::start() {
    device_ = std::make_unique<sim::Device>();
    process_ = std::make_unique<sim::Process>(*device_);
    process_->start();
    connectedCall_ = process_->newCall(true);
    baselineObjects_ = process_->liveObjects();
}

void SettingsFileHarness::stop() {
    process_->releaseObject(connectedCall_);
    process_.reset();
}

std::string SettingsFileHarness::run(const std::string& bytes) {
    if (device_->mainQueue().now() > kClockLimit) {
        // A fresh phone before the virtual clock runs out. The old process
        // stays loaded and reachable for good: libFuzzer cannot follow an
        // instrumented library that is unloaded, and this happens once in
        // a hundred thousand inputs or more.
        process_->releaseObject(connectedCall_);
        static auto* retired = new std::vector<std::pair<sim::Device*, sim::Process*>>;
        retired->emplace_back(device_.release(), process_.release());
        start();
    }
    const std::string problem = runChecks(bytes);
    // Long runs stay flat: nothing below is needed by the next input.
    device_->clearEvents();
    process_->discardZombies();
    return problem;
}

// The four previews, a connected and an ended call: what the library asks
// for must follow from `v`.
std::string SettingsFileHarness::check(const SettingsValues& v, const char* when,
                                       bool drainChains) {
    const std::size_t mark = device_->events().size();
    sim::MainQueue& queue = process_->device().mainQueue();
    for (const char* name :
         {THRUMLINE_VIB1_PREVIEW_NOTIFICATION, THRUMLINE_VIB2_PREVIEW_NOTIFICATION,
          THRUMLINE_VIB3_PREVIEW_NOTIFICATION, THRUMLINE_VIB4_PREVIEW_NOTIFICATION}) {
        device_->panePost(name);
    }
    queue.runUntilIdle();
    const std::int32_t pause = v.VibrationDuration;
    std::string expected = figure(v.firstVibrationNumber, v.vibration1, pause) +
                           figure(v.lastVibrationNumber, v.vibration2, pause) +
                           pulses(2, v.vibration1, pause) + pulses(2, v.vibration2, pause);
    // A classic chain spaces its pulses by twice VibrationDuration; a
    // negative one is due at once. Gaps of months are not waited for (the
    // clock would run out after a few thousand inputs, and a new process
    // loads a new copy of the library, which libFuzzer cannot follow once
    // the old one is unloaded): such a chain is checked up to its first
    // pulse and its next step, then dropped.
    const std::int64_t gap = 2 * std::int64_t{pause} * sim::kNanosPerMilli;
    for (const bool connected : {true, false}) {
        const std::size_t callMark = device_->events().size();
        // The call connects, then its end is announced while it is over.
        if (connected) process_->setConnected(connectedCall_, true);
        process_->setActiveCall(connected ? connectedCall_ : nullptr);
        queue.runUntilIdle();
        // The call is over at once for its minder, so the minder's step
        // plays nothing, wherever it falls among a chain's.
        process_->setConnected(connectedCall_, false);
        const bool minder = connected && v.minuteMinder && callsAllowed(v);
        if (minder) {
            const std::string problem = checkMinder(v, callMark);
            if (!problem.empty()) return problem + " " + when;
        }
        std::string calls = callOutput(v, connected);
        const bool chain = calls.size() > kOnePulse.size() && calls.rfind(kOnePulse, 0) == 0;
        if (drainChains && gap > 0 && gap <= kLongestWait) {
            queue.runFor(2 * static_cast<std::uint64_t>(gap));
        } else if (drainChains && gap > kLongestWait && chain) {
            if (queue.pending() != 1) return std::string("a chain without its next step ") + when;
            calls = kOnePulse;
            process_->cancelPending();
        }
        expected += calls;
    }
    const std::string actual = trace(device_->events(), mark);
    if (actual != expected) {
        return std::string("previews and calls ") + when + ":\n  expected:\n" + expected +
               "  actual:\n" + actual;
    }
    if (drainChains && queue.pending() != 0) return std::string("steps left behind ") + when;
    return {};
}

// A minder started for the connected call: it holds the call and its first
// step is due at its second; that step finds the call over and lets it go,
// so no step is left queued for the next input.
std::string SettingsFileHarness::checkMinder(const SettingsValues& v, std::size_t mark) {
    const std::int32_t second = v.minuteMinderSecond >= 1 && v.minuteMinderSecond <= 59
                                    ? v.minuteMinderSecond
                                    : THRUMLINE_MINDER_DEFAULT_SECOND;
    const std::uint64_t due =
        device_->mainQueue().now() + static_cast<std::uint64_t>(second) * sim::kNanosPerSecond;
    bool stepAtSecond = false;  // a chain's step may be due then too
    for (std::size_t i = mark; i < device_->events().size(); ++i) {
        const auto* step = device_->events()[i].get<sim::events::StepScheduled>();
        stepAtSecond = stepAtSecond || (step != nullptr && step->due == due);
    }
    if (!stepAtSecond) return "no minute minder step at second " + std::to_string(second);
    // The harness's reference, the library's memory, the call announced last
    // and the minder's.
    if (process_->retainCount(connectedCall_) != 4) return "the minder does not hold its call";
    const std::size_t before = device_->mainQueue().pending();
    device_->mainQueue().runFor(kMinute);
    if (process_->retainCount(connectedCall_) != 3) return "the minder kept its ended call";
    // Whatever else ran (a chain's next pulses) left its own steps.
    if (device_->mainQueue().pending() >= before) return "the minder's step did not run";
    return {};
}

std::string SettingsFileHarness::runChecks(const std::string& bytes) {
    const std::vector<Event>& events = device_->events();
    sim::MainQueue& queue = process_->device().mainQueue();
    std::size_t mark = 0;
    auto since = [&](EventKind kind) {  // the events of a kind since `mark`
        std::vector<const Event*> found;
        for (std::size_t i = mark; i < events.size(); ++i) {
            if (events[i].kind() == kind) found.push_back(&events[i]);
        }
        return found;
    };

    device_->paneWriteSettingsBytes(bytes);
    const auto* paneWrite =
        events.empty() ? nullptr : events.back().get<sim::events::PaneWroteSettings>();
    if (paneWrite == nullptr || !paneWrite->ok) return "the settings file could not be written";
    PlistValue loaded = sim::parsePlist(bytes);
    mark = events.size();
    device_->panePost(THRUMLINE_PREFS_CHANGED_NOTIFICATION);
    queue.runUntilIdle();
    if (since(EventKind::SettingsRead).size() != 1) return "the notification led to no single load";
    const SettingsValues values = expectedSettings(loaded);
    std::string problem = check(values, "after the load", true);
    if (!problem.empty()) return problem;

    // The home screen launches: with the feature on, the respring guard
    // writes isNotRespringing false now and true seven seconds later, every
    // other key as it was, and posts the change each time. With it off, a
    // file that holds isNotRespringing false (a quiet period a dead home
    // screen left) gets it true, once, and the change is posted; nothing else.
    mark = events.size();
    process_->applicationDidFinishLaunching(process_->application());
    queue.runUntilIdle();
    if (!values.isEnabled) {
        const auto stored = convert(loaded.find("isNotRespringing"));
        const bool repair = stored && !stored->first;
        const auto written = since(EventKind::SettingsWritten);
        if (written.size() != (repair ? 1u : 0u) ||
            since(EventKind::NotificationPosted).size() != (repair ? 1u : 0u) || queue.pending()) {
            return repair ? "the launch with the feature off did not end the quiet period once"
                          : "the launch wrote or posted with the feature off";
        }
        if (repair) {
            loaded.set("isNotRespringing", PlistValue::boolean(true));
            const auto* write = written.back()->get<sim::events::SettingsWritten>();
            if (!write->ok || write->settings != loaded) {
                return "the quiet period's end did not keep every other key: expected " +
                       loaded.describe() + ", wrote " + write->settings.describe();
            }
            loaded = device_->readSettingsFile();  // what the library reloaded
        }
    }
    for (const bool notRespringing : {false, true}) {
        if (!values.isEnabled) break;
        const char* when = notRespringing ? "after the respring guard" : "during it";
        loaded.set("isNotRespringing", PlistValue::boolean(notRespringing));
        const auto written = since(EventKind::SettingsWritten);
        const auto* write =
            written.empty() ? nullptr : written.back()->get<sim::events::SettingsWritten>();
        if (written.size() != 1 || !write->ok || write->settings != loaded ||
            since(EventKind::NotificationPosted).size() != 1) {
            return std::string("the respring guard did not write every key once and post it ") +
                   when + ": expected " + loaded.describe() + ", wrote " +
                   (write == nullptr ? "nothing" : write->settings.describe());
        }
        loaded = device_->readSettingsFile();  // what the next load and write start from
        problem = check(expectedSettings(loaded), when, notRespringing);
        if (!problem.empty()) return problem;
        if (!notRespringing && queue.pending() != 1) return "the respring guard's end is not due";
        mark = events.size();
        queue.runFor(kRespringQuiet);
    }

    if (process_->faults() != 0) return "the library broke a platform rule:\n" + trace(events, 0);
    // The library holds the dictionary it read last, and nothing more.
    const std::size_t expected =
        baselineObjects_ + (loaded.type() == Type::Dictionary ? objectCount(loaded) : 0);
    if (process_->liveObjects() != expected) {
        return "live objects: expected " + std::to_string(expected) + " (the host's and the " +
               "loaded dictionary's), found " + std::to_string(process_->liveObjects());
    }
    return {};
}

}  // namespace thrumline::hardening
