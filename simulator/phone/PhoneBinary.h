// The phone's own Thrumline.dylib as the library of a simulated home-screen
// process: one slice, arm64 or arm64e, loaded into an emulated CPU the way
// dyld loads it (an arm64e slice on a CPU that authenticates pointers, its
// initialisers, hooks, callbacks and queued work called through signed
// pointers, as the platform calls them),
// its imports answered by the simulated host's models (the object runtime,
// the platform services, the main queue), one table row per imported
// function and per Objective-C message.
//
// Host and binary meet where the Linux library and the host meet:
// MSHookMessageEx installs a host-side entry into the simulated class that
// runs the binary's replacement, and the binary calls the host's original
// through its slot. What the model does not know (an import, a message, a
// class) is a fault event naming it, never a silent zero.
//
// The parts: the loader (ImageLoader), the objects as the binary sees them
// (GuestObjects), its autorelease pools (AutoreleasePools), the ways into it
// (EntryPoints), and the tables that answer it (PhoneTables).
#pragma once

#include <cstdint>
#include <string>

#include "simulator/home-screen/Process.h"
#include "simulator/phone/AutoreleasePools.h"
#include "simulator/phone/Cpu.h"
#include "simulator/phone/EntryPoints.h"
#include "simulator/phone/GuestObjects.h"
#include "simulator/phone/ImageLoader.h"
#include "simulator/phone/MachO.h"
#include "simulator/phone/PhoneTables.h"

namespace thrumline::phone {

class PhoneBinary {
public:
    // Maps, rebases and binds the image at `path` (its `slice`, or arm64e
    // when it has one) and uniques its selectors for `process`. Throws
    // std::runtime_error when it cannot be loaded.
    PhoneBinary(sim::Process::Impl& process, const std::string& path, const std::string& slice,
                std::uint64_t* instructionCounter);
    PhoneBinary(const PhoneBinary&) = delete;
    PhoneBinary& operator=(const PhoneBinary&) = delete;

    void runInitialisers() { loader_.runInitialisers(); }
    // What unloading runs: the functions registered with __cxa_atexit, newest first.
    void runTerminators() { loader_.runTerminators(); }
    const LoadReport& report() const { return loader_.report(); }
    // "arm64" or "arm64e": the slice that runs.
    const char* slice() const { return image_.arm64e ? "arm64e" : "arm64"; }
    // For the host-side entries of hooks and callbacks.
    EntryPoints& entries() { return entries_; }

private:
    Image image_;
    Cpu cpu_;
    GuestObjects objects_;
    std::uint64_t center_, mainQueue_;  // data cells standing for them
    AutoreleasePools pools_;
    EntryPoints entries_;
    ImageLoader loader_;
    TableParts tables_;
};

}  // namespace thrumline::phone
