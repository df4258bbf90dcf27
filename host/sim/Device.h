// The simulated home-screen host: a phone (Device) on a virtual clock, on
// which home-screen processes (Process) start, load the real libthrumline
// shared library and run it against simulated platform services.
//
// Everything the library does is recorded on the device's event log, in
// order, with its virtual time. Tests and thrumline-sim read that log.
//
// Not thread-safe: one thread drives a device, its processes and the
// library they load, as the home screen's main thread does.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/HostServices.h"
#include "host/sim/Event.h"
#include "host/sim/MainQueue.h"
#include "host/sim/PlistValue.h"
#include "settings/Contract.h"

namespace thrumline::sim {

// The settings file as the library names it on the device.
inline constexpr const char* kDeviceSettingsPath = THRUMLINE_SETTINGS_PATH;

constexpr std::int64_t kNanosPerMilli = 1000000;
constexpr std::int64_t kNanosPerSecond = 1000000000;

class Process;

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
    // Appends an event of `process` (0: the pane) at the current time.
    void record(int process, Event::Data data);
    // Forgets the events recorded so far, so that long runs keep a flat memory.
    void clearEvents();

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
    Process* running_ = nullptr;
    int processCount_ = 0;
};

// How a host implementation behaves when it runs (for tests of the hooks).
struct HostMethodBehaviour {
    bool releaseArgument = false;  // drops one reference the host held on the argument
    bool throwFailure = false;     // raises HostFailure after recording that it ran
};

// What a host implementation throws when told to fail.
struct HostFailure {
    std::string what;
};

struct ProcessOptions {
    double coreFoundationVersion = 1443.0;
    // The library to load; empty: the libthrumline built with this host.
    std::string libraryPath;
    // Host classes this process leaves out (for example "CHManager").
    std::vector<std::string> absentClasses;
    // The phone's own Thrumline.dylib (arm64 Mach-O) to run under CPU
    // emulation instead of the Linux library (host/phone); empty: the library.
    std::string phoneBinary;
    // With phoneBinary: counts here the arm64 instructions its own code runs.
    std::uint64_t* instructionCounter = nullptr;
};

// One home-screen process. Starting it loads a fresh copy of the library,
// so every process begins with the library's initial state; ending it
// unloads the library and drops its own pending steps and observers. The
// settings file stays on the device. A process must not outlive its device.
class Process {
public:
    Process(Device& device, ProcessOptions options = {});
    ~Process();  // ends the process if it runs
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // Loads the library (both load-time initialisers run), then runs the main
    // queue until idle. Throws std::runtime_error if the library cannot load.
    void start();
    void end();
    bool isRunning() const;

    // --- The home screen's own events (each followed by nothing: run the
    //     device's main queue to let it go on) ---
    // -[SBTelephonyManager setActiveCall:] on the host's telephony manager.
    void setActiveCall(Object call);
    // -[CHManager databaseChanged:] on the host's call-history manager.
    void databaseChanged(Object argument);
    // -[SpringBoard applicationDidFinishLaunching:] on the application object.
    void applicationDidFinishLaunching(Object application);
    // Throws std::invalid_argument for a failure with a phone binary: the
    // exception would unwind through the emulated code.
    void setHostBehaviour(const std::string& selector, HostMethodBehaviour behaviour);

    // --- Host objects (owned references; release with releaseObject) ---
    Object newCall(bool connected);
    Object newPlainObject();  // an NSObject, for arguments of no interest
    void setConnected(Object call, bool connected);
    // Calls start incoming; none: a call that does not answer isOutgoing.
    void setOutgoing(Object call, std::optional<bool> outgoing);
    void retainObject(Object object);
    void releaseObject(Object object);
    int retainCount(Object object) const;  // 0 for a deallocated object
    bool isAlive(Object object) const;
    std::size_t liveObjects() const;
    // Frees the zombies kept for deallocated objects (see ObjectRuntime), so
    // that long runs keep a flat memory. Returns how many.
    std::size_t discardZombies();
    // How often isConnected was asked of this call.
    int isConnectedQueries(Object call) const;
    // A new object holding a property-list value (NSNumber, NSString, NSData,
    // NSDate, or an NSMutableArray / NSMutableDictionary of such values).
    Object newValue(const PlistValue& value);
    // The property list an object holds; None for null, dead or non-value objects.
    PlistValue valueOf(Object object) const;
    // The receiver objects the host's classes were instantiated with.
    Object telephonyManager() const;
    Object callHistoryManager() const;
    Object application() const;

    // --- Observation ---
    HostServices& services();
    // The hook slot a replacement would receive: the current implementation
    // of `selector` on `className`, and whether it is the host's own.
    bool isHooked(const std::string& className, const std::string& selector) const;
    std::size_t observerCount() const;
    int faults() const;

    // A Darwin notification posted elsewhere (the pane) reaches this
    // process's observers of `name`, later, on the main queue.
    void receivePost(const std::string& name);

    // Drops this process's items on the main queue (its steps and the posts
    // waiting for it), as if they had run. Returns how many.
    std::size_t cancelPending();

    Device& device();
    int number() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace thrumline::sim
