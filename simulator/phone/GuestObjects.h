// Objects as the binary sees them: the host's objects and selectors at guest
// addresses of their own (an object's first word its class, as isa), the
// classes it names, and the objects it makes that the host never sees.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>

#include "simulator/home-screen/ObjectRuntime.h"
#include "simulator/home-screen/Process.h"
#include "simulator/phone/Cpu.h"

namespace thrumline::phone {

class GuestObjects {
public:
    struct ClassInfo {
        std::string name;
        std::string superclass;
        std::uint64_t guest = 0;
        std::uint64_t placeholder = 0;  // what +alloc answers: Foundation's class clusters
    };
    // Objects the binary makes that the host never sees: the strings it names
    // keys, paths and notifications with, and serialised property lists.
    struct Local {
        std::string cls;
        std::string text;       // NSString
        sim::PlistValue plist;  // NSData: the property list serialised
        Object source = nullptr;
        int references = 1;
    };
    struct Receiver {
        std::uint64_t guest = 0;
        ClassInfo* cls = nullptr;  // its class (or itself, for a class)
        bool isClass = false;
        bool placeholder = false;
        sim::SimObject* object = nullptr;
        Local* local = nullptr;
        Object handle() const { return sim::toHandle(object); }
    };

    // Knows Foundation's classes the binary uses from the start.
    GuestObjects(sim::Process::Impl& process, Cpu& cpu);

    sim::ObjectRuntime& runtime();

    std::uint64_t guestOf(Object object);
    Object objectAt(std::uint64_t guest);  // an unknown address passes as a handle no one made
    std::uint64_t guestOf(Selector selector);
    Selector selectorAt(std::uint64_t guest, const char* call);
    // The name `guest` is the one address of; nullptr for any other address.
    const std::string* selectorNameAt(std::uint64_t guest) const;

    ClassInfo& classNamed(const std::string& name);
    const ClassInfo* knownClass(const std::string& name) const;  // nullptr: not made yet
    ClassInfo* classAt(std::uint64_t guest);
    Class hostClass(std::uint64_t guest);
    std::string classNameOf(const Receiver& r);
    bool isKindOf(const std::string& className, const std::string& ancestor);

    Local* localAt(std::uint64_t guest);
    std::uint64_t newLocal(Local local);
    std::string stringAt(std::uint64_t guest, const char* call);
    void retain(const Receiver& r);
    void release(const Receiver& r);

private:
    sim::Process::Impl& p_;
    Cpu& cpu_;
    std::map<std::string, ClassInfo> classes_;
    std::unordered_map<std::uint64_t, ClassInfo*> classByGuest_;
    std::unordered_map<std::string, std::uint64_t> selectorByName_;
    std::unordered_map<std::uint64_t, std::string> selectorName_;
    std::unordered_map<std::uint64_t, sim::SimObject*> objectById_;
    std::unordered_map<std::uint64_t, Local> locals_;  // by guest address; dead ones erased
    std::uint64_t nextLocal_ = 0;
};

}  // namespace thrumline::phone
