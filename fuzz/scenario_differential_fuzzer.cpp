// libFuzzer: arbitrary text as a scenario, replayed on the Linux library and
// on the phone's own binary (THRUMLINE_PHONE_DYLIB); any difference in what
// happened is a finding (DifferentialHarness). Its simulated processes load a
// copy of the library without coverage counters: each process loads a fresh
// copy, and libFuzzer would go on reading the counters of copies already
// unloaded once the emulator's memory had taken their place.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/DifferentialHarness.h"

namespace {
std::string dylib;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* path = std::getenv("THRUMLINE_PHONE_DYLIB");
    if (path == nullptr || *path == '\0') {
        std::fprintf(stderr,
                     "scenario_differential: set THRUMLINE_PHONE_DYLIB to a Thrumline.dylib\n");
        std::exit(2);
    }
    dylib = path;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string difference =
        thrumline::hardening::compareOnPhone(text, dylib, THRUMLINE_UNCOVERED_LIBRARY);
    if (difference.empty()) return 0;
    std::fprintf(stderr, "the phone binary and the Linux library differ: %s\n", difference.c_str());
    std::abort();
}
