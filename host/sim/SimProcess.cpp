// A simulated home-screen process: its host classes and objects, the
// platform services the library reaches through HostServices, and loading
// a private copy of the library so that every process starts afresh.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "host/sim/ProcessImpl.h"
#include "host/sim/ValueConversion.h"

#ifndef THRUMLINE_LIBRARY_PATH
#define THRUMLINE_LIBRARY_PATH ""
#endif

namespace thrumline::sim {

namespace {

// The services of the process whose library copy is being loaded right
// now; what thrumlineBindHost answers.
HostServices* servicesBeingLoaded = nullptr;

std::vector<Process::Impl*>& liveProcesses() {
    static std::vector<Process::Impl*> processes;
    return processes;
}

std::string shortest(double v) {
    char buf[40];
    for (int precision = 1; precision <= 17; ++precision) {
        std::snprintf(buf, sizeof buf, "%.*g", precision, v);
        if (std::strtod(buf, nullptr) == v) break;
    }
    return buf;
}

Event makeEvent(EventKind kind, std::string name = {}, std::string detail = {}) {
    Event event;
    event.kind = kind;
    event.name = std::move(name);
    event.detail = std::move(detail);
    return event;
}

// Every host implementation of a hooked method: it has nothing but its
// receiver and selector to find the process it belongs to.
void hostMethod(Object self, Selector cmd, Object arg) {
    Process::Impl* process = Process::Impl::owning(self);
    if (process == nullptr) process = Process::Impl::owning(cmd);
    if (process != nullptr) process->hostMethodRan(self, cmd, arg);
}

std::string selectorName(const ObjectRuntime& runtime, Selector selector) {
    const SimSelector* sel = runtime.selectorOf(selector);
    return sel != nullptr ? sel->name : "<unknown selector>";
}

// ------------------------------------------------------------- the services

class SimServices final : public HostServices {
public:
    explicit SimServices(Process::Impl& process) : p_(process) {}

    ObjectRuntime& rt() { return *p_.runtime; }

    void retain(Object object) override { rt().retain(object); }
    void release(Object object) override { rt().release(object); }

    double kCFCoreFoundationVersionNumber() override { return p_.options.coreFoundationVersion; }

    Class objc_getClass(const char* name) override {
        if (name == nullptr) return nullptr;
        SimClass* cls = rt().findClass(name);
        return cls != nullptr ? toHandle(cls) : nullptr;
    }

    Selector sel_registerName(const char* name) override {
        return name != nullptr ? toHandle(rt().selector(name)) : nullptr;
    }

    void MSHookMessageEx(Class cls, Selector selector, MethodImp replacement,
                         MethodImp* slot) override {
        SimClass* target = rt().classOf(cls);
        const std::string name = (target != nullptr ? target->name : std::string("(null)")) + " " +
                                 selectorName(rt(), selector);
        if (cls != nullptr && target == nullptr) {
            p_.recordFault("MSHookMessageEx", "a class this process never made");
        }
        switch (rt().hook(cls, selector, replacement, slot)) {
            case ObjectRuntime::HookResult::Installed:
                p_.record(makeEvent(EventKind::HookInstalled, name));
                break;
            case ObjectRuntime::HookResult::NoClass:
                p_.record(makeEvent(EventKind::HookSkipped, name, "no class"));
                break;
            case ObjectRuntime::HookResult::NoMethod:
                p_.record(makeEvent(EventKind::HookSkipped, name, "no such method"));
                break;
            case ObjectRuntime::HookResult::NoReplacement:
                p_.record(makeEvent(EventKind::HookSkipped, name, "no replacement"));
                break;
        }
    }

    void* objc_autoreleasePoolPush() override {
        ++p_.autoreleaseDepth;
        p_.record(makeEvent(EventKind::AutoreleasePush, "", std::to_string(p_.autoreleaseDepth)));
        return reinterpret_cast<void*>(p_.autoreleaseDepth);
    }

    void objc_autoreleasePoolPop(void* token) override {
        const auto depth = reinterpret_cast<std::uintptr_t>(token);
        if (depth == 0 || depth > p_.autoreleaseDepth) {
            p_.recordFault("objc_autoreleasePoolPop", "a token of no open pool");
            return;
        }
        if (depth != p_.autoreleaseDepth) {
            p_.recordFault("objc_autoreleasePoolPop", "pools popped out of order");
        }
        p_.autoreleaseDepth = depth - 1;
        p_.record(makeEvent(EventKind::AutoreleasePop, "", std::to_string(depth)));
    }

