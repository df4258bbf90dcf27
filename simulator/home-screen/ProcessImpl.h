// The inside of a simulated home-screen process, shared by the device (which
// delivers the pane's posts) and the process itself.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "simulator/home-screen/LibraryCopy.h"
#include "simulator/home-screen/ObjectRuntime.h"
#include "simulator/home-screen/Process.h"

namespace thrumline::phone {
class PhoneBinary;
}

namespace thrumline::sim {

struct Process::Impl {
    Impl(Process& self, Device& device, ProcessOptions options);
    ~Impl();

    // The process whose runtime made this object or selector handle.
    static Impl* owning(const void* handle);

    void record(Event::Data data);
    std::string selectorName(Selector selector) const;
    void recordFault(const std::string& message, const std::string& detail);
    // A post of `name` reaches each observer of it once, later, on the main queue.
    void deliver(const std::string& name);
    // dispatch_after on the main queue: `run` runs no earlier than `when`, a
    // dispatch_time_t value (MainQueue::dispatchTimeAt).
    void dispatchAfter(std::uint64_t when, StepPurpose purpose, std::function<void()> run);
    // What every host implementation does: record, then behave as told.
    void hostMethodRan(Object self, Selector cmd, Object arg);
    // Sends a hooked message as the host would: through the class's current
    // implementation. Does nothing when the receiver's class is absent.
    void send(SimObject* receiver, const std::string& selector, Object arg);
    // Host classes and their single instances, minus the absent classes.
    void createHostObjects();
    // A fresh, empty runtime; the previous one and all its objects go.
    void resetRuntime();

    struct Observer {
        NotificationCallback callback;
        const void* observer;
        std::string name;
    };
    enum class State { Created, Running, Ended };

    Process& self;
    Device& device;
    ProcessOptions options;
    int number;
    State state = State::Created;
    std::unique_ptr<ObjectRuntime> runtime;
    std::unique_ptr<HostServices> services;
    SimObject* telephonyManager = nullptr;
    SimObject* callHistoryManager = nullptr;
    SimObject* application = nullptr;
    std::map<std::string, HostMethodBehaviour> behaviours;
    std::vector<Observer> observers;
    int faults = 0;
    std::uintptr_t autoreleaseDepth = 0;
    std::uint64_t runningStep = 0;  // the number of the step running now; 0: none
    bool offMainThread = false;     // the host runs a hook on another thread
    LibraryCopy library;
    std::unique_ptr<phone::PhoneBinary> phone;  // instead of the library
    // Stand-ins for the notification center and the main queue handles.
    char centerToken = 0;
    char queueToken = 0;
};

// The platform services of `process`.
std::unique_ptr<HostServices> makeSimServices(Process::Impl& process);
// The host's own implementation of every method the library may hook.
void hostMethod(Object self, Selector cmd, Object arg);

}  // namespace thrumline::sim
