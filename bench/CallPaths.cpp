#include "bench/CallPaths.h"

#include <dlfcn.h>

#include <cstring>
#include <stdexcept>

namespace thrumline::hardening {

namespace {

std::uint64_t hostCallCount = 0;

// The host's work, reduced to what cannot be optimised away.
void countingHostMethod(Object, Selector, Object) { ++hostCallCount; }

// Stands in the class's table once the library's replacement is taken out.
void parkedMethod(Object, Selector, Object) {}

}  // namespace

std::uint64_t CallPaths::hostCalls() { return hostCallCount; }

CallPaths::CallPaths(const sim::PlistValue& settings)
    : device_(std::make_unique<sim::Device>()), process_(std::make_unique<sim::Process>(*device_)) {
    device_->paneWriteSettings(settings);
    HostServices& h = process_->services();
    const Class cls = h.objc_getClass("SBTelephonyManager");
    selector_ = h.sel_registerName("setActiveCall:");
    MethodImp simulated = nullptr;
    h.MSHookMessageEx(cls, selector_, &countingHostMethod, &simulated);
    process_->start();  // the library hooks on top of countingHostMethod
    h.MSHookMessageEx(cls, selector_, &parkedMethod, &replacement_);
    host_ = &countingHostMethod;
    if (replacement_ == nullptr || replacement_ == &countingHostMethod) {
        throw std::runtime_error("the library did not hook setActiveCall:");
    }
    receiver_ = process_->telephonyManager();
    call_ = process_->newCall(true);
}

void* CallPaths::libraryFunction(const char* name) const {
    // A code address as dladdr takes it (memcpy: no cast between function
    // and object pointers).
    void* code = nullptr;
    static_assert(sizeof code == sizeof replacement_, "a function pointer fits a pointer");
    std::memcpy(&code, &replacement_, sizeof code);
    Dl_info info{};
    if (::dladdr(code, &info) == 0 || info.dli_fname == nullptr) {
        return nullptr;
    }
    void* library = ::dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
    if (library == nullptr) return nullptr;
    void* function = ::dlsym(library, name);
    ::dlclose(library);  // the process keeps its own reference
    return function;
}

CallPaths::~CallPaths() {
    process_->releaseObject(call_);
    process_.reset();
}

}  // namespace thrumline::hardening
