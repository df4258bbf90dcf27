// The ways into the binary: the host-side entries MSHookMessageEx and the
// notification center get in place of the binary's functions, the host's
// originals the binary calls on, and the main queue's work. Each call runs
// inside a pool of the host's; a fault is the home screen crashing: recorded,
// and nothing of the binary runs again.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "simulator/phone/AutoreleasePools.h"
#include "simulator/phone/Cpu.h"
#include "simulator/phone/GuestObjects.h"

namespace thrumline::phone {

class EntryPoints {
public:
    // `center`: the address the binary knows the notification center by.
    EntryPoints(sim::Process::Impl& process, Cpu& cpu, GuestObjects& objects,
                AutoreleasePools& pools, std::uint64_t center);

    // Runs the binary's `fn` for the host. On arm64e `fn` is a signed
    // pointer, called through an authenticating branch; `what` names it for
    // a fault.
    void enter(std::uint64_t fn, const std::vector<std::uint64_t>& args, const std::string& what);
    // What the host-side entries run.
    void enterHook(std::size_t entry, Object self, Selector cmd, Object arg);
    void enterCallback(std::size_t entry, void* observer, Object name);

    // `guestImp` and `guestFn` as the binary handed them: signed on arm64e.
    std::uint64_t hookEntryFor(std::uint64_t guestImp, MethodImp* entry);
    std::uint64_t callbackEntryFor(std::uint64_t guestFn, NotificationCallback* entry);
    // The address the binary calls `original` at, signed as the binary
    // calls it on arm64e.
    std::uint64_t originalFor(MethodImp original, const std::string& name);
    // The binary's replacement behind a host-side entry; 0 for another implementation.
    std::uint64_t hookedImp(MethodImp imp) const;
    // dispatch_after_f on the main queue.
    void schedule(std::uint64_t when, std::uint64_t work, std::uint64_t context);

private:
    sim::Process::Impl& p_;
    Cpu& cpu_;
    GuestObjects& objects_;
    AutoreleasePools& pools_;
    std::uint64_t center_;
    // The binary's replacements (without their signatures, and as handed
    // over) and its callbacks (as handed over).
    std::vector<std::uint64_t> hookImps_, hookSigned_, callbacks_;
    std::map<MethodImp, std::uint64_t> originals_;
    bool crashed_ = false;
};

}  // namespace thrumline::phone