    bool respondsToSelector(Object object, Selector selector) override {
        SimObject* receiver = rt().receiver(object, "respondsToSelector:");
        return rt().respondsTo(receiver, rt().selectorOf(selector));
    }

    NotificationCenter CFNotificationCenterGetDarwinNotifyCenter() override {
        return reinterpret_cast<NotificationCenter>(&p_.centerToken);
    }

    void CFNotificationCenterAddObserver(NotificationCenter center, const void* observer,
                                         NotificationCallback callback, const char* name,
                                         const void*, int suspensionBehavior) override {
        if (!isCenter(center, "CFNotificationCenterAddObserver")) return;
        if (name == nullptr || callback == nullptr) {
            p_.recordFault("CFNotificationCenterAddObserver",
                           "the Darwin center needs a name and a callback");
            return;
        }
        p_.observers.push_back(Process::Impl::Observer{callback, observer, name});
        p_.record(makeEvent(EventKind::ObserverRegistered, name,
                            "suspension " + std::to_string(suspensionBehavior)));
    }

    void CFNotificationCenterPostNotification(NotificationCenter center, const char* name,
                                              const void*, Object, bool) override {
        if (!isCenter(center, "CFNotificationCenterPostNotification")) return;
        if (name == nullptr) {
            p_.recordFault("CFNotificationCenterPostNotification", "no name");
            return;
        }
        Event event = makeEvent(EventKind::NotificationPosted, name);
        event.flag = true;  // by the library
        p_.record(std::move(event));
        p_.deliver(name);
    }

    std::uint64_t dispatch_time(std::uint64_t when, std::int64_t delta) override {
        const std::uint64_t base = when == kDispatchTimeNow ? p_.device.clock().now() : when;
        if (delta >= 0) {
            const auto d = static_cast<std::uint64_t>(delta);
            return base > UINT64_MAX - d ? UINT64_MAX : base + d;
        }
        // Magnitude of a negative delta without overflowing on INT64_MIN.
        const std::uint64_t back = static_cast<std::uint64_t>(-(delta + 1)) + 1;
        return base > back ? base - back : 0;  // the past: due at once
    }

    DispatchQueue dispatch_get_main_queue() override {
        return reinterpret_cast<DispatchQueue>(&p_.queueToken);
    }

    void dispatch_after(std::uint64_t when, DispatchQueue queue, DispatchStep step) override {
        if (queue != dispatch_get_main_queue()) {
            p_.recordFault("dispatch_after", "not the main queue");
            return;
        }
        if (step == nullptr) {
            p_.recordFault("dispatch_after", "no step");
            return;
        }
        MainQueue& clock = p_.device.clock();
        const std::uint64_t due = std::max(when, clock.now());
        p_.record(makeEvent(EventKind::StepScheduled, "", std::to_string(due)));
        clock.scheduleAt(due, [step] { step(); });
    }

    void AudioServicesPlaySystemSound(std::uint32_t soundID) override {
        Event event = makeEvent(EventKind::Sound);
        event.sound = soundID;
        p_.record(std::move(event));
    }

    void AudioServicesPlaySystemSoundWithVibration(std::uint32_t soundID, Object unused,
                                                   Object vibrationPattern) override {
        SimObject* pattern =
            rt().receiver(vibrationPattern, "AudioServicesPlaySystemSoundWithVibration");
        Event event = makeEvent(EventKind::Vibrate);
        event.sound = soundID;
        // A copy: the library may change or release the dictionary afterwards.
        event.value = rt().toPlist(pattern);
        if (unused != nullptr) event.detail = "second argument " + rt().describe(unused);
        p_.record(std::move(event));
    }

    StrongRef initWithContentsOfFile(const char* path) override {
        Event event = makeEvent(EventKind::SettingsRead, path != nullptr ? path : "");
        std::string bytes;
        SimObject* dictionary = nullptr;
        if (path == nullptr || !readFileBytes(p_.device.hostPath(path), &bytes)) {
            event.detail = "missing";
        } else {
            const PlistValue contents = parsePlist(bytes);
            if (contents.isNone()) {
                event.detail = "not a property list";
            } else if (contents.type() != PlistValue::Type::Dictionary) {
                event.detail = "root is not a dictionary";
            } else {
                dictionary = rt().fromPlist(contents);
                event.flag = true;
            }
        }
        p_.record(std::move(event));
        return StrongRef::adopt(*this, toHandle(dictionary));
    }

