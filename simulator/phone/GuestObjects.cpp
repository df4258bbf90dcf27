#include "simulator/phone/GuestObjects.h"

#include <utility>

#include "simulator/home-screen/ProcessImpl.h"

namespace thrumline::phone {

using sim::ObjectRuntime;
using sim::SimObject;

namespace {

// The lower half of the object region holds the host's objects, the upper
// half the binary's own.
constexpr std::uint64_t kLocalBase = Cpu::kObjectBase + Cpu::kObjectSize / 2;

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

}  // namespace

GuestObjects::GuestObjects(sim::Process::Impl& process, Cpu& cpu) : p_(process), cpu_(cpu) {
    for (const auto& row : kFoundationClasses) classNamed(row.first).superclass = row.second;
}

sim::ObjectRuntime& GuestObjects::runtime() { return *p_.runtime; }

std::uint64_t GuestObjects::guestOf(Object object) {
    if (object == nullptr) return 0;
    if (ObjectRuntime::owning(object) != &runtime()) return reinterpret_cast<std::uint64_t>(object);
    auto* o = reinterpret_cast<SimObject*>(object);
    const std::uint64_t addr = Cpu::kObjectBase + 16 * o->id;
    if (addr + 16 > kLocalBase) throw GuestFault{"objects", "more objects than the emulator holds"};
    objectById_[o->id] = o;
    cpu_.write64(addr, classNamed(ObjectRuntime::className(o)).guest);  // isa
    return addr;
}

Object GuestObjects::objectAt(std::uint64_t guest) {
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

std::uint64_t GuestObjects::guestOf(Selector selector) {
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

Selector GuestObjects::selectorAt(std::uint64_t guest, const char* call) {
    const auto it = selectorName_.find(guest);
    if (it == selectorName_.end()) {
        throw GuestFault{call, "a selector no one registered (" + std::to_string(guest) + ")"};
    }
    return sim::toHandle(runtime().selector(it->second));
}

const std::string* GuestObjects::selectorNameAt(std::uint64_t guest) const {
    const auto name = selectorName_.find(guest);
    if (name == selectorName_.end() || selectorByName_.at(name->second) != guest) return nullptr;
    return &name->second;
}

GuestObjects::ClassInfo& GuestObjects::classNamed(const std::string& name) {
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

const GuestObjects::ClassInfo* GuestObjects::knownClass(const std::string& name) const {
    const auto it = classes_.find(name);
    return it != classes_.end() ? &it->second : nullptr;
}

GuestObjects::ClassInfo* GuestObjects::classAt(std::uint64_t guest) {
    const auto it = classByGuest_.find(guest);
    return it != classByGuest_.end() ? it->second : nullptr;
}

Class GuestObjects::hostClass(std::uint64_t guest) {
    const ClassInfo* info = classAt(guest);
    if (info == nullptr || info->guest != guest) return reinterpret_cast<Class>(guest);
    sim::SimClass* cls = runtime().findClass(info->name);
    return cls != nullptr ? sim::toHandle(cls) : reinterpret_cast<Class>(guest);
}

std::string GuestObjects::classNameOf(const Receiver& r) {
    if (r.object != nullptr) return ObjectRuntime::className(r.object);
    if (r.local != nullptr) return r.local->cls;
    return r.cls != nullptr ? r.cls->name : "NSObject";
}

bool GuestObjects::isKindOf(const std::string& className, const std::string& ancestor) {
    for (std::string name = className; !name.empty(); name = classNamed(name).superclass) {
        if (name == ancestor) return true;
    }
    return false;
}

GuestObjects::Local* GuestObjects::localAt(std::uint64_t guest) {
    const auto it = locals_.find(guest);
    return it != locals_.end() ? &it->second : nullptr;
}

std::uint64_t GuestObjects::newLocal(Local local) {
    const std::uint64_t addr = kLocalBase + 16 * ++nextLocal_;
    if (addr + 16 > Cpu::kObjectBase + Cpu::kObjectSize)
        throw GuestFault{"objects", "more objects than the emulator holds"};
    cpu_.write64(addr, classNamed(local.cls).guest);
    locals_.emplace(addr, std::move(local));
    return addr;
}

std::string GuestObjects::stringAt(std::uint64_t guest, const char* call) {
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

void GuestObjects::retain(const Receiver& r) {
    if (r.local != nullptr) ++r.local->references;
    if (r.object != nullptr) runtime().retain(r.handle());
}

void GuestObjects::release(const Receiver& r) {
    if (r.object != nullptr) runtime().release(r.handle());
    if (r.local != nullptr && --r.local->references == 0) locals_.erase(r.guest);
}

}  // namespace thrumline::phone
