#include "simulator/phone/PhoneBinary.h"

#include <algorithm>
#include <array>
#include <stdexcept>
#include <utility>

#include "simulator/home-screen/Files.h"
#include "simulator/home-screen/ProcessImpl.h"

namespace thrumline::phone {

using sim::ObjectRuntime;
using sim::SimObject;

namespace {

constexpr std::uint64_t kLocalBase = Cpu::kObjectBase + Cpu::kObjectSize / 2;
constexpr std::size_t kEntries = 16;

// Foundation as far as the binary uses it, and the call object of the
// telephony framework: each class and its superclass. The host's own
// classes come from the simulated runtime.
constexpr std::pair<const char*, const char*> kFoundationClasses[] = {
    {"NSObject", ""},
    {"NSString", "NSObject"},
    {"NSMutableString", "NSString"},
    {"NSNumber", "NSObject"},
    {"NSDictionary", "NSObject"},
    {"NSMutableDictionary", "NSDictionary"},
    {"NSArray", "NSObject"},
    {"NSMutableArray", "NSArray"},
    {"NSData", "NSObject"},
    {"NSDate", "NSObject"},
    {"NSKeyedArchiverUID", "NSObject"},
    {"NSPropertyListSerialization", "NSObject"},
    {"TUCall", "NSObject"},
};

PhoneBinary* phoneOf(const void* handle) {
    sim::Process::Impl* p = sim::Process::Impl::owning(handle);
    return p != nullptr ? p->phone.get() : nullptr;
}

template <std::size_t N>
void hookEntry(Object self, Selector cmd, Object arg) {
    PhoneBinary* phone = phoneOf(self);
    if (phone == nullptr) phone = phoneOf(cmd);
    if (phone != nullptr) phone->enterHook(N, self, cmd, arg);
}

template <std::size_t N>
void callbackEntry(NotificationCenter, void* observer, Object name, const void*, Object) {
    if (PhoneBinary* phone = phoneOf(name)) phone->enterCallback(N, observer, name);
}

template <std::size_t... N>
constexpr std::array<MethodImp, kEntries> hookEntries(std::index_sequence<N...>) {
    return {&hookEntry<N>...};
}
template <std::size_t... N>
constexpr std::array<NotificationCallback, kEntries> callbackEntries(std::index_sequence<N...>) {
    return {&callbackEntry<N>...};
}
constexpr auto kHookEntries = hookEntries(std::make_index_sequence<kEntries>());
constexpr auto kCallbackEntries = callbackEntries(std::make_index_sequence<kEntries>());

Image readImageFile(const std::string& path, const std::string& slice) {
    std::string bytes;
    if (!sim::readFileBytes(path, &bytes)) throw std::runtime_error("cannot read " + path);
    return readImage(bytes, slice);
}

}  // namespace

PhoneBinary::PhoneBinary(sim::Process::Impl& process, const std::string& path,
                         const std::string& slice, std::uint64_t* instructionCounter)
    : p_(process), image_(readImageFile(path, slice)), cpu_(image_.arm64e) {
    cpu_.symbolize = [this](std::uint64_t addr) {
        if (addr < Cpu::kImageBase) return std::string();
        return image_.symbolize(addr - Cpu::kImageBase);
    };
    for (const auto& row : kFoundationClasses) classNamed(row.first).superclass = row.second;
    center = cpu_.allocData(64);
    mainQueue = cpu_.allocData(128);
    load();
    if (instructionCounter != nullptr) {
        std::uint64_t end = 0;
        for (const Segment& s : image_.segments) {
            if (s.initprot & 4) end = std::max(end, s.vmaddr + s.vmsize);
        }
        cpu_.countInstructions(Cpu::kImageBase, Cpu::kImageBase + end, instructionCounter);
    }
}

PhoneBinary::~PhoneBinary() = default;

sim::ObjectRuntime& PhoneBinary::runtime() { return *p_.runtime; }
HostServices& PhoneBinary::services() { return *p_.services; }

// ------------------------------------------------------------------ loading

void PhoneBinary::load() {
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
            cpu_.write64(at, resolve(f.symbol) + static_cast<std::uint64_t>(f.addend));
            ++report_.binds;
        }
    }
    for (const char* list : {"__objc_classlist", "__objc_catlist", "__objc_protolist"}) {
        if (image_.section(list) != nullptr) {
            report_.unmodelled.push_back(std::string("Objective-C ") + list);
            p_.recordFault("load", std::string("the binary defines ") + list + ": not modelled");
        }
    }
    // What libobjc does for an image: one address per selector name.
    if (const Section* refs = image_.section("__objc_selrefs")) {
        std::unordered_map<std::string, std::uint64_t> seen;
        for (std::uint64_t a = 0; a + 8 <= refs->size; a += 8) {
            const std::uint64_t ref = Cpu::kImageBase + refs->addr + a;
            const std::string name = cpu_.cString(cpu_.read64(ref), "selector reference");
            cpu_.write64(ref, guestOf(sim::toHandle(runtime().selector(name))));
            ++report_.selectorRefs;
        }
        // Read back: every reference of a name holds the address of that name.
        for (std::uint64_t a = 0; a + 8 <= refs->size; a += 8) {
            const std::uint64_t held = cpu_.read64(Cpu::kImageBase + refs->addr + a);
            const auto name = selectorName_.find(held);
            if (name == selectorName_.end() || selectorByName_[name->second] != held) {
                report_.selectorProblems.push_back("reference " + std::to_string(a / 8));
                continue;
            }
            seen.emplace(name->second, held);
        }
        report_.selectorNames = seen.size();
    }
}

