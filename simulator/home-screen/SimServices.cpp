// The platform services a simulated process gives the library: the runtime,
// the Darwin notification center, the main queue, sounds and vibrations,
// and the settings file, each recording what the library did.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include "simulator/home-screen/Files.h"
#include "simulator/home-screen/ProcessImpl.h"
#include "simulator/home-screen/PropertyList.h"
#include "simulator/home-screen/ValueConversion.h"

namespace thrumline::sim {

namespace {

// The phone's clock in ticks of a timebase other than 1/1, so that a library
// that ignored the timebase would be caught. 125/3 (24 MHz) is an assumption:
// neither the facts pages nor the product's description give the phone's
// timebase; only that the library must read it.
constexpr std::uint32_t kMachTimebaseNumer = 125;
constexpr std::uint32_t kMachTimebaseDenom = 3;
std::uint64_t machTicks(std::uint64_t nanos) {
    return nanos / kMachTimebaseNumer * kMachTimebaseDenom +
           nanos % kMachTimebaseNumer * kMachTimebaseDenom / kMachTimebaseNumer;
}

class SimServices final : public HostServices {
public:
    explicit SimServices(Process::Impl& process) : p_(process) {}

    ObjectRuntime& rt() { return *p_.runtime; }

    void retain(Object object) override {
        onMainThread("retain");
        rt().retain(object);
    }
    void release(Object object) override {
        onMainThread("release");
        rt().release(object);
    }

    double kCFCoreFoundationVersionNumber() override {
        onMainThread("kCFCoreFoundationVersionNumber");
        return p_.options.coreFoundationVersion;
    }

    Class objc_getClass(const char* name) override {
        onMainThread("objc_getClass");
        if (name == nullptr) return nullptr;
        SimClass* cls = rt().findClass(name);
        return cls != nullptr ? toHandle(cls) : nullptr;
    }

    Selector sel_registerName(const char* name) override {
        onMainThread("sel_registerName");
        return name != nullptr ? toHandle(rt().selector(name)) : nullptr;
    }

    void MSHookMessageEx(Class cls, Selector selector, MethodImp replacement,
                         MethodImp* slot) override {
        onMainThread("MSHookMessageEx");
        SimClass* target = rt().classOf(cls);
        std::string className = target != nullptr ? target->name : std::string("(null)");
        std::string selectorText = p_.selectorName(selector);
        if (cls != nullptr && target == nullptr) {
            p_.recordFault("MSHookMessageEx", "a class this process never made");
        }
        const HookResult result = rt().hook(cls, selector, replacement, slot);
        if (result == HookResult::Installed) {
            p_.record(events::HookInstalled{std::move(className), std::move(selectorText)});
            return;
        }
        p_.record(events::HookSkipped{std::move(className), std::move(selectorText), result});
    }

    void* objc_autoreleasePoolPush() override {
        onMainThread("objc_autoreleasePoolPush");
        ++p_.autoreleaseDepth;
        p_.record(events::AutoreleasePush{p_.autoreleaseDepth});
        return reinterpret_cast<void*>(p_.autoreleaseDepth);
    }

    void objc_autoreleasePoolPop(void* token) override {
        onMainThread("objc_autoreleasePoolPop");
        const auto depth = reinterpret_cast<std::uintptr_t>(token);
        if (depth == 0 || depth > p_.autoreleaseDepth) {
            p_.recordFault("objc_autoreleasePoolPop", "a token of no open pool");
            return;
        }
        if (depth != p_.autoreleaseDepth) {
            p_.recordFault("objc_autoreleasePoolPop", "pools popped out of order");
        }
        p_.autoreleaseDepth = depth - 1;
        p_.record(events::AutoreleasePop{depth});
    }

    bool respondsToSelector(Object object, Selector selector) override {
        onMainThread("respondsToSelector");
        SimObject* receiver = rt().receiver(object, "respondsToSelector:");
        return rt().respondsTo(receiver, rt().selectorOf(selector));
    }

    NotificationCenter CFNotificationCenterGetDarwinNotifyCenter() override {
        onMainThread("CFNotificationCenterGetDarwinNotifyCenter");
        return reinterpret_cast<NotificationCenter>(&p_.centerToken);
    }

    void CFNotificationCenterAddObserver(NotificationCenter center, const void* observer,
                                         NotificationCallback callback, const char* name,
                                         const void*, int suspensionBehavior) override {
        onMainThread("CFNotificationCenterAddObserver");
        if (!isCenter(center, "CFNotificationCenterAddObserver")) return;
        if (name == nullptr || callback == nullptr) {
            p_.recordFault("CFNotificationCenterAddObserver",
                           "the Darwin center needs a name and a callback");
            return;
        }
        p_.observers.push_back(Process::Impl::Observer{callback, observer, name});
        p_.record(events::ObserverRegistered{name, suspensionBehavior});
    }

