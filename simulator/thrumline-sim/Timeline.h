// What a run of thrumline-sim shows, in order: the scenario's own steps and
// the simulated host's events as it recorded them.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <variant>
#include <vector>

#include "simulator/home-screen/Event.h"

namespace thrumline::simtool {

// A scenario command began (not an expect).
struct CommandRan {
    std::uint64_t t_ns = 0;
    int line = 0;
    std::string text;  // as written
};

// An expect and its result.
struct ExpectChecked {
    std::uint64_t t_ns = 0;
    int line = 0;
    std::string text;
    bool ok = false;
    std::string problem;  // what was found instead, when not ok
};

// A process finished loading the library: which hook group is in place.
struct LibraryLoaded {
    std::uint64_t t_ns = 0;
    int process = 0;
    std::string group;  // "iOS10", "iOS11", "none" or "unknown"
    std::vector<sim::events::HookInstalled> hooks;
};

using Entry = std::variant<CommandRan, ExpectChecked, LibraryLoaded, sim::Event>;
using EntrySink = std::function<void(const Entry&)>;

inline std::uint64_t timeOf(const Entry& entry) {
    return std::visit([](const auto& e) { return e.t_ns; }, entry);
}

}  // namespace thrumline::simtool