    StrongRef newMutableDictionary() override {
        return StrongRef::adopt(*this, toHandle(rt().newDictionary()));
    }
    StrongRef newMutableArray() override {
        return StrongRef::adopt(*this, toHandle(rt().newArray()));
    }
    StrongRef numberWithBool(bool value) override {
        return StrongRef::adopt(*this, toHandle(rt().fromPlist(PlistValue::boolean(value))));
    }
    StrongRef numberWithInt(std::int32_t value) override {
        return StrongRef::adopt(*this, toHandle(rt().fromPlist(PlistValue::integer(value))));
    }

    Object objectForKeyedSubscript(Object dictionary, const char* key) override {
        SimObject* dict = expect(dictionary, "objectForKeyedSubscript:", ObjectKind::Dictionary);
        if (dict == nullptr || key == nullptr) return nullptr;
        return toHandle(rt().objectForKey(dict, key));
    }

    void setObject_forKey(Object dictionary, Object value, const char* key) override {
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
        SimObject* object = convertible(value, "boolValue");
        return object != nullptr && boolValueOf(object->value);
    }

    std::int32_t intValue(Object value) override {
        SimObject* object = convertible(value, "intValue");
        return object != nullptr ? intValueOf(object->value) : 0;
    }

    bool writeToFile_atomically(Object dictionary, const char* path, bool atomically) override {
        SimObject* object = rt().receiver(dictionary, "writeToFile:atomically:");
        if (object == nullptr) return false;
        if (object->kind != ObjectKind::Dictionary && object->kind != ObjectKind::Array) {
            unrecognized("writeToFile:atomically:", dictionary);
            return false;
        }
        Event event = makeEvent(EventKind::SettingsWritten, path != nullptr ? path : "");
        event.value = rt().toPlist(object);
        bool ok = false;
        if (path != nullptr && !event.value.isNone()) {
            const std::string target = p_.device.hostPath(path);
            ok = atomically ? writePlistFileAtomically(target, event.value)
                            : writeInPlace(target, toXmlPlist(event.value));
        }
        event.flag = ok;
        p_.record(std::move(event));
        return ok;
    }

    bool isConnected(Object call) override {
        SimObject* object = rt().receiver(call, "isConnected");
        if (object == nullptr) return false;
        if (object->kind != ObjectKind::Call) {
            unrecognized("isConnected", call);
            return false;
        }
        ++object->connectedQueries;
        return object->connected;
    }

    // Asked only of connected calls; one that cannot answer counts as incoming.
    bool isOutgoing(Object call) override {
        const SimObject* object = rt().receiver(call, "isOutgoing");
        return object != nullptr && object->kind == ObjectKind::Call &&
               object->outgoing.value_or(false);
    }

private:
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
        std::FILE* file = std::fopen(path.c_str(), "wb");
        if (file == nullptr) return false;
        bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
        ok = std::fclose(file) == 0 && ok;
        return ok;
    }

    Process::Impl& p_;
};

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
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (done != bytes.size()) {
        ::unlink(copy.c_str());
        throw std::runtime_error("cannot write a copy of the library");
    }
    return copy;
}

}  // namespace

// -------------------------------------------------------------- the process

Process::Impl::Impl(Process& owner, Device& dev, ProcessOptions opts)
    : self(owner), device(dev), options(std::move(opts)), number(++dev.processCount_) {
    if (options.libraryPath.empty()) options.libraryPath = THRUMLINE_LIBRARY_PATH;
    services = std::make_unique<SimServices>(*this);
    resetRuntime();
    createHostObjects();
    liveProcesses().push_back(this);
}

Process::Impl::~Impl() {
    auto& processes = liveProcesses();
    processes.erase(std::remove(processes.begin(), processes.end(), this), processes.end());
}

Process::Impl* Process::Impl::owning(const void* handle) {
    ObjectRuntime* runtime = ObjectRuntime::owning(handle);
    if (runtime == nullptr) return nullptr;
    for (Impl* process : liveProcesses()) {
        if (process->runtime.get() == runtime) return process;
    }
    return nullptr;
}

void Process::Impl::resetRuntime() {
    telephonyManager = callHistoryManager = application = nullptr;
    runtime = std::make_unique<ObjectRuntime>(
        [this](const std::string& message, const std::string& detail) {
            recordFault(message, detail);
        });
}

