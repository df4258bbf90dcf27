#include "tools/thrumline-sim/Render.h"

#include "hooks/Hooks.h"
#include "tools/thrumline-sim/Scenario.h"
#include "vibration/PulseChains.h"
#include "vibration/VibrationPatterns.h"

#include <cstdio>
#include <cstring>

namespace thrumline::simtool {

using sim::PlistValue;

std::string formatTime(std::uint64_t t_ns) {
    char buffer[48];
    const unsigned long long seconds = t_ns / 1000000000ULL;
    const unsigned long long fraction = t_ns % 1000000000ULL;
    if (fraction % 1000000ULL == 0) {
        std::snprintf(buffer, sizeof buffer, "%4llu.%03llus", seconds, fraction / 1000000ULL);
    } else {
        std::snprintf(buffer, sizeof buffer, "%4llu.%09llus", seconds, fraction);
    }
    return buffer;
}

std::string formatDuration(std::uint64_t nanos) {
    struct Unit {
        std::uint64_t nanos;
        const char* name;
    };
    static const Unit units[] = {{3600000000000ULL, "h"}, {60000000000ULL, "m"}, {1000000000ULL, "s"},
                                 {1000000ULL, "ms"},      {1000ULL, "us"},       {1ULL, "ns"}};
    if (nanos == 0) return "0ms";
    std::string out;
    for (const Unit& unit : units) {
        if (nanos >= unit.nanos) {
            out += std::to_string(nanos / unit.nanos) + unit.name;
            nanos %= unit.nanos;
        }
    }
    return out;
}

std::string settingText(const PlistValue& value) {
    switch (value.type()) {
        case PlistValue::Type::Boolean: return value.boolValue() ? "true" : "false";
        case PlistValue::Type::Integer:
            return value.isUnsigned() ? std::to_string(static_cast<std::uint64_t>(value.intValue()))
                                      : std::to_string(value.intValue());
        case PlistValue::Type::Real: return scenario::formatReal(value.realValue());
        case PlistValue::Type::String: return scenario::Value::ofString(value.stringValue()).toText();
        default: return value.describe();
    }
}

std::string settingsText(const PlistValue& dictionary) {
    if (dictionary.entries().empty()) return "(no keys)";
    std::string out;
    for (const auto& entry : dictionary.entries()) {
        if (!out.empty()) out += ' ';
        out += entry.first + "=" + settingText(entry.second);
    }
    return out;
}

bool readPattern(const PlistValue& dictionary, std::vector<PatternStepView>& steps) {
    steps.clear();
    const PlistValue* pattern = dictionary.find("VibePattern");
    if (pattern == nullptr || pattern->type() != PlistValue::Type::Array) return false;
    const auto& items = pattern->items();
    if (items.size() % 2 != 0) return false;
    for (std::size_t i = 0; i < items.size(); i += 2) {
        if (items[i].type() != PlistValue::Type::Boolean || items[i + 1].type() != PlistValue::Type::Integer) {
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
    const char* full = kPrefsChangedNotification;
    const char* dot = std::strrchr(full, '.');
    return std::string(full, dot != nullptr ? static_cast<std::size_t>(dot - full + 1) : 0);
}

std::string shortName(const std::string& name) {
    static const std::string prefix = libraryPrefix();
    if (!prefix.empty() && name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0) {
        return name.substr(prefix.size());
    }
    return name;
}

// "Class selector" as -[Class selector].
std::string methodName(const std::string& name) { return "-[" + name + "]"; }

std::string className(const std::string& name) { return name.substr(0, name.find(' ')); }

std::string selectorName(const std::string& name) {
    const std::size_t space = name.find(' ');
    return space == std::string::npos ? std::string() : name.substr(space + 1);
}

std::string trimmedTime(std::uint64_t t_ns) {
    std::string text = formatTime(t_ns);
    return text.substr(text.find_first_not_of(' '));
}

std::string paneAction(const std::string& detail) { return detail.substr(0, detail.find(' ')); }

std::string vibrationText(const Record& record) {
    std::string out = "vibrate";
    if (record.sound != kVibrateSoundID) out += " (sound " + std::to_string(record.sound) + ")";
    std::vector<PatternStepView> steps;
    if (!readPattern(record.value, steps)) return out + " " + record.value.describe();
    std::int64_t total = 0;
    for (const PatternStepView& step : steps) total += step.ms;
    out += " " + patternDrawing(steps) + "  (" + std::to_string(total) + " ms";
    const PlistValue* intensity = record.value.find("Intensity");
    const bool plainIntensity = intensity != nullptr && intensity->type() == PlistValue::Type::Integer &&
                                intensity->intValue() == 1;
    if (!plainIntensity) out += ", intensity " + (intensity != nullptr ? settingText(*intensity) : "missing");
    if (record.value.entries().size() != 2) out += ", " + std::to_string(record.value.entries().size()) + " keys";
    return out + ")";
}

std::string eventText(const Record& record) {
    switch (record.kind) {
        case RecordKind::ProcessStart:
            return "process " + std::to_string(record.process) + " started (CoreFoundation " +
                   scenario::formatReal(record.version) + ")";
        case RecordKind::ProcessEnd:
            return "process " + std::to_string(record.process) + " ended" +
                   (record.number == 0 ? ""
                                       : " (" + std::to_string(record.number) +
                                             (record.number == 1 ? " pending step" : " pending steps") +
                                             " dropped)");
        case RecordKind::HookInstalled: return "hook installed: " + methodName(record.name);
        case RecordKind::HookSkipped: return "hook not installed (absent): " + methodName(record.name);
        case RecordKind::LibraryLoaded:
            return record.group == "none" ? "library loaded: no hook group"
                                          : "library loaded: hook group " + record.group;
        case RecordKind::Observer: return "observer registered: " + shortName(record.name);
        case RecordKind::SettingsLoad:
            return record.flag ? "library read the settings: found"
                               : "library read the settings: " + (record.message.empty() ? "none" : record.message);
        case RecordKind::SettingsWrite:
            return record.flag ? "library wrote the settings: " + settingsText(record.value)
                               : "library's settings write failed";
        case RecordKind::PaneWrite: {
            const std::string action = paneAction(record.message);
            if (action == "delete") {
                return record.flag ? "pane deleted the settings file" : "pane found no settings file to delete";
            }
            if (!record.flag) return "pane could not write the settings file (" + record.message + ")";
            if (action == "bytes") {
                return "pane wrote the settings file: " + record.message.substr(6) + " bytes as given";
            }
            if (record.value.type() != PlistValue::Type::Dictionary) return "pane: no settings file to change";
            return "pane wrote the settings: " + settingsText(record.value);
        }
        case RecordKind::Post:
            return std::string(record.flag ? "posted by the library: " : "posted by the pane: ") +
                   shortName(record.name);
        case RecordKind::Delivered: return "delivered: " + shortName(record.name);
        case RecordKind::HostMethod: return "host ran " + methodName(record.name);
        case RecordKind::Vibrate: return vibrationText(record);
        case RecordKind::Sound:
            return "sound " + std::to_string(record.sound) +
                   (record.sound == kClassicPulseSoundID ? " (classic pulse)" : "");
        case RecordKind::StepScheduled:
            return record.number <= record.t_ns ? "step queued, due now"
                                                : "step queued, due at " + trimmedTime(record.number);
        case RecordKind::Fault: return "FAULT: " + record.message;
        default: return {};
    }
}

}  // namespace

std::string textLine(const Record& record) {
    const std::string time = formatTime(record.t_ns);
    switch (record.kind) {
        case RecordKind::Command: return time + "  > " + record.command;
        case RecordKind::Expect:
            return time + "  > " + record.command +
                   (record.flag ? ": ok" : ": FAILED (line " + std::to_string(record.line) + "): " + record.message);
        case RecordKind::AutoreleasePush:
        case RecordKind::AutoreleasePop:
            return {};
        default: return time + "  " + kIndent + eventText(record);
    }
}

nlohmann::ordered_json plistToJson(const PlistValue& value) {
    using json = nlohmann::ordered_json;
    switch (value.type()) {
        case PlistValue::Type::None: return nullptr;
        case PlistValue::Type::Boolean: return value.boolValue();
        case PlistValue::Type::Integer:
            if (value.isUnsigned()) return static_cast<std::uint64_t>(value.intValue());
            return value.intValue();
        case PlistValue::Type::Real: return value.realValue();
        case PlistValue::Type::String:
        case PlistValue::Type::Data:
        case PlistValue::Type::Date:
        case PlistValue::Type::Uid:
            return value.type() == PlistValue::Type::String ? json(value.stringValue()) : json(value.describe());
        case PlistValue::Type::Array: {
            json array = json::array();
            for (const PlistValue& item : value.items()) array.push_back(plistToJson(item));
            return array;
        }
        case PlistValue::Type::Dictionary: {
            json object = json::object();
            for (const auto& entry : value.entries()) object[entry.first] = plistToJson(entry.second);
            return object;
        }
    }
    return nullptr;
}

nlohmann::ordered_json jsonObject(const Record& record) {
    nlohmann::ordered_json out;
    out["t_ns"] = record.t_ns;
    auto withProcess = [&](const char* event) {
        out["event"] = event;
        out["process"] = record.process;
    };
    auto withMethod = [&](const char* event) {
        withProcess(event);
        out["class"] = className(record.name);
        out["selector"] = selectorName(record.name);
    };
    switch (record.kind) {
        case RecordKind::Command:
            out["event"] = "command";
            out["line"] = record.line;
            out["command"] = record.command;
            break;
        case RecordKind::Expect:
            out["event"] = "expect";
            out["line"] = record.line;
            out["command"] = record.command;
            out["ok"] = record.flag;
            if (!record.flag) out["message"] = record.message;
            break;
        case RecordKind::ProcessStart:
            withProcess("process-start");
            out["cf"] = record.version;
            break;
        case RecordKind::ProcessEnd:
            withProcess("process-end");
            out["dropped_steps"] = record.number;
            break;
        case RecordKind::HookInstalled: withMethod("hook-installed"); break;
        case RecordKind::HookSkipped: withMethod("hook-skipped"); break;
        case RecordKind::LibraryLoaded: {
            withProcess("library-loaded");
            out["group"] = record.group;
            nlohmann::ordered_json hooks = nlohmann::ordered_json::array();
            for (const std::string& hook : record.hooks) hooks.push_back(methodName(hook));
            out["hooks"] = hooks;
            break;
        }
        case RecordKind::Observer:
            withProcess("observer");
            out["name"] = record.name;
            break;
        case RecordKind::SettingsLoad:
            withProcess("settings-load");
            out["found"] = record.flag;
            if (!record.flag && !record.message.empty()) out["why"] = record.message;
            break;
        case RecordKind::SettingsWrite: {
            withProcess("settings-write");
            out["ok"] = record.flag;
            nlohmann::ordered_json keys = nlohmann::ordered_json::array();
            for (const auto& entry : record.value.entries()) keys.push_back(entry.first);
            out["keys"] = keys;
            out["settings"] = plistToJson(record.value);
            break;
        }
        case RecordKind::PaneWrite:
            out["event"] = "pane-write";
            out["action"] = paneAction(record.message);
            out["ok"] = record.flag;
            if (record.value.type() == PlistValue::Type::Dictionary) out["settings"] = plistToJson(record.value);
            break;
        case RecordKind::Post:
            out["event"] = "post";
            out["name"] = record.name;
            out["by"] = record.flag ? "library" : "pane";
            if (record.flag) out["process"] = record.process;
            break;
        case RecordKind::Delivered:
            withProcess("delivered");
            out["name"] = record.name;
            break;
        case RecordKind::HostMethod: withMethod("host-method"); break;
        case RecordKind::Vibrate: {
            // Exactly the request: the sound and the dictionary's two values.
            out["event"] = "vibrate";
            out["sound"] = record.sound;
            const PlistValue* pattern = record.value.find("VibePattern");
            const PlistValue* intensity = record.value.find("Intensity");
            out["pattern"] = pattern != nullptr ? plistToJson(*pattern) : nlohmann::ordered_json();
            out["intensity"] = intensity != nullptr ? plistToJson(*intensity) : nlohmann::ordered_json();
            break;
        }
        case RecordKind::Sound:
            out["event"] = "sound";
            out["sound"] = record.sound;
            break;
        case RecordKind::StepScheduled:
            withProcess("step-scheduled");
            out["due_ns"] = record.number;
            break;
        case RecordKind::Fault:
            withProcess("fault");
            out["message"] = record.message;
            break;
        case RecordKind::AutoreleasePush: withProcess("autorelease-push"); break;
        case RecordKind::AutoreleasePop: withProcess("autorelease-pop"); break;
    }
    return out;
}

}  // namespace thrumline::simtool
