// The two ways a call event reaches the host's -[SBTelephonyManager
// setActiveCall:], for measuring what the library adds: through the library's
// replacement, or straight to the host implementation.
//
// The simulated host's own implementation records an event (strings, a
// vector) on every call; that cost belongs to the host and would drown what
// the library adds. So the host implementation is replaced, before the
// library loads, by one that only counts, and both paths call it.
#pragma once

#include <cstdint>
#include <memory>

#include "simulator/home-screen/PlistValue.h"
#include "simulator/home-screen/Process.h"

namespace thrumline::hardening {

class CallPaths {
public:
    // Writes `settings`, starts an iOS 11 process and takes the library's
    // replacement of setActiveCall: out of the class.
    explicit CallPaths(const sim::PlistValue& settings);
    ~CallPaths();
    CallPaths(const CallPaths&) = delete;
    CallPaths& operator=(const CallPaths&) = delete;

    // As the host's message dispatch would: the library's replacement, which
    // calls the host implementation from its slot.
    void hooked(Object call) { replacement_(receiver_, selector_, call); }
    // The host implementation alone, as an unhooked host calls it.
    void unhooked(Object call) { host_(receiver_, selector_, call); }

    // How often the host implementation ran.
    static std::uint64_t hostCalls();

    // A function the library exports (refreshPrefs), from the copy this
    // process loaded; null when there is none.
    void* libraryFunction(const char* name) const;

    sim::Device& device() { return *device_; }
    sim::Process& process() { return *process_; }
    Object connectedCall() const { return call_; }

private:
    std::unique_ptr<sim::Device> device_;
    std::unique_ptr<sim::Process> process_;
    Object receiver_ = nullptr;
    Selector selector_ = nullptr;
    Object call_ = nullptr;
    MethodImp host_ = nullptr;
    MethodImp replacement_ = nullptr;
};

}  // namespace thrumline::hardening
