// What dyld does for the image: maps its segments into the CPU, writes the
// pointers its fixups name (imports bound to the tables' rows), gives each
// selector name one address as libobjc does, runs its initialisers, and at
// unloading the functions it registered with __cxa_atexit.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "simulator/phone/Cpu.h"
#include "simulator/phone/EntryPoints.h"
#include "simulator/phone/GuestObjects.h"
#include "simulator/phone/MachO.h"

namespace thrumline::phone {

// What the loader did, read back from the emulated memory after loading.
struct LoadReport {
    std::size_t rebases = 0;
    std::size_t binds = 0;
    std::vector<std::string> unmodelled;  // imports and classes no table row answers
    std::size_t selectorRefs = 0;
    std::size_t selectorNames = 0;
    // Selector references that do not hold the one address of their name.
    std::vector<std::string> selectorProblems;
};

class ImageLoader {
public:
    // The trap or data cell a table row binds `symbol` to; 0 when no row knows it.
    using BindImport = std::function<std::uint64_t(const std::string& symbol)>;

    ImageLoader(sim::Process::Impl& process, const Image& image, Cpu& cpu, GuestObjects& objects,
                EntryPoints& entries);

    void load(const BindImport& bindImport);
    void runInitialisers();
    void addTerminator(std::uint64_t fn, std::uint64_t arg) { terminators_.push_back({fn, arg}); }
    // Newest first.
    void runTerminators();
    const LoadReport& report() const { return report_; }

private:
    std::uint64_t resolve(const std::string& symbol, const BindImport& bindImport);
    void uniqueSelectors();

    sim::Process::Impl& p_;
    const Image& image_;
    Cpu& cpu_;
    GuestObjects& objects_;
    EntryPoints& entries_;
    LoadReport report_;
    std::unordered_map<std::string, std::uint64_t> imports_;  // symbol -> trap or data
    std::vector<std::pair<std::uint64_t, std::uint64_t>> terminators_;
};

}  // namespace thrumline::phone
