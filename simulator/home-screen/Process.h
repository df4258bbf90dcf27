// A simulated home-screen process on a Device: it loads the real
// libthrumline (or the phone's own binary under emulation) and gives it the
// simulated platform services. Its inside is ProcessImpl.h.
//
// Not thread-safe, as the device it runs on.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "simulator/home-screen/Device.h"
#include "simulator/home-screen/PlistValue.h"
#include "tweak/hooks/HookGroups.h"
#include "tweak/platform/HostServices.h"

namespace thrumline::sim {

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
    double coreFoundationVersion = kLowestVersion_iOS11;
    // The library to load; empty: the libthrumline built with this host.
    std::string libraryPath;
    // Host classes this process leaves out (for example "CHManager").
    std::vector<std::string> absentClasses;
    // The phone's own Thrumline.dylib (arm64, arm64e or fat Mach-O) to run
    // under CPU emulation instead of the Linux library (simulator/phone); empty:
    // the library.
    std::string phoneBinary;
    // With phoneBinary: the slice of a fat file to run, "arm64" or
    // "arm64e"; empty: arm64e when the file has one.
    std::string phoneSlice;
    // With phoneBinary: counts here the instructions its own code runs.
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
    // The slice of the phone binary running ("arm64" or "arm64e"); empty
    // for the Linux library or when nothing runs.
    std::string phoneSlice() const;

    // --- The home screen's own events (each followed by nothing: run the
    //     device's main queue to let it go on) ---
    // -[SBTelephonyManager setActiveCall:] on the host's telephony manager.
    void setActiveCall(Object call);
    // -[CHManager databaseChanged:] on the host's call-history manager.
    void databaseChanged(Object argument);
    // The same, sent on a background queue: the platform door is then the
    // main thread's only (see HostServices.h), and any other use a fault.
    // Whether the home screen sends it so is unknown (a class dump suggests
    // the call history's own queue); the simulator offers both.
    void databaseChangedInBackground(Object argument);
    // -[SpringBoard applicationDidFinishLaunching:] on the application object.
    void applicationDidFinishLaunching(Object application);
    // Throws std::invalid_argument for a failure with a phone binary: the
    // exception would unwind through the emulated code.
    void setHostBehaviour(const std::string& selector, HostMethodBehaviour behaviour);

    // --- Host objects (owned references; release with releaseObject) ---
    // `status`: TUCall's (0 for a call whose status no test cares about).
    Object newCall(bool connected, std::int32_t status = 0);
    Object newPlainObject();  // an NSObject, for arguments of no interest
    // What the call answers to isConnected and to status. A call that
    // turns connected keeps the time it did (callDuration counts from it);
    // one that turns disconnecting or disconnected, the time it ended.
    void setConnected(Object call, bool connected);
    void setStatus(Object call, std::int32_t status);
    // The virtual times a call connected and ended, for a call that did so
    // before this process made its object.
    void setCallTimes(Object call, std::optional<std::uint64_t> connectedAt,
                      std::optional<std::uint64_t> endedAt);
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
