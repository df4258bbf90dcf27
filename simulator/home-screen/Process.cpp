// A simulated home-screen process as tests and tools drive it.
#include "simulator/home-screen/Process.h"

#include <stdexcept>

#include "simulator/home-screen/ProcessImpl.h"
#include "simulator/phone/PhoneBinary.h"

namespace thrumline::sim {

Process::Process(Device& device, ProcessOptions options)
    : impl_(std::make_unique<Impl>(*this, device, std::move(options))) {}

Process::~Process() { end(); }

void Process::start() {
    Impl& p = *impl_;
    if (p.state != Impl::State::Created) throw std::logic_error("a process starts only once");
    p.device.setRunning(this);
    p.state = Impl::State::Running;
    p.record(events::ProcessStarted{p.options.coreFoundationVersion});
    const std::string& path =
        p.options.phoneBinary.empty() ? p.options.libraryPath : p.options.phoneBinary;
    try {
        if (p.options.phoneBinary.empty()) {
            p.library.load(path, *p.services);
        } else {
            p.phone = std::make_unique<phone::PhoneBinary>(p, path, p.options.phoneSlice,
                                                           p.options.instructionCounter);
            p.phone->runInitialisers();
        }
    } catch (const std::runtime_error& error) {
        p.recordFault("dlopen", error.what());
        end();
        throw std::runtime_error("cannot load " + path + ": " + error.what());
    }
    p.device.mainQueue().runUntilIdle();
}

void Process::end() {
    Impl& p = *impl_;
    if (p.state != Impl::State::Running) return;
    const std::size_t dropped = p.device.mainQueue().cancel(&p);
    p.observers.clear();
    p.record(events::ProcessEnded{dropped});
    // The library's global destructors may still release objects through
    // the services, so those stay until it is gone.
    p.library.unload();
    if (p.phone) p.phone->runTerminators();
    p.phone.reset();
    p.state = Impl::State::Ended;
    p.device.setRunning(nullptr);
    p.resetRuntime();
}

bool Process::isRunning() const { return impl_->state == Impl::State::Running; }

std::string Process::phoneSlice() const { return impl_->phone ? impl_->phone->slice() : ""; }

void Process::setActiveCall(Object call) {
    impl_->send(impl_->telephonyManager, "setActiveCall:", call);
}

void Process::databaseChanged(Object argument) {
    impl_->send(impl_->callHistoryManager, "databaseChanged:", argument);
}

void Process::databaseChangedInBackground(Object argument) {
    struct OffMainThread {
        bool& flag;
        ~OffMainThread() { flag = false; }
    } off{impl_->offMainThread};
    off.flag = true;
    impl_->send(impl_->callHistoryManager, "databaseChanged:", argument);
}

void Process::applicationDidFinishLaunching(Object application) {
    impl_->send(impl_->application, "applicationDidFinishLaunching:", application);
}

void Process::setHostBehaviour(const std::string& selector, HostMethodBehaviour behaviour) {
    if (behaviour.throwFailure && !impl_->options.phoneBinary.empty()) {
        throw std::invalid_argument(
            "a host method that fails raises an exception, and exceptions through the phone "
            "binary are not emulated: run this with the Linux library");
    }
    impl_->behaviours[selector] = behaviour;
}

Object Process::newCall(bool connected, std::int32_t status) {
    SimObject* call = impl_->runtime->newCall(connected, status);
    if (connected) call->connectedAt = impl_->device.mainQueue().now();
    return toHandle(call);
}

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
    if (object == nullptr || object->kind != ObjectKind::Call) return;
    object->connected = connected;
    if (connected && !object->connectedAt) object->connectedAt = impl_->device.mainQueue().now();
}

void Process::setCallTimes(Object call, std::optional<std::uint64_t> connectedAt,
                           std::optional<std::uint64_t> endedAt) {
    SimObject* object = impl_->runtime->receiver(call, "setCallTimes:");
    if (object == nullptr || object->kind != ObjectKind::Call) return;
    object->connectedAt = connectedAt;
    object->endedAt = endedAt;
}

void Process::setStatus(Object call, std::int32_t status) {
    constexpr std::int32_t kDisconnecting = 5, kDisconnected = 6;
    SimObject* object = impl_->runtime->receiver(call, "setStatus:");
    if (object == nullptr || object->kind != ObjectKind::Call) return;
    object->status = status;
    const bool ended = status == kDisconnecting || status == kDisconnected;
    if (ended && !object->endedAt) object->endedAt = impl_->device.mainQueue().now();
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
std::size_t Process::discardZombies() { return impl_->runtime->discardZombies(); }

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
std::size_t Process::cancelPending() { return impl_->device.mainQueue().cancel(impl_.get()); }
void Process::receivePost(const std::string& name) { impl_->deliver(name); }
Device& Process::device() { return impl_->device; }
int Process::number() const { return impl_->number; }

}  // namespace thrumline::sim
