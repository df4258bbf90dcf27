#include "simulator/thrumline-sim/Render.h"

#include <cstring>

#include "simulator/thrumline-sim/Format.h"
#include "simulator/thrumline-sim/Scenario.h"
#include "tweak/settings/Contract.h"

namespace thrumline::simtool {

using sim::PlistValue;
namespace ev = sim::events;

bool readPattern(const PlistValue& dictionary, std::vector<PatternStepView>& steps) {
    steps.clear();
    const PlistValue* pattern = dictionary.find("VibePattern");
    if (pattern == nullptr || pattern->type() != PlistValue::Type::Array) return false;
    const auto& items = pattern->items();
    if (items.size() % 2 != 0) return false;
    for (std::size_t i = 0; i < items.size(); i += 2) {
        if (items[i].type() != PlistValue::Type::Boolean ||
            items[i + 1].type() != PlistValue::Type::Integer) {
            return false;
        }
        steps.push_back({items[i].boolValue(), items[i + 1].intValue()});
    }
    return true;
}

std::string patternDrawing(const std::vector<PatternStepView>& steps) {
    std::string out;
    for (const PatternStepView& step : steps) {
        if (!out.empty()) out += ' ';
        out += step.on ? "\u25AE" : "\u00B7";
        out += std::to_string(step.ms);
    }
    return out;
}

namespace {

const char* const kIndent = "    ";

// The part all the library's notification names share ("com.brindle.thrumline.").
std::string libraryPrefix() {
    const char* full = THRUMLINE_PREFS_CHANGED_NOTIFICATION;
    const char* dot = std::strrchr(full, '.');
    return std::string(full, dot != nullptr ? static_cast<std::size_t>(dot - full + 1) : 0);
}

std::string shortName(const std::string& name) {
    static const std::string prefix = libraryPrefix();
    if (!prefix.empty() && name.size() > prefix.size() &&
        name.compare(0, prefix.size(), prefix) == 0) {
        return name.substr(prefix.size());
    }
    return name;
}

std::string methodName(const std::string& className, const std::string& selector) {
    return "-[" + className + " " + selector + "]";
}

std::string trimmedTime(std::uint64_t t_ns) {
    std::string text = formatTime(t_ns);
    return text.substr(text.find_first_not_of(' '));
}

}  // namespace

const char* readOutcome(ev::SettingsRead::Outcome outcome) {
    switch (outcome) {
        case ev::SettingsRead::Outcome::Found:
            return "found";
        case ev::SettingsRead::Outcome::Missing:
            return "missing";
        case ev::SettingsRead::Outcome::NotAPropertyList:
            return "not a property list";
        case ev::SettingsRead::Outcome::NotADictionary:
            return "root is not a dictionary";
    }
    return "?";
}

namespace {

const char* paneAction(ev::PaneWroteSettings::Action action) {
    switch (action) {
        case ev::PaneWroteSettings::Action::Write:
            return "write";
        case ev::PaneWroteSettings::Action::Set:
            return "set";
        case ev::PaneWroteSettings::Action::Unset:
            return "unset";
        case ev::PaneWroteSettings::Action::Delete:
            return "delete";
        case ev::PaneWroteSettings::Action::Bytes:
            return "bytes";
    }
    return "?";
}

// What the pane set out to do, in its own words: "set {a = 1}", "unset a b".
std::string paneChange(const ev::PaneWroteSettings& pane) {
    std::string out = paneAction(pane.action);
    switch (pane.action) {
        case ev::PaneWroteSettings::Action::Write:
        case ev::PaneWroteSettings::Action::Set:
            return out + " " + pane.change.describe();
        case ev::PaneWroteSettings::Action::Unset:
            for (const PlistValue& key : pane.change.items()) out += " " + key.stringValue();
            return out;
        case ev::PaneWroteSettings::Action::Bytes:
            return out + " " + std::to_string(pane.bytes);
        case ev::PaneWroteSettings::Action::Delete:
            break;
    }
    return out;
}

std::string paneText(const ev::PaneWroteSettings& pane) {
    if (pane.action == ev::PaneWroteSettings::Action::Delete) {
        return pane.ok ? "pane deleted the settings file" : "pane found no settings file to delete";
    }
    if (!pane.ok) return "pane could not write the settings file (" + paneChange(pane) + ")";
    if (pane.action == ev::PaneWroteSettings::Action::Bytes) {
        return "pane wrote the settings file: " + std::to_string(pane.bytes) + " bytes as given";
    }
    if (pane.settings.type() != PlistValue::Type::Dictionary) {
        return "pane: no settings file to change";
    }
    return "pane wrote the settings: " + settingsText(pane.settings);
}

std::string vibrationText(const ev::Vibrate& vibrate) {
    std::string out = "vibrate";
    if (vibrate.sound != THRUMLINE_VIBRATE_SOUND)
        out += " (sound " + std::to_string(vibrate.sound) + ")";
    std::vector<PatternStepView> steps;
    if (!readPattern(vibrate.request, steps)) return out + " " + vibrate.request.describe();
    std::int64_t total = 0;
    for (const PatternStepView& step : steps) total += step.ms;
    out += " " + patternDrawing(steps) + "  (" + std::to_string(total) + " ms";
    const PlistValue* intensity = vibrate.request.find("Intensity");
    const bool plainIntensity = intensity != nullptr &&
                                intensity->type() == PlistValue::Type::Integer &&
                                intensity->intValue() == 1;
    if (!plainIntensity) {
        out += ", intensity " + (intensity != nullptr ? intensity->describe() : "missing");
    }
    const std::size_t keys = vibrate.request.entries().size();
    if (keys != 2) out += ", " + std::to_string(keys) + " keys";
    out += ")";
    if (vibrate.overlaps) out += ", overlaps the vibration at " + trimmedTime(vibrate.overlapsT);
    return out;
}

// The timeline's words for each kind of host event (empty: not shown).
struct EventText {
    const sim::Event& event;

