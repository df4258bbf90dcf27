// libFuzzer: arbitrary bytes as the settings file of a simulated phone, then
// a load, the previews, two calls and a launch with the respring guard's
// writes, each checked against the rules (SettingsFileHarness).
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "fuzz/SettingsFileHarness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // One process for the whole run; destroyed at exit with its device folder.
    static thrumline::hardening::SettingsFileHarness harness;
    const std::string problem = harness.run(std::string(reinterpret_cast<const char*>(data), size));
    if (problem.empty()) return 0;
    std::fprintf(stderr, "settings file input broke a rule: %s\n", problem.c_str());
    std::abort();
}
