// The one door from Thrumline's logic to the platform.
//
// Every operation bears the name of the platform function or message it
// stands for. The device backend (host/ios) forwards to the real calls; the
// simulated host (host/sim) honours the same effects on Linux. The logic in
// hooks/, settings/ and vibration/ includes this header and nothing else of
// host/.
//
// Object handles are reference counted exactly as on the platform (manual
// retain/release). Operations that hand out a new reference return a
// StrongRef, which releases it when it goes out of scope; operations that
// return a plain Object lend it for the caller's current use only.
#pragma once

#include <cstdint>

namespace thrumline {

// Opaque platform handles: id, Class, SEL, CFNotificationCenterRef and
// dispatch_queue_t on the device; the simulated host's own objects on Linux.
struct HostObject;
struct HostClass;
struct HostSelector;
struct HostNotificationCenter;
struct HostDispatchQueue;
using Object = HostObject*;
using Class = HostClass*;
using Selector = const HostSelector*;
using NotificationCenter = HostNotificationCenter*;
using DispatchQueue = HostDispatchQueue*;

// A method implementation of the form every hooked method has:
// receiver, selector, one object argument, no result.
using MethodImp = void (*)(Object self, Selector cmd, Object arg);

// CoreFoundation's notification callback: center, observer, name (a string
// object), object, user info. No result.
using NotificationCallback = void (*)(NotificationCenter center, void* observer, Object name,
                                      const void* object, Object userInfo);

// What a main-queue step is for. The platform has no use for it; the
// simulated host records it, so that each vibration a step plays is known
// by what the library said the step was for.
enum class StepPurpose : std::uint32_t {
    PulseChain = 1,
    MinuteMinder = 2,
    QuietPeriodEnd = 3,
    CallHistory = 4
};

// A step for the main queue: a function that captures nothing (steps read
// globals when they run) and what it is for. Steps are constants that live
// as long as the library.
struct MainQueueStep {
    void (*run)();
    StepPurpose purpose;
};
using DispatchStep = const MainQueueStep*;

// DISPATCH_TIME_NOW: the base value of dispatch_time meaning "the current time".
constexpr std::uint64_t kDispatchTimeNow = 0;
// CFNotificationSuspensionBehaviorCoalesce.
constexpr int kSuspensionBehaviorCoalesce = 2;

class HostServices;

// Owns one strong reference to a platform object (or to nothing) and
// releases it when destroyed. Move-only, so a reference is released once.
class StrongRef {
public:
    StrongRef() = default;
    // Takes over a reference the caller already owns (a +1 result).
    static StrongRef adopt(HostServices& host, Object object) { return StrongRef(host, object); }
    // Takes a new reference of its own to a borrowed object.
    static StrongRef retain(HostServices& host, Object object);

    StrongRef(StrongRef&& other) noexcept : host_(other.host_), object_(other.object_) {
        other.object_ = nullptr;
    }
    StrongRef& operator=(StrongRef&& other) noexcept;
    StrongRef(const StrongRef&) = delete;
    StrongRef& operator=(const StrongRef&) = delete;
    ~StrongRef() { reset(); }

    Object get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    // Releases the held reference now; the handle then holds nothing.
    void reset();

private:
    StrongRef(HostServices& host, Object object) : host_(&host), object_(object) {}
    HostServices* host_ = nullptr;
    Object object_ = nullptr;
};

// Calls made by the logic never fail visibly: a message to an absent (null)
// object does nothing and answers false, zero or absent, as on the platform.
// All calls are made on the host's main thread, or on the loading thread
// during the load-time initialisers; implementations need no locking. The
// one exception: a hook the host may run on another thread calls only
// dispatch_get_main_queue, dispatch_time and dispatch_after onto the main
// queue, which the platform allows from any thread.
class HostServices {
public:
    virtual ~HostServices() = default;

    // --- Reference counting (objc_retain / objc_release) ---
    virtual void retain(Object object) = 0;
    virtual void release(Object object) = 0;

    // --- Runtime, hooking and OS version ---
    // The CoreFoundation version of the running system.
    virtual double kCFCoreFoundationVersionNumber() = 0;
    // The host class of that name, or null when the host has none.
    virtual Class objc_getClass(const char* name) = 0;
    virtual Selector sel_registerName(const char* name) = 0;
    // Puts `replacement` in place of the class's implementation of `selector`
    // and stores the implementation it had before in `*slot`. With a null
    // class, or no such method, nothing happens and `*slot` is left as it is.
    virtual void MSHookMessageEx(Class cls, Selector selector, MethodImp replacement,
                                 MethodImp* slot) = 0;
    virtual void* objc_autoreleasePoolPush() = 0;
    virtual void objc_autoreleasePoolPop(void* token) = 0;
    // -[NSObject respondsToSelector:]; false for a null object.
    virtual bool respondsToSelector(Object object, Selector selector) = 0;

