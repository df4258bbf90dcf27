// The inside of a simulated process: its host classes and objects, its
// observers, and how the host's own methods run.
#include "simulator/home-screen/ProcessImpl.h"

#include <algorithm>

#include "simulator/home-screen/PropertyList.h"
#include "simulator/phone/PhoneBinary.h"

#ifndef THRUMLINE_LIBRARY_PATH
#define THRUMLINE_LIBRARY_PATH ""
#endif

namespace thrumline::sim {

// Every host implementation of a hooked method: it has nothing but its
// receiver and selector to find the process it belongs to.
void hostMethod(Object self, Selector cmd, Object arg) {
    Process::Impl* process = Process::Impl::owning(self);
    if (process == nullptr) process = Process::Impl::owning(cmd);
    if (process != nullptr) process->hostMethodRan(self, cmd, arg);
}

Process::Impl::Impl(Process& owner, Device& dev, ProcessOptions opts)
    : self(owner), device(dev), options(std::move(opts)), number(dev.numberNextProcess()) {
    if (options.libraryPath.empty()) options.libraryPath = THRUMLINE_LIBRARY_PATH;
    services = makeSimServices(*this);
    resetRuntime();
    createHostObjects();
}

Process::Impl::~Impl() {
    // Posts delivered to a process that never started wait on the queue too.
    device.mainQueue().cancel(this);
}

Process::Impl* Process::Impl::owning(const void* handle) {
    ObjectRuntime* runtime = ObjectRuntime::owning(handle);
    return runtime != nullptr ? static_cast<Impl*>(runtime->owner()) : nullptr;
}

std::string Process::Impl::selectorName(Selector selector) const {
    const SimSelector* sel = runtime->selectorOf(selector);
    return sel != nullptr ? sel->name : "<unknown selector>";
}

void Process::Impl::resetRuntime() {
    telephonyManager = callHistoryManager = application = nullptr;
    runtime = std::make_unique<ObjectRuntime>(
        [this](const std::string& message, const std::string& detail) {
            recordFault(message, detail);
        },
        this);
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

void Process::Impl::record(Event::Data data) {
    device.record(number, std::move(data), runningStep);
}

void Process::Impl::recordFault(const std::string& message, const std::string& detail) {
    ++faults;
    record(events::Fault{message, detail});
}

void Process::Impl::deliver(const std::string& name) {
    if (device.holdsPosts()) {
        device.holdPost(name);
        return;
    }
    for (const Observer& observer : observers) {
        if (observer.name != name) continue;
        device.mainQueue().postAt(this, device.mainQueue().now(), [this, observer] {
            Impl& p = *this;
            p.record(events::NotificationDelivered{observer.name});
            // The name reaches the callback as a string object that lives for the call.
            const StrongRef nameObject = StrongRef::adopt(
                *p.services, toHandle(p.runtime->fromPlist(PlistValue::string(observer.name))));
            observer.callback(reinterpret_cast<NotificationCenter>(&p.centerToken),
                              const_cast<void*>(observer.observer), nameObject.get(), nullptr,
                              nullptr);
        });
    }
}

void Process::Impl::dispatchAfter(std::uint64_t when, StepPurpose purpose,
                                  std::function<void()> run) {
    MainQueue& mainQueue = device.mainQueue();
    const std::uint64_t due = std::max(MainQueue::timeOfDispatchTime(when), mainQueue.now());
    const std::uint64_t step = device.nextStepNumber();
    record(events::StepScheduled{due, purpose, step});
    mainQueue.postAt(this, due, [this, step, run = std::move(run)] {
        // Steps never nest: each runs from the queue, never inside another.
        struct Running {
            std::uint64_t& now;
            ~Running() { now = 0; }
        } running{runningStep};
        runningStep = step;
        run();
    });
}

void Process::Impl::hostMethodRan(Object selfHandle, Selector cmd, Object arg) {
    const std::string selector = selectorName(cmd);
    SimObject* receiver = runtime->receiver(selfHandle, selector.c_str());
    const std::string className =
        receiver != nullptr ? ObjectRuntime::className(receiver) : "(null)";
    record(events::HostMethodRan{className, selector, selfHandle, arg});
    const auto it = behaviours.find(selector);
    if (it == behaviours.end()) return;
    if (it->second.releaseArgument && arg != nullptr) runtime->release(arg);
    if (it->second.throwFailure) throw HostFailure{className + " " + selector + " failed"};
}

void Process::Impl::send(SimObject* receiver, const std::string& selector, Object arg) {
    if (receiver == nullptr || !receiver->alive) return;
    const SimSelector* sel = runtime->selector(selector);
    const MethodImp imp = runtime->lookup(receiver->cls, sel);
    if (imp != nullptr) imp(toHandle(receiver), toHandle(sel), arg);
}

}  // namespace thrumline::sim
