// The one door from Thrumline's logic to the platform.
//
// Every operation bears the name of the platform function or message it
// stands for. The device backend (tweak/device) forwards to the real calls;
// the simulated host (simulator/home-screen) honours the same effects on
// Linux. The logic (tweak/hooks, behaviour, settings, vibration) includes
// this header and nothing of either backend.
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
// globals when they run). It is handed over with its purpose when it is
// queued, never kept in a constant: a constant holding a function pointer
// would be a signed pointer in static data on arm64e.
using StepFunction = void (*)();

// DISPATCH_TIME_NOW: the base value of dispatch_time meaning "the current time".
constexpr std::uint64_t kDispatchTimeNow = 0;
// CFNotificationSuspensionBehaviorCoalesce.
constexpr int kSuspensionBehaviorCoalesce = 2;

class HostServices;

// How the library reaches the platform. In the phone build (and the proof
// build, which runs the phone's backend on Linux) THRUMLINE_HOST_LINKED binds
// it when the library is linked: HostServices is then the device backend
// itself, its operations defined by tweak/device/IosHost.mm, every call a direct
// one and no virtual table in the library (an arm64e image could hold one
// only as signed pointers in static data). Elsewhere it is an interface that
// each host implements: the simulated host, test doubles.
#ifdef THRUMLINE_HOST_LINKED
#define THRUMLINE_HOST_OP
#define THRUMLINE_HOST_IMPL
#else
#define THRUMLINE_HOST_OP virtual
#define THRUMLINE_HOST_IMPL = 0
#endif

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
#ifndef THRUMLINE_HOST_LINKED
    virtual ~HostServices() = default;
