#include "simulator/home-screen/ObjectRuntime.h"

#include <algorithm>
#include <cstring>

#include "simulator/home-screen/ValueConversion.h"

namespace thrumline::sim {

namespace {

// Every runtime alive in this program, so that a host implementation,
// which gets nothing but its receiver and selector, finds its own.
std::vector<ObjectRuntime*>& allRuntimes() {
    static std::vector<ObjectRuntime*> runtimes;
    return runtimes;
}

bool isOneOf(const std::string& name, std::initializer_list<const char*> names) {
    for (const char* candidate : names) {
        if (name == candidate) return true;
    }
    return false;
}

}  // namespace

ObjectRuntime::ObjectRuntime(FaultSink fault, void* owner)
    : fault_(std::move(fault)), owner_(owner) {
    allRuntimes().push_back(this);
}

ObjectRuntime::~ObjectRuntime() {
    auto& runtimes = allRuntimes();
    runtimes.erase(std::remove(runtimes.begin(), runtimes.end(), this), runtimes.end());
}

ObjectRuntime* ObjectRuntime::owning(const void* handle) {
    if (handle == nullptr) return nullptr;
    for (ObjectRuntime* runtime : allRuntimes()) {
        if (runtime->objectHandles_.count(handle) != 0 ||
            runtime->selectorHandles_.count(handle) != 0) {
            return runtime;
        }
    }
    return nullptr;
}

void ObjectRuntime::fault(const std::string& message, const std::string& detail) {
    if (fault_) fault_(message, detail);
}

// ------------------------------------------------------- classes, selectors

const SimSelector* ObjectRuntime::selector(const std::string& name) {
    auto it = selectors_.find(name);
    if (it != selectors_.end()) return it->second.get();
    auto selector = std::make_unique<SimSelector>(SimSelector{this, name});
    const SimSelector* result = selector.get();
    selectors_.emplace(name, std::move(selector));
    selectorHandles_.insert(result);
    return result;
}

SimClass* ObjectRuntime::defineClass(const std::string& name, SimClass* superclass) {
    classes_.push_back(std::make_unique<SimClass>(SimClass{this, name, superclass, {}}));
    return classes_.back().get();
}

void ObjectRuntime::addMethod(SimClass* cls, const std::string& selectorName, MethodImp imp) {
    const SimSelector* sel = selector(selectorName);
    for (auto& method : cls->methods) {
        if (method.first == sel) {
            method.second = imp;
            return;
        }
    }
    cls->methods.emplace_back(sel, imp);
}

SimClass* ObjectRuntime::findClass(const std::string& name) const {
    for (const auto& cls : classes_) {
        if (cls->name == name) return cls.get();
    }
    return nullptr;
}

MethodImp ObjectRuntime::lookup(const SimClass* cls, const SimSelector* selector) const {
    for (; cls != nullptr; cls = cls->superclass) {
        for (const auto& method : cls->methods) {
            if (method.first == selector) return method.second;
        }
    }
    return nullptr;
}

SimClass* ObjectRuntime::classOf(Class handle) const {
    for (const auto& cls : classes_) {
        if (toHandle(cls.get()) == handle) return cls.get();
    }
    return nullptr;
}

const SimSelector* ObjectRuntime::selectorOf(Selector handle) const {
    if (selectorHandles_.count(handle) == 0) return nullptr;
    return reinterpret_cast<const SimSelector*>(handle);
}

ObjectRuntime::HookResult ObjectRuntime::hook(Class handle, Selector selectorHandle,
                                              MethodImp replacement, MethodImp* slot) {
    SimClass* cls = classOf(handle);
    const SimSelector* sel = selectorOf(selectorHandle);
    if (cls == nullptr) return HookResult::NoClass;
    if (sel == nullptr) return HookResult::NoMethod;
    const MethodImp previous = lookup(cls, sel);
    if (previous == nullptr) return HookResult::NoMethod;
    if (replacement == nullptr) return HookResult::NoReplacement;
    if (previous == replacement) {
        // On the phone the slot would get the replacement itself, which
        // would then call itself for ever.
        fault("MSHookMessageEx",
              "-[" + cls->name + " " + sel->name + "] is already hooked with this replacement");
        return HookResult::AlreadyHooked;
    }
    if (slot != nullptr) *slot = previous;
    addMethod(cls, sel->name, replacement);
    return HookResult::Installed;
}

// ------------------------------------------------------------------ objects

SimObject* ObjectRuntime::make(ObjectKind kind) {
    auto object = std::make_unique<SimObject>();
    object->runtime = this;
    object->id = ++nextId_;
    object->kind = kind;
    SimObject* result = object.get();
    objects_.push_back(std::move(object));
    objectHandles_.insert(result);
    ++live_;
    return result;
}

SimObject* ObjectRuntime::newInstance(SimClass* cls) {
    SimObject* object = make(ObjectKind::Instance);
    object->cls = cls;
    return object;
}

SimObject* ObjectRuntime::newCall(bool connected, std::int32_t status) {
    SimObject* object = make(ObjectKind::Call);
    object->connected = connected;
    object->status = status;
    return object;
}

SimObject* ObjectRuntime::newArray() { return make(ObjectKind::Array); }

SimObject* ObjectRuntime::newDictionary() { return make(ObjectKind::Dictionary); }

SimObject* ObjectRuntime::fromPlist(const PlistValue& value) {
    switch (value.type()) {
        case PlistValue::Type::Array: {
            SimObject* array = newArray();
            for (const PlistValue& item : value.items()) {
                SimObject* child = fromPlist(item);
                if (child == nullptr) continue;
                array->items.push_back(child);  // the creation reference passes to the array
            }
            return array;
        }
        case PlistValue::Type::Dictionary: {
            SimObject* dict = newDictionary();
            for (const auto& entry : value.entries()) {
                SimObject* child = fromPlist(entry.second);
                if (child == nullptr) continue;
                dict->entries.emplace_back(entry.first, child);
            }
            return dict;
        }
        case PlistValue::Type::None:
            return nullptr;
        default: {
            SimObject* object = make(ObjectKind::Value);
            object->value = value;
            return object;
        }
    }
}

PlistValue ObjectRuntime::toPlist(const SimObject* object) const {
    if (object == nullptr || !object->alive) return {};
    switch (object->kind) {
        case ObjectKind::Value:
            return object->value;
        case ObjectKind::Array: {
            PlistValue array = PlistValue::array();
            for (const SimObject* item : object->items) {
                PlistValue v = toPlist(item);
                if (v.isNone()) return {};
                array.append(std::move(v));
            }
            return array;
        }
        case ObjectKind::Dictionary: {
            PlistValue dict = PlistValue::dictionary();
            for (const auto& entry : object->entries) {
                PlistValue v = toPlist(entry.second);
                if (v.isNone()) return {};
                dict.set(entry.first, std::move(v));
            }
            return dict;
        }
        default:
            return {};
    }
}

const SimObject* ObjectRuntime::known(const void* handle) const {
    if (handle == nullptr) return nullptr;
    if (handle != lastKnown_) {
        if (objectHandles_.count(handle) == 0) return nullptr;
        lastKnown_ = handle;
    }
    return static_cast<const SimObject*>(handle);
}

SimObject* ObjectRuntime::receiver(const void* handle, const char* message) {
    if (handle == nullptr) return nullptr;
    const SimObject* object = known(handle);
    if (object == nullptr) {
        fault(message, "message to an object this process never made");
        return nullptr;
    }
    if (!object->alive) {
        fault(message, "message to deallocated " + describe(handle));
        return nullptr;
    }
    return const_cast<SimObject*>(object);
}

void ObjectRuntime::retain(Object handle) {
    SimObject* object = receiver(handle, "retain");
    if (object != nullptr) ++object->references;
}

void ObjectRuntime::release(Object handle) {
    SimObject* object = receiver(handle, "release");
    if (object == nullptr) return;
    if (--object->references == 0) deallocate(object);
}

void ObjectRuntime::deallocate(SimObject* object) {
    object->alive = false;
    --live_;
    // Taken out first: a child's release must not see a half-emptied parent.
    std::vector<SimObject*> items;
    items.swap(object->items);
    std::vector<std::pair<std::string, SimObject*>> entries;
    entries.swap(object->entries);
    for (SimObject* item : items) release(toHandle(item));
    for (auto& entry : entries) release(toHandle(entry.second));
}

std::size_t ObjectRuntime::discardZombies() {
    const std::size_t before = objects_.size();
    objects_.erase(std::remove_if(objects_.begin(), objects_.end(),
                                  [this](const std::unique_ptr<SimObject>& object) {
                                      if (object->alive) return false;
                                      objectHandles_.erase(object.get());
                                      if (lastKnown_ == object.get()) lastKnown_ = nullptr;
                                      return true;
                                  }),
                   objects_.end());
    return before - objects_.size();
}

int ObjectRuntime::retainCount(Object handle) const {
    const SimObject* object = known(handle);
    return object != nullptr && object->alive ? object->references : 0;
}

bool ObjectRuntime::isAlive(Object handle) const {
    const SimObject* object = known(handle);
    return object != nullptr && object->alive;
}

const char* ObjectRuntime::className(const SimObject* object) {
    switch (object->kind) {
        case ObjectKind::Instance:
            return object->cls != nullptr ? object->cls->name.c_str() : "NSObject";
        case ObjectKind::Call:
            return "TUCall";
        case ObjectKind::Array:
            return "NSMutableArray";
        case ObjectKind::Dictionary:
            return "NSMutableDictionary";
        case ObjectKind::Value:
            switch (object->value.type()) {
                case PlistValue::Type::Boolean:
                case PlistValue::Type::Integer:
                case PlistValue::Type::Real:
                    return "NSNumber";
                case PlistValue::Type::String:
                    return "NSString";
                case PlistValue::Type::Data:
                    return "NSData";
                case PlistValue::Type::Date:
                    return "NSDate";
                default:
                    return "NSKeyedArchiverUID";
            }
    }
    return "NSObject";
}

std::string ObjectRuntime::describe(const void* handle) const {
    if (handle == nullptr) return "nil";
    const SimObject* object = known(handle);
    if (object == nullptr) return "<unknown object>";
    std::string text = std::string("<") + className(object) + " #" + std::to_string(object->id);
    if (!object->alive) return text + " deallocated>";
    switch (object->kind) {
        case ObjectKind::Call:
            text += object->connected ? " connected" : " not connected";
            break;
        case ObjectKind::Value:
        case ObjectKind::Array:
        case ObjectKind::Dictionary:
            text += " " + toPlist(object).describe();
            break;
        case ObjectKind::Instance:
            break;
    }
    return text + ">";
}

// ------------------------------------------------------------ value messages

SimObject* ObjectRuntime::objectForKey(SimObject* dictionary, const std::string& key) const {
    for (const auto& entry : dictionary->entries) {
        if (entry.first == key) return entry.second;
    }
    return nullptr;
}

void ObjectRuntime::setObjectForKey(SimObject* dictionary, SimObject* value,
                                    const std::string& key) {
    // The new value is held before the old one is let go, as NSMutableDictionary does.
    ++value->references;
    for (auto& entry : dictionary->entries) {
        if (entry.first == key) {
            SimObject* old = entry.second;
            entry.second = value;
            release(toHandle(old));
            return;
        }
    }
    dictionary->entries.emplace_back(key, value);
}

void ObjectRuntime::addObject(SimObject* array, SimObject* value) {
    ++value->references;
    array->items.push_back(value);
}

bool ObjectRuntime::respondsTo(const SimObject* object, const SimSelector* selector) const {
    if (object == nullptr || selector == nullptr) return false;
    const std::string& name = selector->name;
    if (isOneOf(name, {"retain", "release", "autorelease", "respondsToSelector:", "description",
                       "isEqual:", "hash", "class"})) {
        return true;
    }
    switch (object->kind) {
        case ObjectKind::Instance:
            return lookup(object->cls, selector) != nullptr;
        case ObjectKind::Call:
            return name == "isConnected" || name == "status" || name == "callDuration" ||
                   (name == "isOutgoing" && object->outgoing.has_value());
        case ObjectKind::Array:
            return isOneOf(name,
                           {"addObject:", "count", "objectAtIndex:", "writeToFile:atomically:"});
        case ObjectKind::Dictionary:
            return isOneOf(name, {"objectForKey:", "objectForKeyedSubscript:", "setObject:forKey:",
                                  "count", "writeToFile:atomically:"});
        case ObjectKind::Value:
            if (answersValueConversions(object->value)) {
                return isOneOf(name, {"boolValue", "intValue"});
            }
            return false;
    }
    return false;
}

}  // namespace thrumline::sim
