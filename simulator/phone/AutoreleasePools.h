// The binary's autorelease pools: its own (objc_autoreleasePoolPush) and the
// host's around each call into it, drained innermost first as libobjc
// drains them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "simulator/phone/GuestObjects.h"

namespace thrumline::phone {

class AutoreleasePools {
public:
    AutoreleasePools(sim::Process::Impl& process, GuestObjects& objects);

    // `guest` into the innermost pool; with no pool in place it leaks (a fault).
    std::uint64_t autorelease(std::uint64_t guest);
    std::uint64_t push();
    // Pops the pool of `token` and every pool above it.
    void pop(std::uint64_t token);

    // A pool of the host's around a call into the binary: the depth to
    // drain back to when the call returns, or to drop back to (nothing
    // released) when it crashed.
    std::size_t pushHostPool();
    void drainTo(std::size_t depth);
    void dropTo(std::size_t depth) { pools_.resize(depth); }

private:
    struct Pool {
        std::uint64_t token;  // 0: a pool of the host's around a call into the binary
        std::vector<std::uint64_t> objects;
    };
    void drain(Pool& pool);

    sim::Process::Impl& p_;
    GuestObjects& objects_;
    std::vector<Pool> pools_;
};

}  // namespace thrumline::phone