void Process::Impl::createHostObjects() {
    auto absent = [this](const std::string& name) {
        const auto& list = options.absentClasses;
        return std::find(list.begin(), list.end(), name) != list.end();
    };
    auto define = [&](const std::string& name, SimClass* superclass) -> SimClass* {
        return absent(name) ? nullptr : runtime->defineClass(name, superclass);
    };
    SimClass* root = define("NSObject", nullptr);
    SimClass* uiApplication = define("UIApplication", root);
    SimClass* springBoard = define("SpringBoard", uiApplication != nullptr ? uiApplication : root);
    SimClass* telephony = define("SBTelephonyManager", root);
    SimClass* history = define("CHManager", root);
    if (telephony != nullptr) {
        runtime->addMethod(telephony, "setActiveCall:", &hostMethod);
        telephonyManager = runtime->newInstance(telephony);
    }
    if (history != nullptr) {
        runtime->addMethod(history, "databaseChanged:", &hostMethod);
        callHistoryManager = runtime->newInstance(history);
    }
    if (springBoard != nullptr) {
        runtime->addMethod(springBoard, "applicationDidFinishLaunching:", &hostMethod);
        application = runtime->newInstance(springBoard);
    }
}

void Process::Impl::record(Event event) {
    event.process = number;
    device.record(std::move(event));
}

void Process::Impl::recordFault(const std::string& message, const std::string& detail) {
    ++faults;
    record(makeEvent(EventKind::Fault, message, detail));
}

void Process::Impl::deliver(const std::string& name) {
    for (const Observer& observer : observers) {
        if (observer.name != name) continue;
        // A process that never started is not ended, so its deliveries may
        // outlive it on the device's queue; they then do nothing.
        std::weak_ptr<Impl*> token = lifetime;
        device.clock().scheduleAt(device.clock().now(), [token, observer] {
            const std::shared_ptr<Impl*> alive = token.lock();
            if (!alive) return;
            Impl& p = **alive;
            p.record(makeEvent(EventKind::NotificationDelivered, observer.name));
            // The name reaches the callback as a string object that lives for the call.
            const StrongRef nameObject = StrongRef::adopt(
                *p.services, toHandle(p.runtime->fromPlist(PlistValue::string(observer.name))));
            observer.callback(reinterpret_cast<NotificationCenter>(&p.centerToken),
                              const_cast<void*>(observer.observer), nameObject.get(), nullptr,
                              nullptr);
        });
    }
}

void Process::Impl::hostMethodRan(Object selfHandle, Selector cmd, Object arg) {
    const std::string selector = selectorName(*runtime, cmd);
    SimObject* receiver = runtime->receiver(selfHandle, selector.c_str());
    Event event = makeEvent(
        EventKind::HostMethodRan,
        std::string(receiver != nullptr ? ObjectRuntime::className(receiver) : "(null)") + " " +
            selector,
        "receiver " + runtime->describe(selfHandle) + ", argument " + runtime->describe(arg));
    event.receiver = selfHandle;
    event.argument = arg;
    const std::string name = event.name;
    record(std::move(event));
    const auto it = behaviours.find(selector);
    if (it == behaviours.end()) return;
    if (it->second.releaseArgument && arg != nullptr) runtime->release(arg);
    if (it->second.throwFailure) throw HostFailure{name + " failed"};
}

void Process::Impl::send(SimObject* receiver, const std::string& selector, Object arg) {
    if (receiver == nullptr || !receiver->alive) return;
    const SimSelector* sel = runtime->selector(selector);
    const MethodImp imp = runtime->lookup(receiver->cls, sel);
    if (imp != nullptr) imp(toHandle(receiver), toHandle(sel), arg);
}

Process::Process(Device& device, ProcessOptions options)
    : impl_(std::make_unique<Impl>(*this, device, std::move(options))) {}

Process::~Process() { end(); }

void Process::start() {
    Impl& p = *impl_;
    if (p.state != Impl::State::Created) throw std::logic_error("a process starts only once");
    if (p.device.running_ != nullptr) {
        throw std::logic_error("another process is running on this device");
    }
    p.device.running_ = this;
    p.state = Impl::State::Running;
    p.record(
        makeEvent(EventKind::ProcessStarted, "cf " + shortest(p.options.coreFoundationVersion)));
    try {
        p.libraryCopy = copyLibrary(p.options.libraryPath);
    } catch (...) {
        end();
        throw;
    }
    // The library binds to these services from its load-time initialiser.
    servicesBeingLoaded = p.services.get();
    p.library = ::dlopen(p.libraryCopy.c_str(), RTLD_NOW | RTLD_LOCAL);
    servicesBeingLoaded = nullptr;
    if (p.library == nullptr) {
        const char* error = ::dlerror();
        const std::string message = error != nullptr ? error : "unknown error";
        p.recordFault("dlopen", message);
        end();
        throw std::runtime_error("cannot load " + p.options.libraryPath + ": " + message);
    }
    p.device.clock().runUntilIdle();
}

