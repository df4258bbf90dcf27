// libFuzzer: arbitrary text as a thrumline-sim scenario. The parser must end
// in commands or in one FILE:LINE error, never in a crash (ScenarioHarness).
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "fuzz/ScenarioHarness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string problem = thrumline::hardening::checkScenarioText(text);
    if (problem.empty()) return 0;
    std::fprintf(stderr, "scenario input broke a rule: %s\n", problem.c_str());
    std::abort();
}