    // --- Darwin notification center ---
    virtual NotificationCenter CFNotificationCenterGetDarwinNotifyCenter() = 0;
    // From now on every post of `name` calls `callback` on the main thread,
    // never inside the post itself.
    virtual void CFNotificationCenterAddObserver(NotificationCenter center, const void* observer,
                                                 NotificationCallback callback, const char* name,
                                                 const void* object, int suspensionBehavior) = 0;
    virtual void CFNotificationCenterPostNotification(NotificationCenter center, const char* name,
                                                      const void* object, Object userInfo,
                                                      bool deliverImmediately) = 0;

    // --- Clock ---
    // A monotonic clock, in ticks of the timebase below; it stops while the
    // device sleeps, as the main queue's timers do.
    virtual std::uint64_t mach_absolute_time() = 0;
    // Nanoseconds are ticks * numer / denom.
    virtual void mach_timebase_info(std::uint32_t& numer, std::uint32_t& denom) = 0;

    // --- Main queue ---
    // `when` is kDispatchTimeNow or an earlier result of dispatch_time;
    // `delta` is a signed count of nanoseconds. The result counts the
    // platform's own units (mach ticks on the phone, not nanoseconds): the
    // logic only hands it back, never does arithmetic on it.
    virtual std::uint64_t dispatch_time(std::uint64_t when, std::int64_t delta) = 0;
    // Parenthesised: Apple's headers define dispatch_get_main_queue() as a macro.
    virtual DispatchQueue(dispatch_get_main_queue)() = 0;
    // Runs `step` once on `queue`, no earlier than `when`, and never inside
    // this call.
    virtual void dispatch_after(std::uint64_t when, DispatchQueue queue, DispatchStep step) = 0;

    // --- AudioToolbox ---
    virtual void AudioServicesPlaySystemSound(std::uint32_t soundID) = 0;
    virtual void AudioServicesPlaySystemSoundWithVibration(std::uint32_t soundID, Object unused,
                                                           Object vibrationPattern) = 0;

    // --- Foundation values ---
    // [[NSMutableDictionary alloc] initWithContentsOfFile:path]: the file's
    // top-level dictionary, or null when the file is missing, unreadable,
    // not a property list or not a dictionary at its root.
    virtual StrongRef initWithContentsOfFile(const char* path) = 0;
    // [NSMutableDictionary new] and [NSMutableArray new].
    virtual StrongRef newMutableDictionary() = 0;
    virtual StrongRef newMutableArray() = 0;
    // [NSNumber numberWithBool:] / [NSNumber numberWithInt:], as owned references.
    virtual StrongRef numberWithBool(bool value) = 0;
    virtual StrongRef numberWithInt(std::int32_t value) = 0;
    // The stored value, or null when the key is missing or `dictionary` is null.
    virtual Object objectForKeyedSubscript(Object dictionary, const char* key) = 0;
    virtual void setObject_forKey(Object dictionary, Object value, const char* key) = 0;
    virtual void addObject(Object array, Object value) = 0;
    virtual bool boolValue(Object value) = 0;
    virtual std::int32_t intValue(Object value) = 0;
    // Writes `dictionary` as an XML property list; with `atomically` a reader
    // sees the old file or the new one, never a part. False on failure.
    virtual bool writeToFile_atomically(Object dictionary, const char* path, bool atomically) = 0;

    // --- Host objects ---
    // -[TUCall isConnected]: the call has connected (it stays so after it
    // ended); false for a null call.
    virtual bool isConnected(Object call) = 0;
    // -[TUCall isOutgoing]: the user placed the call; false for a null call.
    virtual bool isOutgoing(Object call) = 0;
    // -[TUCall status]: 1 active, 2 held, 3 sending, 4 ringing, 5
    // disconnecting, 6 disconnected; 0 for a null call or one that does not
    // answer. isConnected stays true once a call has connected, so only this
    // tells that it ended.
    virtual std::int32_t status(Object call) = 0;
    // -[TUCall callDuration]: seconds since the call connected, frozen once
    // it ended; 0 for a call that never connected, a null call or one that
    // does not answer.
    virtual double callDuration(Object call) = 0;
};

inline StrongRef StrongRef::retain(HostServices& host, Object object) {
    host.retain(object);
    return StrongRef(host, object);
}

inline StrongRef& StrongRef::operator=(StrongRef&& other) noexcept {
    if (this != &other) {
        // Hold the new reference before dropping the old one, as the
        // platform's setters do.
        HostServices* oldHost = host_;
        Object old = object_;
        host_ = other.host_;
        object_ = other.object_;
        other.object_ = nullptr;
        if (old != nullptr && oldHost != nullptr) oldHost->release(old);
    }
    return *this;
}

inline void StrongRef::reset() {
    if (object_ != nullptr && host_ != nullptr) {
        Object old = object_;
        object_ = nullptr;
        host_->release(old);
    }
}

// The platform the library runs on. Bound once, when the library is loaded,
// before its initialisers do anything else; every logic file reaches the
// platform through it.
HostServices& host();
// Binds host() to the backend's services (thrumlineBindHost). Runs first when
// the library is loaded.
void bindHost();

}  // namespace thrumline

// Provided by the backend that the library is built with or loaded into:
// answers the platform services of the process that is loading the library.
// The library calls it once, at load.
extern "C" thrumline::HostServices* thrumlineBindHost();
