#include "simulator/home-screen/LibraryCopy.h"

#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

#include "simulator/home-screen/Files.h"

namespace thrumline::sim {

namespace {

// The services of the process whose library copy is being loaded right
// now: what thrumlineBindHost answers. The library asks from its load-time
// initialiser, inside dlopen, where nothing else can be handed to it.
HostServices* servicesBeingLoaded = nullptr;

// Copies the library to a file of its own: the dynamic loader shares a
// library between dlopen calls by path, and each process must begin with
// the library's initial state.
std::string copyLibrary(const std::string& source) {
    std::string bytes;
    if (!readFileBytes(source, &bytes)) {
        throw std::runtime_error("cannot read the library " + source);
    }
    std::string copy =
        (std::filesystem::temp_directory_path() / "thrumline-process-XXXXXX.so").string();
    const int fd = ::mkstemps(&copy[0], 3);
    if (fd < 0) throw std::runtime_error("cannot create a copy of the library");
    const bool written = writeAll(fd, bytes);
    ::close(fd);
    if (!written) {
        ::unlink(copy.c_str());
        throw std::runtime_error("cannot write a copy of the library");
    }
    return copy;
}

}  // namespace

LibraryCopy::~LibraryCopy() { unload(); }

void LibraryCopy::load(const std::string& path, HostServices& services) {
    copy_ = copyLibrary(path);
    servicesBeingLoaded = &services;
    handle_ = ::dlopen(copy_.c_str(), RTLD_NOW | RTLD_LOCAL);
    servicesBeingLoaded = nullptr;
    if (handle_ == nullptr) {
        const char* error = ::dlerror();
        unload();
        throw std::runtime_error(error != nullptr ? error : "unknown error");
    }
}

void LibraryCopy::unload() {
    if (handle_ != nullptr) {
        ::dlclose(handle_);
        handle_ = nullptr;
    }
    if (!copy_.empty()) {
        ::unlink(copy_.c_str());
        copy_.clear();
    }
}

}  // namespace thrumline::sim

extern "C" __attribute__((visibility("default"))) thrumline::HostServices* thrumlineBindHost() {
    return thrumline::sim::servicesBeingLoaded;
}
