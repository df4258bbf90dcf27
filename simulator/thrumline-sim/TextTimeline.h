// The timeline's lines, with a normal start told in one line: a process
// that installed its hook group whole, registered the five observers in
// their order and read the settings once shows
//   library loaded: hook group iOS11 (2 hooks, 5 observers, settings: found)
// in place of those steps. Any other start (a hook not installed, an
// observer missing or out of order, a fault) keeps every line, as --verbose
// does for all starts. JSON and the picture always hold every step.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "simulator/thrumline-sim/Timeline.h"

namespace thrumline::simtool {

class TextTimeline {
public:
    TextTimeline(std::ostream& out, bool verbose) : out_(out), verbose_(verbose) {}
    void add(const Entry& entry, const std::string& cause);
    // Writes what a start cut short left held back.
    void finish();

private:
    // The words in brackets after a normal start's "library loaded", or
    // false when the held steps are not a normal start.
    bool summarise(const LibraryLoaded& loaded, std::string& summary) const;

    std::ostream& out_;
    const bool verbose_;
    bool starting_ = false;         // between a process's start and its library's load
    std::vector<sim::Event> held_;  // a start's steps, shown or summed up at its load
};

}  // namespace thrumline::simtool
