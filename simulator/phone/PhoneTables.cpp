// The modelled platform, one row per imported function or datum and one
// per Objective-C message the binary sends. Each row answers from the
// simulated host's own models: the platform services (which record the
// events), the object runtime and the value conversions.
#include "simulator/phone/PhoneTables.h"

#include <cstring>
#include <string>

#include "simulator/home-screen/ProcessImpl.h"
#include "simulator/home-screen/PropertyList.h"
#include "simulator/home-screen/ValueConversion.h"

namespace thrumline::phone {

namespace {

using Receiver = GuestObjects::Receiver;
using sim::PlistValue;

// ------------------------------------------------------------- functions

using FunctionRow = std::pair<const char*, Result (*)(TableParts&, Cpu&)>;

NotificationCenter centerAt(TableParts& b, std::uint64_t guest) {
    if (guest == b.center) return b.services().CFNotificationCenterGetDarwinNotifyCenter();
    return reinterpret_cast<NotificationCenter>(guest);
}

Result fatal(const char* what) { throw GuestFault{"arm64", what}; }

Result send(TableParts& b, Receiver& r, const sim::SimSelector& selector);

// The message `sel` to the binary's object `guest`, as objc_msgSend sends it.
Result message(TableParts& b, std::uint64_t guest, const sim::SimSelector& sel) {
    Receiver r;
    r.guest = guest;
    if (r.guest == 0) return Result::full(0);  // a message to nil answers nil
    if (GuestObjects::ClassInfo* cls = b.objects.classAt(r.guest)) {
        r.cls = cls;
        r.isClass = cls->guest == r.guest;
        r.placeholder = !r.isClass;
    } else if ((r.local = b.objects.localAt(r.guest)) == nullptr) {
        // A freed or unknown object: the runtime records the fault; on the
        // phone the message crashes.
        r.object = b.objects.runtime().receiver(b.objects.objectAt(r.guest), sel.name.c_str());
        if (r.object == nullptr) throw GuestFault{sel.name, "", true};
    }
    return send(b, r, sel);
}

Result objcMsgSend(TableParts& b, Cpu& c) {
    const Selector selector = b.objects.selectorAt(c.arg(1), "objc_msgSend");
    return message(b, c.arg(0), *b.objects.runtime().selectorOf(selector));
}

// libobjc's shortcuts for a message (iOS 10 and later targets, iOS 13 and
// later for objc_alloc_init), answered as the message itself.
Result shortcut(TableParts& b, Cpu& c, const char* name) {
    return message(b, c.arg(0), *b.objects.runtime().selector(name));
}

const FunctionRow kFunctions[] = {
    {"_objc_msgSend", &objcMsgSend},
    {"_objc_retain", [](TableParts& b, Cpu& c) { return shortcut(b, c, "retain"); }},
    {"_objc_release", [](TableParts& b, Cpu& c) { return shortcut(b, c, "release"); }},
    {"_objc_alloc", [](TableParts& b, Cpu& c) { return shortcut(b, c, "alloc"); }},
    {"_objc_alloc_init",
     [](TableParts& b, Cpu& c) {
         const Result allocated = shortcut(b, c, "alloc");
         return message(b, allocated.value, *b.objects.runtime().selector("init"));
     }},
    {"_objc_getClass",
     [](TableParts& b, Cpu& c) {
         const std::string name = c.cString(c.arg(0), "objc_getClass");
         const Class cls = b.services().objc_getClass(name.c_str());
         return Result::full(cls != nullptr ? b.objects.classNamed(name).guest : 0);
     }},
    {"_sel_registerName",
     [](TableParts& b, Cpu& c) {
         const std::string name = c.cString(c.arg(0), "sel_registerName");
         return Result::full(b.objects.guestOf(b.services().sel_registerName(name.c_str())));
     }},
    {"_MSHookMessageEx",
     [](TableParts& b, Cpu& c) {
         const std::uint64_t slot = c.arg(3);
         const Selector sel =
             c.arg(1) != 0 ? b.objects.selectorAt(c.arg(1), "MSHookMessageEx") : nullptr;
         MethodImp entry = nullptr;
         if (c.arg(2) != 0) b.entries.hookEntryFor(c.arg(2), &entry);
         MethodImp previous = nullptr;
         b.services().MSHookMessageEx(b.objects.hostClass(c.arg(0)), sel, entry,
                                      slot != 0 ? &previous : nullptr);
         if (previous != nullptr) {
             const GuestObjects::ClassInfo* cls = b.objects.classAt(c.arg(0));
             const std::string name = "host -[" + (cls != nullptr ? cls->name : "?") + " " +
                                      b.objects.runtime().selectorOf(sel)->name + "]";
             c.write64(slot, b.entries.originalFor(previous, name));
         }
         return Result::none();
     }},
    {"_objc_autoreleasePoolPush", [](TableParts& b, Cpu&) { return Result::full(b.pools.push()); }},
    {"_objc_autoreleasePoolPop",
     [](TableParts& b, Cpu& c) {
         b.pools.pop(c.arg(0));
         return Result::none();
     }},
    {"_CFNotificationCenterGetDarwinNotifyCenter",
     [](TableParts& b, Cpu&) { return Result::full(b.center); }},
    {"_CFNotificationCenterAddObserver",
     [](TableParts& b, Cpu& c) {
         NotificationCallback callback = nullptr;
         if (c.arg(2) != 0) b.entries.callbackEntryFor(c.arg(2), &callback);
         const bool named = c.arg(3) != 0;
         const std::string name =
             named ? b.objects.stringAt(c.arg(3), "CFNotificationCenterAddObserver") : "";
         b.services().CFNotificationCenterAddObserver(
             centerAt(b, c.arg(0)), reinterpret_cast<const void*>(c.arg(1)), callback,
             named ? name.c_str() : nullptr, reinterpret_cast<const void*>(c.arg(4)),
             static_cast<std::int32_t>(c.arg(5)));
         return Result::none();
     }},
    {"_CFNotificationCenterPostNotification",
     [](TableParts& b, Cpu& c) {
         const bool named = c.arg(1) != 0;
         const std::string name =
             named ? b.objects.stringAt(c.arg(1), "CFNotificationCenterPostNotification") : "";
         b.services().CFNotificationCenterPostNotification(
             centerAt(b, c.arg(0)), named ? name.c_str() : nullptr,
             reinterpret_cast<const void*>(c.arg(2)), b.objects.objectAt(c.arg(3)),
             c.boolArg(4, "CFNotificationCenterPostNotification"));
         return Result::none();
     }},
    {"_mach_absolute_time",
     [](TableParts& b, Cpu&) { return Result::full(b.services().mach_absolute_time()); }},
    {"_mach_timebase_info",
     [](TableParts& b, Cpu& c) {
         std::uint32_t info[2] = {0, 0};
         b.services().mach_timebase_info(info[0], info[1]);
         c.write(c.arg(0), info, sizeof info);
         return Result::narrow(0);  // KERN_SUCCESS
     }},
    {"_dispatch_time",
     [](TableParts& b, Cpu& c) {
         return Result::full(
             b.services().dispatch_time(c.arg(0), static_cast<std::int64_t>(c.arg(1))));
     }},
    {"_dispatch_after_f",
     [](TableParts& b, Cpu& c) {
         if (c.arg(1) != b.mainQueue) {
             b.process.recordFault("dispatch_after_f", "not the main queue");
         } else if (c.arg(3) == 0) {
             b.process.recordFault("dispatch_after_f", "no work function");
         } else {
             b.entries.schedule(c.arg(0), c.arg(3), c.arg(2));
         }
         return Result::none();
     }},
    {"_AudioServicesPlaySystemSound",
     [](TableParts& b, Cpu& c) {
         b.services().AudioServicesPlaySystemSound(static_cast<std::uint32_t>(c.arg(0)));
         return Result::none();
     }},
    {"_AudioServicesPlaySystemSoundWithVibration",
     [](TableParts& b, Cpu& c) {
         b.services().AudioServicesPlaySystemSoundWithVibration(
             static_cast<std::uint32_t>(c.arg(0)), b.objects.objectAt(c.arg(1)),
             b.objects.objectAt(c.arg(2)));
         return Result::none();
     }},
    // The C++ runtime: a heap that never reuses memory, guards, destructors.
    {"__Znwm",
     [](TableParts&, Cpu& c) { return Result::full(c.allocHeap(c.arg(0), "operator new")); }},
    {"__ZdlPv", [](TableParts&, Cpu&) { return Result::none(); }},
    {"___cxa_atexit",
     [](TableParts& b, Cpu& c) {
         b.loader.addTerminator(c.arg(0), c.arg(1));
         return Result::narrow(0);
     }},
    {"___cxa_guard_acquire",
     [](TableParts&, Cpu& c) { return Result::narrow(c.read8(c.arg(0)) == 0 ? 1 : 0); }},
    {"___cxa_guard_release",
     [](TableParts&, Cpu& c) {
         const std::uint8_t done = 1;
         c.write(c.arg(0), &done, 1);
         return Result::none();
     }},
    {"___cxa_guard_abort",
     [](TableParts&, Cpu& c) {
         const std::uint8_t undone = 0;
         c.write(c.arg(0), &undone, 1);
         return Result::none();
     }},
    // What only a broken or unsupported run reaches.
    {"___stack_chk_fail",
     [](TableParts&, Cpu&) {
         return fatal("__stack_chk_fail: the stack protector found a smashed stack");
     }},
    {"__Unwind_Resume",
     [](TableParts&, Cpu&) {
         return fatal("_Unwind_Resume: an exception unwinding through the binary (not emulated)");
     }},
    {"___cxa_begin_catch",
     [](TableParts&, Cpu&) {
         return fatal("__cxa_begin_catch: an exception caught in the binary (not emulated)");
     }},
    {"__ZSt9terminatev", [](TableParts&, Cpu&) { return fatal("std::terminate"); }},
    {"___gxx_personality_v0",
     [](TableParts&, Cpu&) { return fatal("__gxx_personality_v0: exceptions are not emulated"); }},
    {"dyld_stub_binder",
     [](TableParts&, Cpu&) {
         return fatal("dyld_stub_binder: every lazy pointer is bound at load");
     }},
};

// ------------------------------------------------------------------ data

using DataRow = std::pair<const char*, std::uint64_t (*)(TableParts&)>;

std::uint64_t cell(TableParts& b, const void* bytes, std::size_t size) {
    const std::uint64_t at = b.cpu.allocData(size < 64 ? 64 : size);
    b.cpu.write(at, bytes, size);
    return at;
}

const DataRow kData[] = {
    {"___stack_chk_guard",
     [](TableParts& b) {
         const std::uint64_t guard = 0x00C0FFEE12345600;
         return cell(b, &guard, sizeof guard);
     }},
    {"_kCFCoreFoundationVersionNumber",
     [](TableParts& b) {
         const double version = b.process.options.coreFoundationVersion;
         return cell(b, &version, sizeof version);
     }},
    {"__dispatch_main_q", [](TableParts& b) { return b.mainQueue; }},
    // Type-info vtables: RTTI records point into them; nothing calls them.
    {"__ZTVN10__cxxabiv117__class_type_infoE", [](TableParts& b) { return cell(b, "", 1); }},
    {"__ZTVN10__cxxabiv120__si_class_type_infoE", [](TableParts& b) { return cell(b, "", 1); }},
};

// --------------------------------------------------------------- messages

struct MessageRow {
    const char* cls;
    bool onClass;
    const char* selector;
    Result (*fn)(TableParts&, Cpu&, Receiver&);
};

// A placeholder from +alloc becomes the real object at its init message.
void expectPlaceholder(const Receiver& r, const char* message) {
    if (!r.placeholder) throw GuestFault{message, "sent to an object already initialised"};
}

// An owned reference from the services, handed to the binary.
std::uint64_t handOver(TableParts& b, StrongRef ref) {
    if (ref) b.objects.runtime().retain(ref.get());
    return b.objects.guestOf(ref.get());
}

std::string textOf(TableParts& b, const Receiver& r, const char* message) {
    if (r.local != nullptr) return r.local->text;
    return b.objects.stringAt(r.guest, message);
}

const MessageRow kMessages[] = {
    {"NSObject", true, "alloc",
     [](TableParts&, Cpu&, Receiver& r) { return Result::full(r.cls->placeholder); }},
    {"NSObject", true, "class",
     [](TableParts&, Cpu&, Receiver& r) { return Result::full(r.guest); }},
    {"NSObject", false, "class",
     [](TableParts& b, Cpu&, Receiver& r) {
         return Result::full(b.objects.classNamed(b.objects.classNameOf(r)).guest);
     }},
    {"NSObject", false, "retain",
     [](TableParts& b, Cpu&, Receiver& r) {
         b.objects.retain(r);
         return Result::full(r.guest);
     }},
    {"NSObject", false, "release",
     [](TableParts& b, Cpu&, Receiver& r) {
         b.objects.release(r);
         return Result::none();
     }},
    {"NSObject", false, "autorelease",
     [](TableParts& b, Cpu&, Receiver& r) { return Result::full(b.pools.autorelease(r.guest)); }},
    {"NSObject", false, "isKindOfClass:",
     [](TableParts& b, Cpu& c, Receiver& r) {
         const GuestObjects::ClassInfo* target = b.objects.classAt(c.arg(2));
         return Result::narrow(target != nullptr &&
                               b.objects.isKindOf(b.objects.classNameOf(r), target->name));
     }},
    {"NSObject", false, "respondsToSelector:",
     [](TableParts& b, Cpu& c, Receiver& r) {
         const Selector sel = b.objects.selectorAt(c.arg(2), "respondsToSelector:");
         return Result::narrow(b.services().respondsToSelector(r.handle(), sel));
     }},
    {"NSString", false, "initWithUTF8String:",
     [](TableParts& b, Cpu& c, Receiver& r) {
         expectPlaceholder(r, "initWithUTF8String:");
         if (c.arg(2) == 0)
             throw GuestFault{"initWithUTF8String:", "NULL string (NSInvalidArgumentException)"};
         return Result::full(b.objects.newLocal(
             {"NSString", c.cString(c.arg(2), "initWithUTF8String:"), {}, nullptr, 1}));
     }},
    {"NSString", false, "mutableCopy",
     [](TableParts& b, Cpu&, Receiver& r) {
         return Result::full(
             b.objects.newLocal({"NSMutableString", textOf(b, r, "mutableCopy"), {}, nullptr, 1}));
     }},
    {"NSMutableString", false, "appendString:",
     [](TableParts& b, Cpu& c, Receiver& r) {
         r.local->text += b.objects.stringAt(c.arg(2), "appendString:");
         return Result::none();
     }},
    {"NSString", false, "boolValue",
     [](TableParts& b, Cpu&, Receiver& r) {
         if (r.local != nullptr) return Result::narrow(sim::stringBoolValue(r.local->text));
         return Result::narrow(b.services().boolValue(r.handle()));
     }},
    {"NSString", false, "intValue",
     [](TableParts& b, Cpu&, Receiver& r) {
         if (r.local != nullptr)
             return Result::narrow(std::uint32_t(sim::stringIntValue(r.local->text)));
         return Result::narrow(std::uint32_t(b.services().intValue(r.handle())));
     }},
    {"NSNumber", true, "numberWithBool:",
     [](TableParts& b, Cpu& c, Receiver&) {
         const bool value = c.boolArg(2, "numberWithBool:");
         return Result::full(b.pools.autorelease(b.objects.guestOf(
             sim::toHandle(b.objects.runtime().fromPlist(PlistValue::boolean(value))))));
     }},
    {"NSNumber", true, "numberWithInt:",
     [](TableParts& b, Cpu& c, Receiver&) {
         const auto value = static_cast<std::int32_t>(c.arg(2));
         return Result::full(b.pools.autorelease(b.objects.guestOf(
             sim::toHandle(b.objects.runtime().fromPlist(PlistValue::integer(value))))));
     }},
    {"NSNumber", false, "boolValue",
     [](TableParts& b, Cpu&, Receiver& r) {
         return Result::narrow(b.services().boolValue(r.handle()));
     }},
    {"NSNumber", false, "intValue",
     [](TableParts& b, Cpu&, Receiver& r) {
         return Result::narrow(std::uint32_t(b.services().intValue(r.handle())));
     }},
    {"NSMutableDictionary", false, "initWithContentsOfFile:",
     [](TableParts& b, Cpu& c, Receiver& r) {
         expectPlaceholder(r, "initWithContentsOfFile:");
         const std::string path = b.objects.stringAt(c.arg(2), "initWithContentsOfFile:");
         return Result::full(handOver(b, b.services().initWithContentsOfFile(path.c_str())));
     }},
    {"NSMutableDictionary", false, "init",
     [](TableParts& b, Cpu&, Receiver& r) {
         expectPlaceholder(r, "init");
         return Result::full(handOver(b, b.services().newMutableDictionary()));
     }},
    {"NSMutableArray", false, "init",
     [](TableParts& b, Cpu&, Receiver& r) {
         expectPlaceholder(r, "init");
         return Result::full(handOver(b, b.services().newMutableArray()));
     }},
    {"NSDictionary", false, "objectForKeyedSubscript:",
     [](TableParts& b, Cpu& c, Receiver& r) {
         const std::string key = b.objects.stringAt(c.arg(2), "objectForKeyedSubscript:");
         return Result::full(
             b.objects.guestOf(b.services().objectForKeyedSubscript(r.handle(), key.c_str())));
     }},
    {"NSMutableDictionary", false, "setObject:forKey:",
     [](TableParts& b, Cpu& c, Receiver& r) {
         const std::string key = b.objects.stringAt(c.arg(3), "setObject:forKey:");
         b.services().setObject_forKey(r.handle(), b.objects.objectAt(c.arg(2)), key.c_str());
         return Result::none();
     }},
    {"NSMutableArray", false, "addObject:",
     [](TableParts& b, Cpu& c, Receiver& r) {
         b.services().addObject(r.handle(), b.objects.objectAt(c.arg(2)));
         return Result::none();
     }},
    // Serialising keeps the property list itself beside the XML: writing it
    // is the services' write of the same dictionary.
    {"NSPropertyListSerialization", true, "dataWithPropertyList:format:options:error:",
     [](TableParts& b, Cpu& c, Receiver&) {
         if (c.arg(3) != 100)
             throw GuestFault{"dataWithPropertyList:format:options:error:",
                              "a format other than XML: not modelled"};
         const Object source = b.objects.objectAt(c.arg(2));
         PlistValue plist = b.objects.runtime().toPlist(
             b.objects.runtime().receiver(source, "dataWithPropertyList:format:options:error:"));
         if (plist.isNone()) return Result::full(0);
         GuestObjects::Local data{"NSData", {}, std::move(plist), source, 1};
         return Result::full(b.pools.autorelease(b.objects.newLocal(std::move(data))));
     }},
    {"NSData", false, "writeToFile:atomically:",
     [](TableParts& b, Cpu& c, Receiver& r) {
         const std::string path = b.objects.stringAt(c.arg(2), "writeToFile:atomically:");
         const bool atomically = c.boolArg(3, "writeToFile:atomically:");
         if (r.local == nullptr)
             throw GuestFault{"writeToFile:atomically:", "data the model did not serialise"};
         // The dictionary it was made from, when it still holds the same.
         Object dictionary = r.local->source;
         const bool same =
             b.objects.runtime().isAlive(dictionary) &&
             b.objects.runtime().toPlist(reinterpret_cast<const sim::SimObject*>(dictionary)) ==
                 r.local->plist;
         sim::SimObject* copy = same ? nullptr : b.objects.runtime().fromPlist(r.local->plist);
         if (copy != nullptr) dictionary = sim::toHandle(copy);
         const bool ok = b.services().writeToFile_atomically(dictionary, path.c_str(), atomically);
         if (copy != nullptr) b.objects.runtime().release(dictionary);
         return Result::narrow(ok);
     }},
    {"TUCall", false, "isConnected",
     [](TableParts& b, Cpu&, Receiver& r) {
         return Result::narrow(b.services().isConnected(r.handle()));
     }},
    {"TUCall", false, "isOutgoing",
     [](TableParts& b, Cpu&, Receiver& r) {
         return Result::narrow(b.services().isOutgoing(r.handle()));
     }},
    // A double, in d0.
    {"TUCall", false, "callDuration",
     [](TableParts& b, Cpu&, Receiver& r) {
         return Result::real(b.services().callDuration(r.handle()));
     }},
    // An int: only w0 is the answer.
    {"TUCall", false, "status",
     [](TableParts& b, Cpu&, Receiver& r) {
         return Result::narrow(static_cast<std::uint32_t>(b.services().status(r.handle())));
     }},
};

// The message `selector` to `r`: a host class's own method, else the
// table's row for its class or the nearest superclass that has one.
Result send(TableParts& b, Receiver& r, const sim::SimSelector& selector) {
    if (r.object != nullptr && r.object->kind == sim::ObjectKind::Instance) {
        const MethodImp imp = b.objects.runtime().lookup(r.object->cls, &selector);
        if (imp != nullptr) {
            const std::uint64_t guest = b.entries.hookedImp(imp);
            if (guest != 0) return Result::jump(guest);
            imp(r.handle(), sim::toHandle(&selector), b.objects.objectAt(b.cpu.arg(2)));
            return Result::none();
        }
    }
    const std::string cls = b.objects.classNameOf(r);
    for (std::string name = cls; !name.empty(); name = b.objects.classNamed(name).superclass) {
        for (const MessageRow& row : kMessages) {
            if (row.onClass == r.isClass && name == row.cls && selector.name == row.selector)
                return row.fn(b, b.cpu, r);
        }
    }
    throw GuestFault{selector.name, std::string(r.isClass ? "+[" : "-[") + cls + " " +
                                        selector.name + "]: unrecognized selector (not modelled)"};
}

}  // namespace

HostServices& TableParts::services() { return *process.services; }

std::uint64_t bindImport(TableParts& b, const std::string& symbol) {
    for (const auto& [name, fn] : kFunctions) {
        if (symbol != name) continue;
        auto* handler = fn;
        return b.cpu.trap(symbol.substr(symbol[0] == '_' ? 1 : 0),
                          [&b, handler](Cpu& c) { return handler(b, c); });
    }
    for (const auto& [name, fn] : kData) {
        if (symbol == name) return fn(b);
    }
    return 0;
}

}  // namespace thrumline::phone