    std::string process() const { return "process " + std::to_string(event.process); }
    std::string operator()(const ev::ProcessStarted& e) const {
        return process() + " started (CoreFoundation " + sim::formatReal(e.coreFoundationVersion) +
               ")";
    }
    std::string operator()(const ev::ProcessEnded& e) const {
        if (e.droppedItems == 0) return process() + " ended";
        return process() + " ended (" + std::to_string(e.droppedItems) +
               (e.droppedItems == 1 ? " pending step" : " pending steps") + " dropped)";
    }
    std::string operator()(const ev::HookInstalled& e) const {
        return "hook installed: " + methodName(e.className, e.selector);
    }
    std::string operator()(const ev::HookSkipped& e) const {
        const bool hooked = e.why == ev::HookSkipped::Why::AlreadyHooked;
        return std::string(hooked ? "hook not installed (already hooked): "
                                  : "hook not installed (absent): ") +
               methodName(e.className, e.selector);
    }
    std::string operator()(const ev::ObserverRegistered& e) const {
        return "observer registered: " + shortName(e.name);
    }
    std::string operator()(const ev::AutoreleasePush&) const { return {}; }
    std::string operator()(const ev::AutoreleasePop&) const { return {}; }
    std::string operator()(const ev::SettingsRead& e) const {
        return std::string("library read the settings: ") + readOutcome(e.outcome);
    }
    std::string operator()(const ev::SettingsWritten& e) const {
        return e.ok ? "library wrote the settings: " + settingsText(e.settings)
                    : "library's settings write failed";
    }
    std::string operator()(const ev::NotificationPosted& e) const {
        return std::string(e.by == ev::NotificationPosted::By::Library ? "posted by the library: "
                                                                       : "posted by the pane: ") +
               shortName(e.name);
    }
    std::string operator()(const ev::NotificationDelivered& e) const {
        return "delivered: " + shortName(e.name);
    }
    std::string operator()(const ev::HostMethodRan& e) const {
        return "host ran " + methodName(e.className, e.selector);
    }
    std::string operator()(const ev::Vibrate& e) const { return vibrationText(e); }
    std::string operator()(const ev::Sound& e) const {
        return "sound " + std::to_string(e.sound) +
               (e.sound == THRUMLINE_CLASSIC_SOUND ? " (classic pulse)" : "");
    }
    std::string operator()(const ev::StepScheduled& e) const {
        return e.due <= event.t_ns ? "step queued, due now"
                                   : "step queued, due at " + trimmedTime(e.due);
    }
    std::string operator()(const ev::PaneWroteSettings& e) const { return paneText(e); }
    std::string operator()(const ev::ActiveCallSet& e) const {
        return "telephony manager: setActiveCall: " + (e.call.empty() ? "nil" : e.call);
    }
    std::string operator()(const ev::CallStatus& e) const {
        static const char* const kWords[] = {"active",  "held",          "dialling",
                                             "ringing", "disconnecting", "disconnected"};
        const bool known = e.status >= 1 && e.status <= 6;
        return "call " + e.call + ": status " + std::to_string(e.status) + " (" +
               (known ? kWords[e.status - 1] : "unknown") + ")";
    }
    std::string operator()(const ev::Fault& e) const { return "FAULT: " + e.problem; }
};

// The timeline line of each kind of entry.
struct EntryText {
    const std::string& cause;

