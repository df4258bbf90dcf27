// The device side of the simulated host: the virtual clock with its main
// queue, the device-root folder, the event log and the settings pane
// stand-in. Processes live in SimProcess.cpp.
#include "host/sim/SimHost.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "host/sim/ProcessImpl.h"

namespace thrumline::sim {

const char* eventKindName(EventKind kind) {
    switch (kind) {
        case EventKind::ProcessStarted:
            return "ProcessStarted";
        case EventKind::ProcessEnded:
            return "ProcessEnded";
        case EventKind::HookInstalled:
            return "HookInstalled";
        case EventKind::HookSkipped:
            return "HookSkipped";
        case EventKind::ObserverRegistered:
            return "ObserverRegistered";
        case EventKind::AutoreleasePush:
            return "AutoreleasePush";
        case EventKind::AutoreleasePop:
            return "AutoreleasePop";
        case EventKind::SettingsRead:
            return "SettingsRead";
        case EventKind::SettingsWritten:
            return "SettingsWritten";
        case EventKind::NotificationPosted:
            return "NotificationPosted";
        case EventKind::NotificationDelivered:
            return "NotificationDelivered";
        case EventKind::HostMethodRan:
            return "HostMethodRan";
        case EventKind::Vibrate:
            return "Vibrate";
        case EventKind::Sound:
            return "Sound";
        case EventKind::StepScheduled:
            return "StepScheduled";
        case EventKind::PaneWroteSettings:
            return "PaneWroteSettings";
        case EventKind::Fault:
            return "Fault";
    }
    return "?";
}

// -------------------------------------------------------------------- device

Device::Device(std::string deviceRoot) : root_(std::move(deviceRoot)) {
    namespace fs = std::filesystem;
    if (root_.empty()) {
        std::string pattern = (fs::temp_directory_path() / "thrumline-device-XXXXXX").string();
        if (::mkdtemp(&pattern[0]) == nullptr) {
            throw std::runtime_error("cannot create a device folder in " + pattern);
        }
        root_ = pattern;
        ownsRoot_ = true;
    }
    while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
    std::error_code error;
    fs::create_directories(hostPath("/var/mobile/Library/Preferences"), error);
    if (error)
        throw std::runtime_error("cannot prepare device folder " + root_ + ": " + error.message());
}

Device::~Device() {
    if (running_ != nullptr) running_->end();
    if (ownsRoot_) {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
}

void Device::clearEvents() { events_.clear(); }

void Device::setRunning(Process* process) {
    if (process != nullptr && running_ != nullptr && running_ != process) {
        throw std::logic_error("another process is running on this device");
    }
    running_ = process;
}

// Beside the device's event log: the process side has no other use for it.
std::size_t Process::discardZombies() { return impl_->runtime->discardZombies(); }

std::string Device::hostPath(const std::string& devicePath) const {
    if (!devicePath.empty() && devicePath.front() == '/') return root_ + devicePath;
    return root_ + "/" + devicePath;
}

void Device::record(Event event) {
    event.t_ns = queue_.now();
    events_.push_back(std::move(event));
}

namespace {

Event paneEvent(EventKind kind, std::string name, std::string detail, bool flag = false) {
    Event event;
    event.kind = kind;
    event.process = 0;  // the pane is not a home-screen process
    event.name = std::move(name);
    event.detail = std::move(detail);
    event.flag = flag;
    return event;
}

}  // namespace

void Device::paneWriteSettings(const PlistValue& dictionary) {
    const bool ok = writePlistFileAtomically(settingsFile(), dictionary);
    Event event = paneEvent(EventKind::PaneWroteSettings, kDeviceSettingsPath,
                            "write " + dictionary.describe(), ok);
    event.value = dictionary;
    record(std::move(event));
}

void Device::paneSetKeys(const PlistValue& keysAndValues) {
    PlistValue settings = readSettingsFile();
    if (settings.type() != PlistValue::Type::Dictionary) settings = PlistValue::dictionary();
    for (const auto& entry : keysAndValues.entries()) settings.set(entry.first, entry.second);
    const bool ok = writePlistFileAtomically(settingsFile(), settings);
    Event event = paneEvent(EventKind::PaneWroteSettings, kDeviceSettingsPath,
                            "set " + keysAndValues.describe(), ok);
    event.value = settings;
    record(std::move(event));
}

void Device::paneUnsetKeys(const std::vector<std::string>& keys) {
    std::string what = "unset";
    for (const std::string& key : keys) what += " " + key;
    PlistValue settings = readSettingsFile();
    bool ok = true;
    // Nothing to take keys out of: no file is created.
    if (settings.type() == PlistValue::Type::Dictionary) {
        for (const std::string& key : keys) settings.erase(key);
        ok = writePlistFileAtomically(settingsFile(), settings);
    }
    Event event = paneEvent(EventKind::PaneWroteSettings, kDeviceSettingsPath, what, ok);
    event.value = settings;
    record(std::move(event));
}

void Device::paneDeleteSettings() {
    const bool ok = ::unlink(settingsFile().c_str()) == 0;
    record(paneEvent(EventKind::PaneWroteSettings, kDeviceSettingsPath, "delete", ok));
}

void Device::paneWriteSettingsBytes(const std::string& bytes) {
    const bool ok = writeFileAtomically(settingsFile(), bytes);
    record(paneEvent(EventKind::PaneWroteSettings, kDeviceSettingsPath,
                     "bytes " + std::to_string(bytes.size()), ok));
}

void Device::panePost(const std::string& name) {
    record(paneEvent(EventKind::NotificationPosted, name, "", /*byLibrary=*/false));
    if (running_ != nullptr) running_->receivePost(name);
}

PlistValue Device::readSettingsFile() const { return readPlistFile(settingsFile()); }

}  // namespace thrumline::sim