std::uint64_t PhoneBinary::resolve(const std::string& symbol) {
    auto it = imports_.find(symbol);
    if (it != imports_.end()) return it->second;
    std::uint64_t addr = 0;
    const std::string classPrefix = "_OBJC_CLASS_$_";
    if (symbol.compare(0, classPrefix.size(), classPrefix) == 0) {
        const auto cls = classes_.find(symbol.substr(classPrefix.size()));
        if (cls != classes_.end()) addr = cls->second.guest;
    } else {
        addr = bindImport(*this, symbol);
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

void PhoneBinary::runInitialisers() {
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
        enter(fn, {1, argv, argv + 16, argv + 16}, "an initialiser");
    }
}

void PhoneBinary::runTerminators() {
    while (!terminators_.empty()) {
        const auto [fn, arg] = terminators_.back();
        terminators_.pop_back();
        enter(fn, {arg}, "the function handed to __cxa_atexit");
    }
}

// ------------------------------------------------------- calls into the binary

void PhoneBinary::enter(std::uint64_t fn, const std::vector<std::uint64_t>& args,
                        const std::string& what) {
    if (crashed_) return;
    const std::size_t depth = pools_.size();
    pools_.push_back({0, {}});
    try {
        cpu_.callSigned(fn, args, what);
        while (pools_.size() > depth) {
            Pool pool = std::move(pools_.back());
            pools_.pop_back();
            drain(pool);
        }
    } catch (const GuestFault& fault) {
        crashed_ = true;
        pools_.resize(depth);
        if (!fault.recorded)
            p_.recordFault(fault.call, "the home screen crashed: " + fault.problem);
    }
}

void PhoneBinary::enterHook(std::size_t entry, Object self, Selector cmd, Object arg) {
    if (entry >= hookImps_.size()) return;
    const sim::SimSelector* sel = runtime().selectorOf(cmd);
    enter(hookSigned_[entry], {guestOf(self), guestOf(cmd), guestOf(arg)},
          "the replacement for " + (sel != nullptr ? sel->name : "?"));
}

void PhoneBinary::enterCallback(std::size_t entry, void* observer, Object name) {
    if (entry >= callbacks_.size()) return;
    const sim::SimObject* text = runtime().receiver(name, "notification callback");
    const std::string named = text != nullptr && text->value.type() == sim::PlistValue::Type::String
                                  ? text->value.stringValue()
                                  : "?";
    enter(callbacks_[entry],
          {center, reinterpret_cast<std::uint64_t>(observer), guestOf(name), 0, 0},
          "the callback observing " + named + " handed to CFNotificationCenterAddObserver");
}

void PhoneBinary::schedule(std::uint64_t when, std::uint64_t work, std::uint64_t context) {
    // The device backend's context is the step it queued: the step's
    // function, then its purpose in the next eight bytes.
    const auto purpose = static_cast<StepPurpose>(cpu_.read64(context + 8) & 0xFFFFFFFF);
    p_.dispatchAfter(when, purpose, [this, work, context] {
        enter(work, {context}, "the work function handed to dispatch_after_f");
    });
}

std::uint64_t PhoneBinary::hookEntryFor(std::uint64_t guestImp, MethodImp* entry) {
    // What Substrate's MSHookMessageEx does on arm64e: the replacement must
    // be signed as every function pointer is (IA, discriminator 0).
    const std::optional<std::uint64_t> plain = cpu_.authenticate(guestImp);
    if (!plain) {
        throw GuestFault{"MSHookMessageEx",
                         "pointer authentication failed: the replacement handed to "
                         "MSHookMessageEx is not signed with key IA and discriminator 0"};
    }
    auto it = std::find(hookImps_.begin(), hookImps_.end(), *plain);
    if (it == hookImps_.end()) {
        if (hookImps_.size() == kEntries)
            throw GuestFault{"MSHookMessageEx", "more than 16 replacements: not modelled"};
        it = hookImps_.insert(hookImps_.end(), *plain);
        hookSigned_.push_back(guestImp);
    }
    const auto n = static_cast<std::size_t>(it - hookImps_.begin());
    *entry = kHookEntries[n];
    return n;
}

std::uint64_t PhoneBinary::callbackEntryFor(std::uint64_t guestFn, NotificationCallback* entry) {
    auto it = std::find(callbacks_.begin(), callbacks_.end(), guestFn);
    if (it == callbacks_.end()) {
        if (callbacks_.size() == kEntries)
            throw GuestFault{"CFNotificationCenterAddObserver",
                             "more than 16 callbacks: not modelled"};
        it = callbacks_.insert(callbacks_.end(), guestFn);
    }
    const auto n = static_cast<std::size_t>(it - callbacks_.begin());
    *entry = kCallbackEntries[n];
    return n;
}

// The address the binary calls a hooked method's previous implementation
// at: the binary's own replacement when it was one, else a trap into the host's.
std::uint64_t PhoneBinary::hookedImp(MethodImp imp) const {
    for (std::size_t n = 0; n < hookImps_.size(); ++n) {
        if (kHookEntries[n] == imp) return hookImps_[n];
    }
    return 0;
}

std::uint64_t PhoneBinary::originalFor(MethodImp original, const std::string& name) {
    if (const std::uint64_t guest = hookedImp(original)) return cpu_.sign(guest);
    auto it = originals_.find(original);
    if (it != originals_.end()) return cpu_.sign(it->second);
    const std::uint64_t addr = cpu_.trap(name, [this, original](Cpu& c) {
        original(objectAt(c.arg(0)), selectorAt(c.arg(1), "original implementation"),
                 objectAt(c.arg(2)));
        return Result::none();
    });
    originals_.emplace(original, addr);
    return cpu_.sign(addr);
}

// ------------------------------------------------------------------- objects

std::uint64_t PhoneBinary::guestOf(Object object) {
    if (object == nullptr) return 0;
    if (ObjectRuntime::owning(object) != &runtime()) return reinterpret_cast<std::uint64_t>(object);
    auto* o = reinterpret_cast<SimObject*>(object);
    const std::uint64_t addr = Cpu::kObjectBase + 16 * o->id;
    if (addr + 16 > kLocalBase) throw GuestFault{"objects", "more objects than the emulator holds"};
    objectById_[o->id] = o;
    cpu_.write64(addr, classNamed(ObjectRuntime::className(o)).guest);  // isa
    return addr;
}

Object PhoneBinary::objectAt(std::uint64_t guest) {
    if (guest == 0) return nullptr;
    if (guest >= Cpu::kObjectBase && guest < kLocalBase && guest % 16 == 0) {
        const auto it = objectById_.find((guest - Cpu::kObjectBase) / 16);
        // A freed zombie's memory may hold a newer object: then it is gone.
        if (it != objectById_.end() && ObjectRuntime::owning(it->second) == &runtime() &&
            it->second->id == (guest - Cpu::kObjectBase) / 16) {
            return sim::toHandle(it->second);
        }
    }
    return reinterpret_cast<Object>(guest);  // no object this process made
}

std::uint64_t PhoneBinary::guestOf(Selector selector) {
    const sim::SimSelector* sel = runtime().selectorOf(selector);
    if (sel == nullptr) return 0;
    auto it = selectorByName_.find(sel->name);
    if (it != selectorByName_.end()) return it->second;
    const std::uint64_t addr = cpu_.allocData(sel->name.size() + 1);
    cpu_.write(addr, sel->name.c_str(), sel->name.size() + 1);
    selectorByName_.emplace(sel->name, addr);
    selectorName_.emplace(addr, sel->name);
    return addr;
}

Selector PhoneBinary::selectorAt(std::uint64_t guest, const char* call) {
    const auto it = selectorName_.find(guest);
    if (it == selectorName_.end()) {
        throw GuestFault{call, "a selector no one registered (" + std::to_string(guest) + ")"};
    }
    return sim::toHandle(runtime().selector(it->second));
}

PhoneBinary::ClassInfo& PhoneBinary::classNamed(const std::string& name) {
    auto it = classes_.find(name);
    if (it != classes_.end()) return it->second;
    ClassInfo& info = classes_[name];
    info.name = name;
    if (const sim::SimClass* cls = runtime().findClass(name)) {
        if (cls->superclass != nullptr) info.superclass = cls->superclass->name;
    }
    info.guest = cpu_.allocData(32);
    info.placeholder = cpu_.allocData(16);
    cpu_.write64(info.placeholder, info.guest);
    classByGuest_[info.guest] = &info;
    classByGuest_[info.placeholder] = &info;
    return info;
}

PhoneBinary::ClassInfo* PhoneBinary::classAt(std::uint64_t guest) {
    const auto it = classByGuest_.find(guest);
    return it != classByGuest_.end() ? it->second : nullptr;
}

Class PhoneBinary::hostClass(std::uint64_t guest) {
    const ClassInfo* info = classAt(guest);
    if (info == nullptr || info->guest != guest) return reinterpret_cast<Class>(guest);
    sim::SimClass* cls = runtime().findClass(info->name);
    return cls != nullptr ? sim::toHandle(cls) : reinterpret_cast<Class>(guest);
}

std::string PhoneBinary::classNameOf(const Receiver& r) {
    if (r.object != nullptr) return ObjectRuntime::className(r.object);
    if (r.local != nullptr) return r.local->cls;
    return r.cls != nullptr ? r.cls->name : "NSObject";
}

bool PhoneBinary::isKindOf(const std::string& className, const std::string& ancestor) {
    for (std::string name = className; !name.empty(); name = classNamed(name).superclass) {
        if (name == ancestor) return true;
    }
    return false;
}

PhoneBinary::Local* PhoneBinary::localAt(std::uint64_t guest) {
    const auto it = locals_.find(guest);
    return it != locals_.end() ? &it->second : nullptr;
}

std::uint64_t PhoneBinary::newLocal(Local local) {
    const std::uint64_t addr = kLocalBase + 16 * ++nextLocal_;
    if (addr + 16 > Cpu::kObjectBase + Cpu::kObjectSize)
        throw GuestFault{"objects", "more objects than the emulator holds"};
    cpu_.write64(addr, classNamed(local.cls).guest);
    locals_.emplace(addr, std::move(local));
    return addr;
}

std::string PhoneBinary::stringAt(std::uint64_t guest, const char* call) {
    if (const Local* local = localAt(guest); local != nullptr && local->cls != "NSData")
        return local->text;
    const Object handle = objectAt(guest);
    SimObject* object = runtime().receiver(handle, call);
    if (object == nullptr || object->kind != sim::ObjectKind::Value ||
        object->value.type() != sim::PlistValue::Type::String) {
        throw GuestFault{call, "expected a string, got " + runtime().describe(handle),
                         object == nullptr && handle != nullptr};
    }
    return object->value.stringValue();
}

void PhoneBinary::retainGuest(const Receiver& r) {
    if (r.local != nullptr) ++r.local->references;
    if (r.object != nullptr) runtime().retain(r.handle());
}

void PhoneBinary::releaseGuest(const Receiver& r) {
    if (r.object != nullptr) runtime().release(r.handle());
    if (r.local != nullptr && --r.local->references == 0) locals_.erase(r.guest);
}

// ------------------------------------------------------------ autorelease

std::uint64_t PhoneBinary::autorelease(std::uint64_t guest) {
    if (guest == 0) return 0;
    if (pools_.empty()) {
        p_.recordFault("autorelease", "no pool in place: the object leaks");
        return guest;
    }
    pools_.back().objects.push_back(guest);
    return guest;
}

std::uint64_t PhoneBinary::poolPush() {
    const auto token = reinterpret_cast<std::uint64_t>(services().objc_autoreleasePoolPush());
    pools_.push_back({token, {}});
    return token;
}

void PhoneBinary::drain(Pool& pool) {
    for (auto o = pool.objects.rbegin(); o != pool.objects.rend(); ++o) {
        Receiver r;
        r.guest = *o;
        r.local = localAt(*o);
        if (r.local == nullptr) r.object = runtime().receiver(objectAt(*o), "release");
        releaseGuest(r);
    }
}

void PhoneBinary::poolPop(std::uint64_t token) {
    const auto it = std::find_if(pools_.begin(), pools_.end(),
                                 [token](const Pool& pool) { return pool.token == token; });
    // Pools above it go with it, innermost first, as libobjc pops them.
    const auto keep = static_cast<std::size_t>(it - pools_.begin());
    while (it != pools_.end() && pools_.size() > keep) {
        Pool pool = std::move(pools_.back());
        pools_.pop_back();
        drain(pool);
    }
    services().objc_autoreleasePoolPop(reinterpret_cast<void*>(token));
}

}  // namespace thrumline::phone
