// The modelled platform (PhoneTables.cpp): one row per imported function or
// datum and one per Objective-C message the binary sends, answered from the
// simulated host's models through the parts of the binary a row needs.
#pragma once

#include <cstdint>
#include <string>

#include "simulator/phone/AutoreleasePools.h"
#include "simulator/phone/Cpu.h"
#include "simulator/phone/EntryPoints.h"
#include "simulator/phone/GuestObjects.h"
#include "simulator/phone/ImageLoader.h"

namespace thrumline::phone {

struct TableParts {
    sim::Process::Impl& process;
    Cpu& cpu;
    GuestObjects& objects;
    AutoreleasePools& pools;
    EntryPoints& entries;
    ImageLoader& loader;  // for __cxa_atexit
    // The addresses the binary knows the notification center and the main queue by.
    std::uint64_t center, mainQueue;

    HostServices& services();
};

// Binds `symbol` to a trap or a data cell; 0 when no row knows it.
std::uint64_t bindImport(TableParts& parts, const std::string& symbol);

}  // namespace thrumline::phone
