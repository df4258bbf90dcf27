// libFuzzer: arbitrary bytes as the settings file of a simulated phone, then
// a load, the previews, two calls and a launch with the respring guard's
// writes, each checked against the rules (SettingsFileHarness).
#include "fuzz/SettingsFileHarness.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {
thrumline::hardening::SettingsFileHarness* harness = nullptr;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // One process for the whole run; destroyed at exit with its device folder.
    static thrumline::hardening::SettingsFileHarness instance;
    harness = &instance;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string problem = harness->run(std::string(reinterpret_cast<const char*>(data), size));
    if (!problem.empty()) {
        std::fprintf(stderr, "settings file input broke a rule: %s\n", problem.c_str());
        std::abort();
    }
    return 0;
}
