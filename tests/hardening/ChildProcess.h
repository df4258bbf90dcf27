// Running part of a test in a forked child: for kills at random moments,
// and for changes (mounts, limits, a lower user) that must not touch the
// test process itself.
#pragma once

#include <functional>
#include <string>

namespace thrumline::hardening {

struct ChildOutcome {
    bool exited = false;  // ended through its own exit, not a signal
    int signal = 0;       // the signal that ended it, if one did
    std::string report;   // what the body returned
};

// Runs `body` in a forked child and returns what it returned. A report that
// starts with "SKIP:" means the child could not arrange what the test needs.
ChildOutcome runInChild(const std::function<std::string()>& body);

// Resident memory of this process, in bytes.
long residentBytes();

}  // namespace thrumline::hardening