    void CFNotificationCenterPostNotification(NotificationCenter center, const char* name,
                                              const void*, Object, bool) override {
        onMainThread("CFNotificationCenterPostNotification");
        if (!isCenter(center, "CFNotificationCenterPostNotification")) return;
        if (name == nullptr) {
            p_.recordFault("CFNotificationCenterPostNotification", "no name");
            return;
        }
        p_.record(events::NotificationPosted{name, events::NotificationPosted::By::Library});
        p_.deliver(name);
    }

    std::uint64_t mach_absolute_time() override {
        onMainThread("mach_absolute_time");
        return machTicks(p_.device.mainQueue().now());
    }

    void mach_timebase_info(std::uint32_t& numer, std::uint32_t& denom) override {
        onMainThread("mach_timebase_info");
        numer = kMachTimebaseNumer;
        denom = kMachTimebaseDenom;
    }

    // `when` is kDispatchTimeNow or an earlier result, as on the platform.
    std::uint64_t dispatch_time(std::uint64_t when, std::int64_t delta) override {
        const std::uint64_t base = when == kDispatchTimeNow ? p_.device.mainQueue().now()
                                                            : MainQueue::timeOfDispatchTime(when);
        return MainQueue::dispatchTimeAt(MainQueue::shifted(base, delta));
    }

    DispatchQueue dispatch_get_main_queue() override {
        return reinterpret_cast<DispatchQueue>(&p_.queueToken);
    }

    void dispatch_after(std::uint64_t when, DispatchQueue queue, StepFunction step,
                        StepPurpose purpose) override {
        if (queue != dispatch_get_main_queue()) {
            p_.recordFault("dispatch_after", "not the main queue");
            return;
        }
        if (step == nullptr) {
            p_.recordFault("dispatch_after", "no step");
            return;
        }
        p_.dispatchAfter(when, purpose, step);
    }

    void AudioServicesPlaySystemSound(std::uint32_t soundID) override {
        onMainThread("AudioServicesPlaySystemSound");
        p_.record(events::Sound{soundID});
    }

    void AudioServicesPlaySystemSoundWithVibration(std::uint32_t soundID, Object unused,
                                                   Object vibrationPattern) override {
        onMainThread("AudioServicesPlaySystemSoundWithVibration");
        SimObject* pattern =
            rt().receiver(vibrationPattern, "AudioServicesPlaySystemSoundWithVibration");
        events::Vibrate vibrate{soundID, rt().toPlist(pattern), unused};
        p_.device.startVibration(vibrate);
        p_.record(std::move(vibrate));
    }

    StrongRef initWithContentsOfFile(const char* path) override {
        onMainThread("initWithContentsOfFile");
        using Outcome = events::SettingsRead::Outcome;
        Outcome outcome = Outcome::Missing;
        std::string bytes;
        SimObject* dictionary = nullptr;
        if (path != nullptr && readFileBytes(p_.device.hostPath(path), &bytes)) {
            const PlistValue contents = parsePlist(bytes);
            if (contents.isNone()) {
                outcome = Outcome::NotAPropertyList;
            } else if (contents.type() != PlistValue::Type::Dictionary) {
                outcome = Outcome::NotADictionary;
            } else {
                dictionary = rt().fromPlist(contents);
                outcome = Outcome::Found;
            }
        }
        p_.record(events::SettingsRead{path != nullptr ? path : "", outcome});
        return StrongRef::adopt(*this, toHandle(dictionary));
    }

    StrongRef newMutableDictionary() override {
        onMainThread("newMutableDictionary");
        return StrongRef::adopt(*this, toHandle(rt().newDictionary()));
    }
    StrongRef newMutableArray() override {
        onMainThread("newMutableArray");
        return StrongRef::adopt(*this, toHandle(rt().newArray()));
    }
    StrongRef numberWithBool(bool value) override {
        onMainThread("numberWithBool");
        return StrongRef::adopt(*this, toHandle(rt().fromPlist(PlistValue::boolean(value))));
    }
    StrongRef numberWithInt(std::int32_t value) override {
        onMainThread("numberWithInt");
        return StrongRef::adopt(*this, toHandle(rt().fromPlist(PlistValue::integer(value))));
    }

    Object objectForKeyedSubscript(Object dictionary, const char* key) override {
        onMainThread("objectForKeyedSubscript");
        SimObject* dict = expect(dictionary, "objectForKeyedSubscript:", ObjectKind::Dictionary);
        if (dict == nullptr || key == nullptr) return nullptr;
        return toHandle(rt().objectForKey(dict, key));
    }

