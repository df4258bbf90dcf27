// The simulated Objective-C runtime of one home-screen process: classes
// with selector tables, reference-counted objects, and the property-list
// values (NSNumber, NSString, ...) the library builds and reads.
//
// Dead objects stay in memory as zombies until the runtime is destroyed, so
// a message to one is recognised and reported instead of touching freed
// memory. Every handle the library passes in is checked against the objects
// this runtime made.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "simulator/home-screen/Event.h"
#include "simulator/home-screen/PlistValue.h"
#include "tweak/platform/HostServices.h"

namespace thrumline::sim {

class ObjectRuntime;

struct SimSelector {
    ObjectRuntime* runtime;
    std::string name;
};

struct SimClass {
    ObjectRuntime* runtime;
    std::string name;
    SimClass* superclass;
    // The class's own methods, in the order they were added.
    std::vector<std::pair<const SimSelector*, MethodImp>> methods;
};

enum class ObjectKind {
    Instance,    // an instance of a runtime class (NSObject, SBTelephonyManager, ...)
    Value,       // NSNumber, NSString, NSData, NSDate or a UID, held in `value`
    Array,       // NSMutableArray
    Dictionary,  // NSMutableDictionary, keys in insertion order
    Call,        // TUCall
};

struct SimObject {
    ObjectRuntime* runtime = nullptr;
    std::uint64_t id = 0;  // 1, 2, ... in order of creation within the runtime
    ObjectKind kind = ObjectKind::Instance;
    SimClass* cls = nullptr;                                  // Instance only
    PlistValue value;                                         // Value only
    std::vector<SimObject*> items;                            // Array; each retained
    std::vector<std::pair<std::string, SimObject*>> entries;  // Dictionary; each retained
    bool connected = false;                                   // Call: has connected
    std::int32_t status = 0;                                  // Call: TUCall's status
    std::optional<std::uint64_t> connectedAt, endedAt;        // Call: on the virtual clock
    int connectedQueries = 0;                                 // Call
    std::optional<bool> outgoing = false;                     // Call; none: no isOutgoing
    int references = 1;
    bool alive = true;
};

inline Object toHandle(SimObject* object) { return reinterpret_cast<Object>(object); }
inline Class toHandle(SimClass* cls) { return reinterpret_cast<Class>(cls); }
inline Selector toHandle(const SimSelector* selector) {
    return reinterpret_cast<Selector>(selector);
}

class ObjectRuntime {
public:
    // Receives each broken platform rule: the message concerned and what was wrong.
    using FaultSink = std::function<void(const std::string& message, const std::string& detail)>;

    // `owner`: whoever the runtime belongs to, as owner() gives it back.
    explicit ObjectRuntime(FaultSink fault = {}, void* owner = nullptr);
    void* owner() const { return owner_; }
    ~ObjectRuntime();  // frees every object, zombies included
    ObjectRuntime(const ObjectRuntime&) = delete;
    ObjectRuntime& operator=(const ObjectRuntime&) = delete;

    // The runtime that made this object or selector handle, if any live one did.
    static ObjectRuntime* owning(const void* handle);

    // --- Classes and selectors ---
    const SimSelector* selector(const std::string& name);
    SimClass* defineClass(const std::string& name, SimClass* superclass = nullptr);
    void addMethod(SimClass* cls, const std::string& selectorName, MethodImp imp);
    SimClass* findClass(const std::string& name) const;
    // The implementation a message to an instance of `cls` reaches: its own
    // or the nearest superclass's; null when none has one.
    MethodImp lookup(const SimClass* cls, const SimSelector* selector) const;
    // Null when the handle names no class of this runtime.
    SimClass* classOf(Class handle) const;
    const SimSelector* selectorOf(Selector handle) const;

    // AlreadyHooked: the replacement is the method's implementation already
    // (a fault; the slot is left alone).
    using HookResult = sim::HookResult;
    // MSHookMessageEx: puts `replacement` on the class itself and hands the
    // implementation that the class reached before (its own or inherited)
    // to `*slot`. Anything else leaves the class and `*slot` untouched.
    HookResult hook(Class cls, Selector selector, MethodImp replacement, MethodImp* slot);

    // --- Objects (each new one carries one reference for its creator) ---
    SimObject* newInstance(SimClass* cls);
    SimObject* newCall(bool connected, std::int32_t status = 0);
    SimObject* newArray();
    SimObject* newDictionary();
    // A value or a tree of containers holding values.
    SimObject* fromPlist(const PlistValue& value);
    // A copy of the object as a property list; None when any part of it is
    // not a property-list value (a call, a plain object, a dead object).
    PlistValue toPlist(const SimObject* object) const;

    // The live object behind a handle the library passed with `message`.
    // Null for null silently; null and a fault for a dead or unknown handle.
    SimObject* receiver(const void* handle, const char* message);

    void retain(Object object);
    // Dropping the last reference deallocates: the object becomes a zombie
    // and releases what it contained.
    void release(Object object);
    int retainCount(Object object) const;  // 0 when dead or unknown
    bool isAlive(Object object) const;
    std::size_t liveObjects() const { return live_; }
    // Frees the zombies of deallocated objects and forgets their handles.
    // A later message to one is still a fault (an object this runtime never
    // made) unless a new object has taken its memory. Returns how many.
    std::size_t discardZombies();
    std::string describe(const void* handle) const;

    // --- Messages of the values and containers ---
    SimObject* objectForKey(SimObject* dictionary, const std::string& key) const;
    // Replaces a key's value in place or appends the key.
    void setObjectForKey(SimObject* dictionary, SimObject* value, const std::string& key);
    void addObject(SimObject* array, SimObject* value);
    bool respondsTo(const SimObject* object, const SimSelector* selector) const;
    static const char* className(const SimObject* object);

    void fault(const std::string& message, const std::string& detail);

private:
    const SimObject* known(const void* handle) const;
    SimObject* make(ObjectKind kind);
    void deallocate(SimObject* object);

    FaultSink fault_;
    void* owner_;
    std::vector<std::unique_ptr<SimObject>> objects_;
    std::unordered_set<const void*> objectHandles_;
    // The handle known() last found: a replacement's retain, the messages it
    // sends and its release mostly name one object in a row.
    mutable const void* lastKnown_ = nullptr;
    std::vector<std::unique_ptr<SimClass>> classes_;
    std::unordered_map<std::string, std::unique_ptr<SimSelector>> selectors_;
    std::unordered_set<const void*> selectorHandles_;
    std::size_t live_ = 0;
    std::uint64_t nextId_ = 0;
};

}  // namespace thrumline::sim
