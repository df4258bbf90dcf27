// The simulated phone: a device on a virtual clock, on which home-screen
// processes (Process.h) start, load the real libthrumline shared library and
// run it against simulated platform services.
//
// Everything the library does is recorded on the device's event log, in
// order, with its virtual time. Tests and thrumline-sim read that log.
//
// Not thread-safe: one thread drives a device, its processes and the
// library they load, as the home screen's main thread does.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "simulator/home-screen/Event.h"
#include "simulator/home-screen/MainQueue.h"
#include "simulator/home-screen/PlistValue.h"
#include "tweak/settings/Contract.h"

namespace thrumline::sim {

// The settings file as the library names it on the device.
inline constexpr const char* kDeviceSettingsPath = THRUMLINE_SETTINGS_PATH;

constexpr std::int64_t kNanosPerMilli = 1000000;
constexpr std::int64_t kNanosPerSecond = 1000000000;

class Process;

// A settings file with every key of the contract, each at its value when
// missing and of its type, then `overrides` on top: what the tests and
// benchmarks start from, so that a key added to the contract reaches them.
PlistValue settingsWithEveryKey(const PlistValue::Entries& overrides = {});

// How long a vibration request's pattern plays: the sum of its on and off
// lengths, one below zero counting as none. False when the request holds no
// "VibePattern" of (boolean, integer) pairs.
bool patternNanos(const PlistValue& request, std::uint64_t& nanos);

// The phone. Owns the device-root folder (a real folder on disk standing for
// the device's "/"), the virtual clock, the event log, and at most one
// running home-screen process at a time.
class Device {
public:
    // `deviceRoot` empty: a fresh temporary folder, removed when the device is destroyed.
    explicit Device(std::string deviceRoot = {});
    ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    const std::string& deviceRoot() const { return root_; }
    // Maps a device path ("/var/mobile/...") to the real file under the root.
    std::string hostPath(const std::string& devicePath) const;
    std::string settingsFile() const { return hostPath(kDeviceSettingsPath); }

    // The virtual clock and main queue every process on the device shares.
    MainQueue& mainQueue() { return queue_; }
    const std::vector<Event>& events() const { return events_; }
    // Appends an event of `process` (0: the pane) at the current time, made
    // while main-queue step `step` ran (0: none).
    void record(int process, Event::Data data, std::uint64_t step = 0);
    // Numbers main-queue steps from 1, across the device's processes.
    std::uint64_t nextStepNumber() { return ++steps_; }
    // Forgets the events recorded so far, so that long runs keep a flat memory.
    void clearEvents();

    // The phone plays one vibration at a time. A pattern request (sound
    // 4095 with a pattern) plays from now for the sum of its on and off
    // lengths, across home-screen restarts too (assumed: that a respring
    // stops a vibration playing is not known); `vibrate` is marked when it
    // starts while an earlier one still plays, naming the most recent of
    // those. What the phone then does is not documented, so nothing else
    // changes.
    void startVibration(events::Vibrate& vibrate);

    // --- The settings pane stand-in (writes without posting) ---
    // Replaces the settings file with exactly this dictionary, as XML.
    void paneWriteSettings(const PlistValue& dictionary);
    // Changes single keys of the file, keeping the rest (creates it if missing).
    void paneSetKeys(const PlistValue& keysAndValues);
    void paneUnsetKeys(const std::vector<std::string>& keys);
    void paneDeleteSettings();
    // Replaces the settings file with these bytes, unchanged.
    void paneWriteSettingsBytes(const std::string& bytes);
    // The pane posts a Darwin notification (reaches the running process, if any).
    void panePost(const std::string& name);

    // Darwin notifications held back, as a busy phone may: from holdPosts on,
    // every post (the pane's and the library's) waits; deliverHeldPosts
    // hands each to the process running then, in order and one by one (none
    // runs: they are lost), and delivery is immediate again.
    void holdPosts() { holdingPosts_ = true; }
    void deliverHeldPosts();
    bool holdsPosts() const { return holdingPosts_; }
    void holdPost(const std::string& name) { heldPosts_.push_back(name); }

    // The settings file as it stands, parsed; null value when missing or unreadable.
    PlistValue readSettingsFile() const;

    Process* running() const { return running_; }
    // For Process: marks `process` as the running one (null: none runs).
    // Throws std::logic_error if another process runs.
    void setRunning(Process* process);
    // For Process: the number the next process made on the device gets.
    int numberNextProcess() { return ++processCount_; }

private:
    std::string root_;
    bool ownsRoot_ = false;
    MainQueue queue_;
    std::vector<Event> events_;
    std::uint64_t steps_ = 0;
    // The patterns that may still play, as [start, end): later starts have
    // earlier ends, since a pattern a later one outlasts can no longer be
    // the most recent one playing.
    struct Playing {
        std::uint64_t start = 0;
        std::uint64_t end = 0;
    };
    std::vector<Playing> playing_;
    Process* running_ = nullptr;
    int processCount_ = 0;
    bool holdingPosts_ = false;
    std::vector<std::string> heldPosts_;
};

}  // namespace thrumline::sim