void Process::end() {
    Impl& p = *impl_;
    if (p.state != Impl::State::Running) return;
    const std::size_t dropped = p.device.clock().clear();
    p.observers.clear();
    p.record(makeEvent(EventKind::ProcessEnded, "", std::to_string(dropped)));
    // The library's global destructors may still release objects through
    // the services, so those stay until it is gone.
    if (p.library != nullptr) {
        ::dlclose(p.library);
        p.library = nullptr;
    }
    if (!p.libraryCopy.empty()) {
        ::unlink(p.libraryCopy.c_str());
        p.libraryCopy.clear();
    }
    p.state = Impl::State::Ended;
    p.device.running_ = nullptr;
    p.resetRuntime();
}

bool Process::isRunning() const { return impl_->state == Impl::State::Running; }

void Process::setActiveCall(Object call) {
    impl_->send(impl_->telephonyManager, "setActiveCall:", call);
}

void Process::databaseChanged(Object argument) {
    impl_->send(impl_->callHistoryManager, "databaseChanged:", argument);
}

void Process::applicationDidFinishLaunching(Object application) {
    impl_->send(impl_->application, "applicationDidFinishLaunching:", application);
}

void Process::setHostBehaviour(const std::string& selector, HostMethodBehaviour behaviour) {
    impl_->behaviours[selector] = behaviour;
}

Object Process::newCall(bool connected) { return toHandle(impl_->runtime->newCall(connected)); }

Object Process::newPlainObject() {
    return toHandle(impl_->runtime->newInstance(impl_->runtime->findClass("NSObject")));
}

Object Process::newValue(const PlistValue& value) {
    return toHandle(impl_->runtime->fromPlist(value));
}

PlistValue Process::valueOf(Object object) const {
    if (!impl_->runtime->isAlive(object)) return {};
    return impl_->runtime->toPlist(reinterpret_cast<const SimObject*>(object));
}

void Process::setConnected(Object call, bool connected) {
    SimObject* object = impl_->runtime->receiver(call, "setConnected:");
    if (object != nullptr && object->kind == ObjectKind::Call) object->connected = connected;
}

void Process::setOutgoing(Object call, std::optional<bool> outgoing) {
    SimObject* object = impl_->runtime->receiver(call, "setOutgoing:");
    if (object != nullptr && object->kind == ObjectKind::Call) object->outgoing = outgoing;
}

void Process::retainObject(Object object) { impl_->runtime->retain(object); }
void Process::releaseObject(Object object) { impl_->runtime->release(object); }
int Process::retainCount(Object object) const { return impl_->runtime->retainCount(object); }
bool Process::isAlive(Object object) const { return impl_->runtime->isAlive(object); }
std::size_t Process::liveObjects() const { return impl_->runtime->liveObjects(); }

int Process::isConnectedQueries(Object call) const {
    if (call == nullptr || ObjectRuntime::owning(call) != impl_->runtime.get()) return 0;
    const auto* object = reinterpret_cast<const SimObject*>(call);
    return object->kind == ObjectKind::Call ? object->connectedQueries : 0;
}

Object Process::telephonyManager() const { return toHandle(impl_->telephonyManager); }
Object Process::callHistoryManager() const { return toHandle(impl_->callHistoryManager); }
Object Process::application() const { return toHandle(impl_->application); }

HostServices& Process::services() { return *impl_->services; }

bool Process::isHooked(const std::string& className, const std::string& selector) const {
    const SimClass* cls = impl_->runtime->findClass(className);
    if (cls == nullptr) return false;
    const MethodImp imp = impl_->runtime->lookup(cls, impl_->runtime->selector(selector));
    return imp != nullptr && imp != &hostMethod;
}

std::size_t Process::observerCount() const { return impl_->observers.size(); }
int Process::faults() const { return impl_->faults; }
MainQueue& Process::queue() { return impl_->device.clock(); }
Device& Process::device() { return impl_->device; }
int Process::number() const { return impl_->number; }

}  // namespace thrumline::sim

extern "C" __attribute__((visibility("default"))) thrumline::HostServices* thrumlineBindHost() {
    return thrumline::sim::servicesBeingLoaded;
}
