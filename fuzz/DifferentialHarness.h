// Runs a scenario on the Linux library and on the phone's own binary under
// emulation and compares what happened. Shared by the differential libFuzzer
// target and the test that replays its seeds.
#pragma once

#include <string>

namespace thrumline::hardening {

// Parses `text` and, when it parses, replays it twice: on the Linux build of
// the library and on the phone binary at `dylib`. Returns the first
// difference in the JSON lines, the errors or the exit code, or an empty
// string. Scenarios that read files, or whose waits add up to more than six
// hours of virtual time, are not run (nothing to compare). `linuxLibrary`
// names another Linux build of the library; empty: the one built with the
// simulator. `slice` is the phone binary's slice to run; empty: arm64e when
// it has one.
std::string compareOnPhone(const std::string& text, const std::string& dylib,
                           const std::string& linuxLibrary = {}, const std::string& slice = {});

}  // namespace thrumline::hardening