    void setObject_forKey(Object dictionary, Object value, const char* key) override {
        onMainThread("setObject_forKey");
        SimObject* dict = expect(dictionary, "setObject:forKey:", ObjectKind::Dictionary);
        if (dict == nullptr) return;
        SimObject* item = rt().receiver(value, "setObject:forKey:");
        if (item == nullptr || key == nullptr) {
            if (value == nullptr || key == nullptr) {
                p_.recordFault("setObject:forKey:", "nil value or key");
            }
            return;
        }
        rt().setObjectForKey(dict, item, key);
    }

    void addObject(Object array, Object value) override {
        onMainThread("addObject");
        SimObject* list = expect(array, "addObject:", ObjectKind::Array);
        if (list == nullptr) return;
        SimObject* item = rt().receiver(value, "addObject:");
        if (item == nullptr) {
            if (value == nullptr) p_.recordFault("addObject:", "nil value");
            return;
        }
        rt().addObject(list, item);
    }

    bool boolValue(Object value) override {
        onMainThread("boolValue");
        SimObject* object = convertible(value, "boolValue");
        return object != nullptr && boolValueOf(object->value);
    }

    std::int32_t intValue(Object value) override {
        onMainThread("intValue");
        SimObject* object = convertible(value, "intValue");
        return object != nullptr ? intValueOf(object->value) : 0;
    }

    bool writeToFile_atomically(Object dictionary, const char* path, bool atomically) override {
        onMainThread("writeToFile_atomically");
        SimObject* object = rt().receiver(dictionary, "writeToFile:atomically:");
        if (object == nullptr) return false;
        if (object->kind != ObjectKind::Dictionary && object->kind != ObjectKind::Array) {
            unrecognized("writeToFile:atomically:", dictionary);
            return false;
        }
        PlistValue contents = rt().toPlist(object);
        bool ok = false;
        if (path != nullptr && !contents.isNone()) {
            const std::string target = p_.device.hostPath(path);
            ok = atomically ? writePlistFileAtomically(target, contents)
                            : writeInPlace(target, toXmlPlist(contents));
        }
        p_.record(events::SettingsWritten{path != nullptr ? path : "", std::move(contents), ok});
        return ok;
    }

    bool isConnected(Object call) override {
        onMainThread("isConnected");
        SimObject* object = expect(call, "isConnected", ObjectKind::Call);
        if (object == nullptr) return false;
        ++object->connectedQueries;
        return object->connected;
    }

    std::int32_t status(Object call) override {
        onMainThread("status");
        const SimObject* object = expect(call, "status", ObjectKind::Call);
        return object != nullptr ? object->status : 0;
    }

    double callDuration(Object call) override {
        onMainThread("callDuration");
        const SimObject* object = expect(call, "callDuration", ObjectKind::Call);
        if (object == nullptr || !object->connectedAt) return 0;
        const std::uint64_t until = object->endedAt.value_or(p_.device.mainQueue().now());
        return static_cast<double>(until - *object->connectedAt) / 1e9;
    }

    // Asked only of connected calls; one that cannot answer counts as incoming.
    bool isOutgoing(Object call) override {
        onMainThread("isOutgoing");
        const SimObject* object = expect(call, "isOutgoing", ObjectKind::Call);
        return object != nullptr && object->outgoing.value_or(false);
    }

private:
    // The platform door is the main thread's, but for what hands work to
    // the main queue (a hook the host may run on another thread).
    void onMainThread(const char* operation) {
        if (p_.offMainThread) {
            p_.recordFault(operation, std::string(operation) + " called off the main thread");
        }
    }

    bool isCenter(NotificationCenter center, const char* operation) {
        if (center == CFNotificationCenterGetDarwinNotifyCenter()) return true;
        p_.recordFault(operation, "not the Darwin notification center");
        return false;
    }

    void unrecognized(const std::string& message, Object object) {
        p_.recordFault(message, "unrecognized selector sent to " + rt().describe(object));
    }

    SimObject* expect(Object handle, const std::string& message, ObjectKind kind) {
        SimObject* object = rt().receiver(handle, message.c_str());
        if (object != nullptr && object->kind != kind) {
            unrecognized(message, handle);
            return nullptr;
        }
        return object;
    }

    SimObject* convertible(Object handle, const std::string& message) {
        SimObject* object = rt().receiver(handle, message.c_str());
        if (object == nullptr) return nullptr;
        if (object->kind != ObjectKind::Value || !answersValueConversions(object->value)) {
            unrecognized(message, handle);
            return nullptr;
        }
        return object;
    }

    static bool writeInPlace(const std::string& path, const std::string& bytes) {
        if (bytes.empty()) return false;
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) return false;
        const bool written = writeAll(fd, bytes);
        return ::close(fd) == 0 && written;
    }

    Process::Impl& p_;
};

}  // namespace

std::unique_ptr<HostServices> makeSimServices(Process::Impl& process) {
    return std::make_unique<SimServices>(process);
}

}  // namespace thrumline::sim
