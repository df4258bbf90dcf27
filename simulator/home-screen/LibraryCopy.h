// A private copy of the library, loaded with dlopen: the dynamic loader
// shares a library between dlopen calls by path, and each simulated process
// must begin with the library's initial state.
#pragma once

#include <string>

#include "tweak/platform/HostServices.h"

namespace thrumline::sim {

class LibraryCopy {
public:
    LibraryCopy() = default;
    ~LibraryCopy();  // unloads
    LibraryCopy(const LibraryCopy&) = delete;
    LibraryCopy& operator=(const LibraryCopy&) = delete;

    // Copies the library at `path` and loads the copy; its load-time
    // initialisers bind it to `services`. Throws std::runtime_error with the
    // reason when it cannot copy or load.
    void load(const std::string& path, HostServices& services);
    // Unloads the copy (its global destructors run) and removes the file.
    void unload();

private:
    void* handle_ = nullptr;
    std::string copy_;
};

}  // namespace thrumline::sim