    std::string operator()(const CommandRan& c) const {
        return formatTime(c.t_ns) + "  > " + c.text;
    }
    std::string operator()(const ExpectChecked& c) const {
        return formatTime(c.t_ns) + "  > " + c.text +
               (c.ok ? ": ok" : ": FAILED (line " + std::to_string(c.line) + "): " + c.problem);
    }
    std::string operator()(const LibraryLoaded& l) const {
        return formatTime(l.t_ns) + "  " + kIndent +
               (l.group == "none" ? std::string("library loaded: no hook group")
                                  : "library loaded: hook group " + l.group);
    }
    std::string operator()(const sim::Event& e) const {
        const std::string text = std::visit(EventText{e}, e.data);
        if (text.empty()) return text;
        return formatTime(e.t_ns) + "  " + kIndent + (cause.empty() ? "" : cause + ": ") + text;
    }
};

}  // namespace

std::string textLine(const Entry& entry, const std::string& cause) {
    return std::visit(EntryText{cause}, entry);
}

nlohmann::ordered_json plistToJson(const PlistValue& value) {
    using json = nlohmann::ordered_json;
    switch (value.type()) {
        case PlistValue::Type::None:
            return nullptr;
        case PlistValue::Type::Boolean:
            return value.boolValue();
        case PlistValue::Type::Integer:
            if (value.isUnsigned()) return static_cast<std::uint64_t>(value.intValue());
            return value.intValue();
        case PlistValue::Type::Real:
            return value.realValue();
        case PlistValue::Type::String:
        case PlistValue::Type::Data:
        case PlistValue::Type::Date:
        case PlistValue::Type::Uid:
            return value.type() == PlistValue::Type::String ? json(value.stringValue())
                                                            : json(value.describe());
        case PlistValue::Type::Array: {
            json array = json::array();
            for (const PlistValue& item : value.items()) array.push_back(plistToJson(item));
            return array;
        }
        case PlistValue::Type::Dictionary: {
            json object = json::object();
            for (const auto& entry : value.entries())
                object[entry.first] = plistToJson(entry.second);
            return object;
        }
    }
    return nullptr;
}

namespace {

using Json = nlohmann::ordered_json;

// The JSON fields of each kind of host event, after "t_ns".
struct EventJson {
    Json& out;
    const sim::Event& event;