#endif

    // --- Reference counting (objc_retain / objc_release) ---
    THRUMLINE_HOST_OP void retain(Object object) THRUMLINE_HOST_IMPL;
    THRUMLINE_HOST_OP void release(Object object) THRUMLINE_HOST_IMPL;

    // --- Runtime, hooking and OS version ---
    // The CoreFoundation version of the running system.
    THRUMLINE_HOST_OP double kCFCoreFoundationVersionNumber() THRUMLINE_HOST_IMPL;
    // The host class of that name, or null when the host has none.
    THRUMLINE_HOST_OP Class objc_getClass(const char* name) THRUMLINE_HOST_IMPL;
    THRUMLINE_HOST_OP Selector sel_registerName(const char* name) THRUMLINE_HOST_IMPL;
    // Puts `replacement` in place of the class's implementation of `selector`
    // and stores the implementation it had before in `*slot`. With a null
    // class, or no such method, nothing happens and `*slot` is left as it is.
    THRUMLINE_HOST_OP void MSHookMessageEx(Class cls, Selector selector, MethodImp replacement,
                                           MethodImp* slot) THRUMLINE_HOST_IMPL;
    THRUMLINE_HOST_OP void* objc_autoreleasePoolPush() THRUMLINE_HOST_IMPL;
    THRUMLINE_HOST_OP void objc_autoreleasePoolPop(void* token) THRUMLINE_HOST_IMPL;
    // -[NSObject respondsToSelector:]; false for a null object.
    THRUMLINE_HOST_OP bool respondsToSelector(Object object, Selector selector) THRUMLINE_HOST_IMPL;

    // --- Darwin notification center ---
    THRUMLINE_HOST_OP NotificationCenter CFNotificationCenterGetDarwinNotifyCenter()
        THRUMLINE_HOST_IMPL;
    // From now on every post of `name` calls `callback` on the main thread,
    // never inside the post itself.
    THRUMLINE_HOST_OP void CFNotificationCenterAddObserver(
        NotificationCenter center, const void* observer, NotificationCallback callback,
        const char* name, const void* object, int suspensionBehavior) THRUMLINE_HOST_IMPL;
    THRUMLINE_HOST_OP void CFNotificationCenterPostNotification(
        NotificationCenter center, const char* name, const void* object, Object userInfo,
        bool deliverImmediately) THRUMLINE_HOST_IMPL;

    // --- Clock ---
    // A monotonic clock, in ticks of the timebase below; it stops while the
    // device sleeps, as the main queue's timers do.
    THRUMLINE_HOST_OP std::uint64_t mach_absolute_time() THRUMLINE_HOST_IMPL;
    // Nanoseconds are ticks * numer / denom.
    THRUMLINE_HOST_OP void mach_timebase_info(std::uint32_t& numer,
                                              std::uint32_t& denom) THRUMLINE_HOST_IMPL;

    // --- Main queue ---
    // `when` is kDispatchTimeNow or an earlier result of dispatch_time;
    // `delta` is a signed count of nanoseconds. The result counts the
    // platform's own units (mach ticks on the phone, not nanoseconds): the
    // logic only hands it back, never does arithmetic on it.
    THRUMLINE_HOST_OP std::uint64_t dispatch_time(std::uint64_t when,
                                                  std::int64_t delta) THRUMLINE_HOST_IMPL;
    // Parenthesised: Apple's headers define dispatch_get_main_queue() as a macro.
    THRUMLINE_HOST_OP DispatchQueue(dispatch_get_main_queue)() THRUMLINE_HOST_IMPL;
    // Runs `step` once on `queue`, no earlier than `when`, and never inside
    // this call; `purpose` says what it is for.
    THRUMLINE_HOST_OP void dispatch_after(std::uint64_t when, DispatchQueue queue,
                                          StepFunction step,
                                          StepPurpose purpose) THRUMLINE_HOST_IMPL;

    // --- AudioToolbox ---
    THRUMLINE_HOST_OP void AudioServicesPlaySystemSound(std::uint32_t soundID) THRUMLINE_HOST_IMPL;
    THRUMLINE_HOST_OP void AudioServicesPlaySystemSoundWithVibration(
        std::uint32_t soundID, Object unused, Object vibrationPattern) THRUMLINE_HOST_IMPL;

    // --- Foundation values ---
    // [[NSMutableDictionary alloc] initWithContentsOfFile:path]: the file's
    // top-level dictionary, or null when the file is missing, unreadable,
    // not a property list or not a dictionary at its root.
    THRUMLINE_HOST_OP StrongRef initWithContentsOfFile(const char* path) THRUMLINE_HOST_IMPL;
    // [NSMutableDictionary new] and [NSMutableArray new].
    THRUMLINE_HOST_OP StrongRef newMutableDictionary() THRUMLINE_HOST_IMPL;
    THRUMLINE_HOST_OP StrongRef newMutableArray() THRUMLINE_HOST_IMPL;
    // [NSNumber numberWithBool:] / [NSNumber numberWithInt:], as owned references.
    THRUMLINE_HOST_OP StrongRef numberWithBool(bool value) THRUMLINE_HOST_IMPL;
    THRUMLINE_HOST_OP StrongRef numberWithInt(std::int32_t value) THRUMLINE_HOST_IMPL;
    // The stored value, or null when the key is missing or `dictionary` is null.
    THRUMLINE_HOST_OP Object objectForKeyedSubscript(Object dictionary,
                                                     const char* key) THRUMLINE_HOST_IMPL;
    THRUMLINE_HOST_OP void setObject_forKey(Object dictionary, Object value,
                                            const char* key) THRUMLINE_HOST_IMPL;
    THRUMLINE_HOST_OP void addObject(Object array, Object value) THRUMLINE_HOST_IMPL;
    THRUMLINE_HOST_OP bool boolValue(Object value) THRUMLINE_HOST_IMPL;
    THRUMLINE_HOST_OP std::int32_t intValue(Object value) THRUMLINE_HOST_IMPL;
    // Writes `dictionary` as an XML property list; with `atomically` a reader
    // sees the old file or the new one, never a part. False on failure.
    THRUMLINE_HOST_OP bool writeToFile_atomically(Object dictionary, const char* path,
                                                  bool atomically) THRUMLINE_HOST_IMPL;

    // --- Host objects ---
    // -[TUCall isConnected]: the call has connected (it stays so after it
    // ended); false for a null call.
    THRUMLINE_HOST_OP bool isConnected(Object call) THRUMLINE_HOST_IMPL;
    // -[TUCall isOutgoing]: the user placed the call; false for a null call.
    THRUMLINE_HOST_OP bool isOutgoing(Object call) THRUMLINE_HOST_IMPL;
    // -[TUCall status]: 1 active, 2 held, 3 sending, 4 ringing, 5
    // disconnecting, 6 disconnected; 0 for a null call or one that does not
    // answer. isConnected stays true once a call has connected, so only this
    // tells that it ended.
    THRUMLINE_HOST_OP std::int32_t status(Object call) THRUMLINE_HOST_IMPL;
    // -[TUCall callDuration]: seconds since the call connected, frozen once
    // it ended; 0 for a call that never connected, a null call or one that
    // does not answer.
    THRUMLINE_HOST_OP double callDuration(Object call) THRUMLINE_HOST_IMPL;
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
