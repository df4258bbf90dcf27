// The device side of the simulated host: the virtual clock with its main
// queue, the device-root folder, the event log and the settings pane
// stand-in. Processes live in Process.cpp.
#include "simulator/home-screen/Device.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "simulator/home-screen/Files.h"
#include "simulator/home-screen/Process.h"

namespace thrumline::sim {

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
    fs::create_directories(fs::path(settingsFile()).parent_path(), error);
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

std::string Device::hostPath(const std::string& devicePath) const {
    if (!devicePath.empty() && devicePath.front() == '/') return root_ + devicePath;
    return root_ + "/" + devicePath;
}

void Device::record(int process, Event::Data data, std::uint64_t step) {
    events_.push_back(Event{queue_.now(), process, std::move(data), step});
}

PlistValue settingsWithEveryKey(const PlistValue::Entries& overrides) {
    PlistValue file = PlistValue::dictionary();
#define THRUMLINE_KEY_BOOLEAN(key, missing) file.set(#key, PlistValue::boolean(missing != 0));
#define THRUMLINE_KEY_INTEGER(key, missing) file.set(#key, PlistValue::integer(missing));
#define THRUMLINE_KEY(key, type, missing, initial) THRUMLINE_KEY_##type(key, missing)
    THRUMLINE_SETTING_KEYS(THRUMLINE_KEY)
#undef THRUMLINE_KEY
#undef THRUMLINE_KEY_INTEGER
#undef THRUMLINE_KEY_BOOLEAN
    for (const auto& [key, value] : overrides) file.set(key, value);
    return file;
}

bool patternNanos(const PlistValue& request, std::uint64_t& nanos) {
    nanos = 0;
    const PlistValue* pattern = request.find("VibePattern");
    if (pattern == nullptr || pattern->type() != PlistValue::Type::Array) return false;
    const std::vector<PlistValue>& items = pattern->items();
    if (items.size() % 2 != 0) return false;
    for (std::size_t i = 0; i < items.size(); i += 2) {
        if (items[i].type() != PlistValue::Type::Boolean ||
            items[i + 1].type() != PlistValue::Type::Integer) {
            nanos = 0;
            return false;
        }
        const std::int64_t ms = items[i + 1].intValue();
        if (ms > 0) nanos += static_cast<std::uint64_t>(ms) * kNanosPerMilli;
    }
    return true;
}

void Device::startVibration(events::Vibrate& vibrate) {
    std::uint64_t nanos = 0;
    if (vibrate.sound != THRUMLINE_VIBRATE_SOUND || !patternNanos(vibrate.request, nanos)) return;
    const std::uint64_t now = queue_.now();
    // The ends fall along the list, so the patterns over by now are its tail.
    while (!playing_.empty() && playing_.back().end <= now) playing_.pop_back();
    if (!playing_.empty()) {
        vibrate.overlaps = true;
        vibrate.overlapsT = playing_.back().start;
    }
    const std::uint64_t end = nanos > UINT64_MAX - now ? UINT64_MAX : now + nanos;
    while (!playing_.empty() && playing_.back().end <= end) playing_.pop_back();
    if (end > now) playing_.push_back({now, end});
}

namespace {
using Pane = events::PaneWroteSettings;
constexpr int kPane = 0;  // the pane is not a home-screen process
}  // namespace

void Device::paneWriteSettings(const PlistValue& dictionary) {
    const bool ok = writePlistFileAtomically(settingsFile(), dictionary);
    record(kPane, Pane{Pane::Action::Write, ok, dictionary, 0, dictionary});
}

void Device::paneSetKeys(const PlistValue& keysAndValues) {
    PlistValue settings = readSettingsFile();
    if (settings.type() != PlistValue::Type::Dictionary) settings = PlistValue::dictionary();
    for (const auto& entry : keysAndValues.entries()) settings.set(entry.first, entry.second);
    const bool ok = writePlistFileAtomically(settingsFile(), settings);
    record(kPane, Pane{Pane::Action::Set, ok, keysAndValues, 0, settings});
}

void Device::paneUnsetKeys(const std::vector<std::string>& keys) {
    PlistValue names = PlistValue::array();
    for (const std::string& key : keys) names.append(PlistValue::string(key));
    PlistValue settings = readSettingsFile();
    bool ok = true;
    // Nothing to take keys out of: no file is created.
    if (settings.type() == PlistValue::Type::Dictionary) {
        for (const std::string& key : keys) settings.erase(key);
        ok = writePlistFileAtomically(settingsFile(), settings);
    }
    record(kPane, Pane{Pane::Action::Unset, ok, names, 0, settings});
}

void Device::paneDeleteSettings() {
    const bool ok = ::unlink(settingsFile().c_str()) == 0;
    record(kPane, Pane{Pane::Action::Delete, ok, {}, 0, {}});
}

void Device::paneWriteSettingsBytes(const std::string& bytes) {
    const bool ok = writeFileAtomically(settingsFile(), bytes);
    record(kPane, Pane{Pane::Action::Bytes, ok, {}, bytes.size(), {}});
}

void Device::panePost(const std::string& name) {
    record(kPane, events::NotificationPosted{name, events::NotificationPosted::By::Pane});
    if (running_ != nullptr) running_->receivePost(name);
}

void Device::deliverHeldPosts() {
    holdingPosts_ = false;
    std::vector<std::string> posts;
    posts.swap(heldPosts_);
    for (const std::string& name : posts) {
        if (running_ != nullptr) running_->receivePost(name);
    }
}

PlistValue Device::readSettingsFile() const { return readPlistFile(settingsFile()); }

}  // namespace thrumline::sim
