#include "simulator/phone/ImageLoader.h"

#include "simulator/home-screen/ProcessImpl.h"

namespace thrumline::phone {

ImageLoader::ImageLoader(sim::Process::Impl& process, const Image& image, Cpu& cpu,
                         GuestObjects& objects, EntryPoints& entries)
    : p_(process), image_(image), cpu_(cpu), objects_(objects), entries_(entries) {}

void ImageLoader::load(const BindImport& bindImport) {
    for (const Segment& s : image_.segments) {
        if (s.vmsize == 0 || s.name == "__PAGEZERO") continue;
        cpu_.map(Cpu::kImageBase + s.vmaddr, s.vmsize, s.initprot);
        cpu_.write(Cpu::kImageBase + s.vmaddr, image_.bytes.data() + s.fileoff, s.filesize);
    }
    for (const Fixup& f : image_.fixups) {
        const std::uint64_t at = Cpu::kImageBase + f.addr;
        if (f.kind == Fixup::Kind::Rebase && f.chained) {
            cpu_.write64(at, (Cpu::kImageBase + f.target) | std::uint64_t{f.high8} << 56);
            ++report_.rebases;
        } else if (f.kind == Fixup::Kind::Rebase) {
            cpu_.write64(at, cpu_.read64(at) + Cpu::kImageBase);
            ++report_.rebases;
        } else {
            cpu_.write64(at, resolve(f.symbol, bindImport) + static_cast<std::uint64_t>(f.addend));
            ++report_.binds;
        }
    }
    for (const char* list : {"__objc_classlist", "__objc_catlist", "__objc_protolist"}) {
        if (image_.section(list) != nullptr) {
            report_.unmodelled.push_back(std::string("Objective-C ") + list);
            p_.recordFault("load", std::string("the binary defines ") + list + ": not modelled");
        }
    }
    uniqueSelectors();
}

// What libobjc does for an image: one address per selector name.
void ImageLoader::uniqueSelectors() {
    const Section* refs = image_.section("__objc_selrefs");
    if (refs == nullptr) return;
    std::unordered_map<std::string, std::uint64_t> seen;
    for (std::uint64_t a = 0; a + 8 <= refs->size; a += 8) {
        const std::uint64_t ref = Cpu::kImageBase + refs->addr + a;
        const std::string name = cpu_.cString(cpu_.read64(ref), "selector reference");
        cpu_.write64(ref, objects_.guestOf(sim::toHandle(objects_.runtime().selector(name))));
        ++report_.selectorRefs;
    }
    // Read back: every reference of a name holds the address of that name.
    for (std::uint64_t a = 0; a + 8 <= refs->size; a += 8) {
        const std::uint64_t held = cpu_.read64(Cpu::kImageBase + refs->addr + a);
        const std::string* name = objects_.selectorNameAt(held);
        if (name == nullptr) {
            report_.selectorProblems.push_back("reference " + std::to_string(a / 8));
            continue;
        }
        seen.emplace(*name, held);
    }
    report_.selectorNames = seen.size();
}

std::uint64_t ImageLoader::resolve(const std::string& symbol, const BindImport& bindImport) {
    auto it = imports_.find(symbol);
    if (it != imports_.end()) return it->second;
    std::uint64_t addr = 0;
    const std::string classPrefix = "_OBJC_CLASS_$_";
    if (symbol.compare(0, classPrefix.size(), classPrefix) == 0) {
        const GuestObjects::ClassInfo* cls = objects_.knownClass(symbol.substr(classPrefix.size()));
        if (cls != nullptr) addr = cls->guest;
    } else {
        addr = bindImport(symbol);
    }
    if (addr == 0) {
        report_.unmodelled.push_back(symbol);
        p_.recordFault("load", "import " + symbol + " is not modelled");
        addr = cpu_.trap(symbol, [symbol](Cpu&) -> Result {
            throw GuestFault{symbol, "an import the model does not know was called"};
        });
    }
    imports_.emplace(symbol, addr);
    return addr;
}

void ImageLoader::runInitialisers() {
    // dyld hands initialisers argc, argv, envp and apple.
    const std::uint64_t argv = cpu_.allocData(32);
    const std::string program = "/System/Library/CoreServices/SpringBoard.app/SpringBoard";
    const std::uint64_t text = cpu_.allocData(program.size() + 1);
    cpu_.write(text, program.c_str(), program.size() + 1);
    cpu_.write64(argv, text);
    for (const Initialiser& init : image_.initialisers) {
        const std::uint64_t at = Cpu::kImageBase + init.at;
        std::uint64_t fn = 0;
        try {
            fn = init.isOffset ? Cpu::kImageBase + (cpu_.read64(at) & 0xFFFFFFFF) : cpu_.read64(at);
        } catch (const GuestFault&) {
        }
        // dyld signs an offset's initialiser itself (pointers in
        // __mod_init_func arrive signed by the image).
        if (init.isOffset) fn = cpu_.sign(fn);
        entries_.enter(fn, {1, argv, argv + 16, argv + 16}, "an initialiser");
    }
}

void ImageLoader::runTerminators() {
    while (!terminators_.empty()) {
        const auto [fn, arg] = terminators_.back();
        terminators_.pop_back();
        entries_.enter(fn, {arg}, "the function handed to __cxa_atexit");
    }
}

}  // namespace thrumline::phone