    void named(const char* name) const {
        out["event"] = name;
        out["process"] = event.process;
    }
    void method(const char* name, const std::string& className, const std::string& selector) const {
        named(name);
        out["class"] = className;
        out["selector"] = selector;
    }
    void operator()(const ev::ProcessStarted& e) const {
        named("process-start");
        out["cf"] = e.coreFoundationVersion;
    }
    void operator()(const ev::ProcessEnded& e) const {
        named("process-end");
        out["dropped_steps"] = e.droppedItems;
    }
    void operator()(const ev::HookInstalled& e) const {
        method("hook-installed", e.className, e.selector);
    }
    void operator()(const ev::HookSkipped& e) const {
        method("hook-skipped", e.className, e.selector);
    }
    void operator()(const ev::ObserverRegistered& e) const {
        named("observer");
        out["name"] = e.name;
    }
    void operator()(const ev::AutoreleasePush&) const { named("autorelease-push"); }
    void operator()(const ev::AutoreleasePop&) const { named("autorelease-pop"); }
    void operator()(const ev::SettingsRead& e) const {
        named("settings-load");
        const bool found = e.outcome == ev::SettingsRead::Outcome::Found;
        out["found"] = found;
        if (!found) out["why"] = readOutcome(e.outcome);
    }
    void operator()(const ev::SettingsWritten& e) const {
        named("settings-write");
        out["ok"] = e.ok;
        Json keys = Json::array();
        for (const auto& entry : e.settings.entries()) keys.push_back(entry.first);
        out["keys"] = keys;
        out["settings"] = plistToJson(e.settings);
    }
    void operator()(const ev::NotificationPosted& e) const {
        const bool byLibrary = e.by == ev::NotificationPosted::By::Library;
        out["event"] = "post";
        out["name"] = e.name;
        out["by"] = byLibrary ? "library" : "pane";
        if (byLibrary) out["process"] = event.process;
    }
    void operator()(const ev::NotificationDelivered& e) const {
        named("delivered");
        out["name"] = e.name;
    }
    void operator()(const ev::HostMethodRan& e) const {
        method("host-method", e.className, e.selector);
    }
    void operator()(const ev::Vibrate& e) const {
        // Exactly the request: the sound and the dictionary's two values;
        // then whether it came while an earlier pattern played.
        out["event"] = "vibrate";
        out["sound"] = e.sound;
        const PlistValue* pattern = e.request.find("VibePattern");
        const PlistValue* intensity = e.request.find("Intensity");
        out["pattern"] = pattern != nullptr ? plistToJson(*pattern) : Json();
        out["intensity"] = intensity != nullptr ? plistToJson(*intensity) : Json();
        if (e.overlaps) out["overlaps_t_ns"] = e.overlapsT;
    }
    void operator()(const ev::Sound& e) const {
        out["event"] = "sound";
        out["sound"] = e.sound;
    }
    void operator()(const ev::StepScheduled& e) const {
        named("step-scheduled");
        out["due_ns"] = e.due;
    }
    void operator()(const ev::PaneWroteSettings& e) const {
        out["event"] = "pane-write";
        out["action"] = paneAction(e.action);
        out["ok"] = e.ok;
        if (e.settings.type() == PlistValue::Type::Dictionary) {
            out["settings"] = plistToJson(e.settings);
        }
    }
    void operator()(const ev::ActiveCallSet& e) const {
        named("active-call");
        out["call"] = e.call.empty() ? Json() : Json(e.call);
    }
    void operator()(const ev::CallStatus& e) const {
        named("call-status");
        out["call"] = e.call;
        out["status"] = e.status;
    }
    void operator()(const ev::Fault& e) const {
        named("fault");
        out["message"] = e.problem;
    }
};

struct EntryJson {
    Json& out;

    void operator()(const CommandRan& c) const {
        out["event"] = "command";
        out["line"] = c.line;
        out["command"] = c.text;
    }
    void operator()(const ExpectChecked& c) const {
        out["event"] = "expect";
        out["line"] = c.line;
        out["command"] = c.text;
        out["ok"] = c.ok;
        if (!c.ok) out["message"] = c.problem;
    }
    void operator()(const LibraryLoaded& l) const {
        out["event"] = "library-loaded";
        out["process"] = l.process;
        out["group"] = l.group;
        Json hooks = Json::array();
        for (const auto& hook : l.hooks) hooks.push_back(methodName(hook.className, hook.selector));
        out["hooks"] = hooks;
    }
    void operator()(const sim::Event& e) const { std::visit(EventJson{out, e}, e.data); }
};

}  // namespace

std::string jsonLine(const nlohmann::ordered_json& object) {
    return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

nlohmann::ordered_json jsonObject(const Entry& entry, const std::string& cause) {
    Json out;
    out["t_ns"] = timeOf(entry);
    std::visit(EntryJson{out}, entry);
    if (!cause.empty()) out["cause"] = cause;
    return out;
}

}  // namespace thrumline::simtool
