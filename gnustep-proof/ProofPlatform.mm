// The Linux proof build's stand-in platform. The functions in the extern "C"
// block are the iOS calls the device backend makes, with Apple's names and
// signatures; everything they do is recorded for the tests in ProofPlatform.h.
#include "ProofPlatform.h"

#include <AudioToolbox/AudioToolbox.h>
#include <CoreFoundation/CoreFoundation.h>
#include <dispatch/dispatch.h>
#include <mach/mach_time.h>
#include <objc/runtime.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <utility>

// GCC's runtime: rebuilds the dispatch tables of a class and its subclasses.
extern "C" void __objc_update_dispatch_table_for_class(Class cls);

struct dispatch_queue_s {
    int unused;
};
struct __CFNotificationCenter {
    int unused;
};

namespace thrumline::proof {
namespace {

struct QueuedStep {
    std::uint64_t when;
    std::uint64_t sequence;
    std::function<void()> work;
};

// Orders the heap so that front() is the earliest, first-scheduled step.
bool runsLater(const QueuedStep& a, const QueuedStep& b) {
    return a.when != b.when ? a.when > b.when : a.sequence > b.sequence;
}

struct ObserverEntry {
    Registration registration;
    CFNotificationCallback callback;
};

struct State {
    std::string fileRoot;
    std::uint64_t now = 0;
    std::uint64_t sequence = 0;
    std::vector<QueuedStep> queue;  // a heap under runsLater
    std::vector<ObserverEntry> observers;
    std::vector<Registration> registrations;
    std::vector<Post> posts;
    std::vector<std::pair<std::string, int>> deliveries;
    std::vector<SoundRequest> sounds;
    std::vector<HookRequest> hooks;
    std::function<void(const std::string&)> postWitness;
};

State& state() {
    static State* const instance = new State();
    return *instance;
}

// dispatch_time_t counts mach ticks, as on the phone: those of an assumed
// 24 MHz timebase (125/3 ns each; the facts pages give none, and the
// simulated host assumes the same), since a boot a second before the
// clock's zero. So no time reads as DISPATCH_TIME_NOW, and nanoseconds added
// to a dispatch_time_t other than through dispatch_time land far off.
constexpr std::uint64_t kBootTicks = 24000000;
constexpr std::uint64_t kNanosPerThreeTicks = 125;

std::uint64_t ticksAt(std::uint64_t nanos) {
    return kBootTicks + nanos / kNanosPerThreeTicks * 3 +
           nanos % kNanosPerThreeTicks * 3 / kNanosPerThreeTicks;
}

// Rounded up, so that a step never runs before its time; DISPATCH_TIME_NOW
// (and anything before the boot) is the clock's zero, FOREVER its end.
std::uint64_t nanosAt(dispatch_time_t ticks) {
    if (ticks <= kBootTicks) return 0;
    const std::uint64_t since = ticks - kBootTicks;
    if (since / 3 >= std::numeric_limits<std::uint64_t>::max() / kNanosPerThreeTicks)
        return std::numeric_limits<std::uint64_t>::max();
    return since / 3 * kNanosPerThreeTicks + (since % 3 * kNanosPerThreeTicks + 2) / 3;
}

void schedule(std::uint64_t when, std::function<void()> work) {
    State& s = state();
    s.queue.push_back(QueuedStep{when, s.sequence++, std::move(work)});
    std::push_heap(s.queue.begin(), s.queue.end(), runsLater);
}

// Runs the earliest step if it is due by `limit`; the clock moves to its time.
bool runNextDueBy(std::uint64_t limit) {
    State& s = state();
    if (s.queue.empty() || s.queue.front().when > limit) return false;
    std::pop_heap(s.queue.begin(), s.queue.end(), runsLater);
    QueuedStep step = std::move(s.queue.back());
    s.queue.pop_back();
    s.now = std::max(s.now, step.when);
    NSAutoreleasePool* pool = [[NSAutoreleasePool alloc] init];
    step.work();
    [pool drain];
    return true;
}

void countDelivery(const std::string& name) {
    for (auto& entry : state().deliveries) {
        if (entry.first == name) {
            ++entry.second;
            return;
        }
    }
    state().deliveries.emplace_back(name, 1);
}

std::string utf8(CFStringRef name) {
    NSString* text = (NSString*)name;
    const char* bytes = text == nil ? nullptr : [text UTF8String];
    return bytes == nullptr ? std::string() : std::string(bytes);
}

}  // namespace

void reset() {
    State& s = state();
    for (SoundRequest& request : s.sounds) [request.pattern release];
    s = State();
}

void setCoreFoundationVersion(double version) { kCFCoreFoundationVersionNumber = version; }

void setFileRoot(const std::string& folder) { state().fileRoot = folder; }
const std::string& fileRoot() { return state().fileRoot; }

std::uint64_t now() { return state().now; }
std::size_t pendingSteps() { return state().queue.size(); }

void runUntilIdle() {
    while (runNextDueBy(state().now)) {
    }
}

void advanceBy(std::uint64_t nanos) {
    const std::uint64_t target = state().now + nanos;
    while (runNextDueBy(target)) {
    }
    state().now = target;
}

const std::vector<Registration>& registrations() { return state().registrations; }
const std::vector<Post>& posts() { return state().posts; }

void setPostWitness(std::function<void(const std::string& name)> witness) {
    state().postWitness = std::move(witness);
}

int deliveries(const std::string& name) {
    for (const auto& entry : state().deliveries) {
        if (entry.first == name) return entry.second;
    }
    return 0;
}

const std::vector<SoundRequest>& sounds() { return state().sounds; }

std::string describePattern(NSDictionary* pattern) {
    auto is = [](id value, const char* type) {
        return [value isKindOfClass:[NSNumber class]] && std::strcmp([value objCType], type) == 0;
    };
    id intensity = [pattern objectForKey:@"Intensity"];
    if ([pattern count] != 2 || !is(intensity, @encode(int)) || [intensity intValue] != 1) {
        return "malformed";
    }
    std::string text;
    NSArray* steps = [pattern objectForKey:@"VibePattern"];
    for (NSUInteger i = 0; i < [steps count]; ++i) {
        id step = [steps objectAtIndex:i];
        if (!is(step, i % 2 == 0 ? @encode(BOOL) : @encode(int))) return "malformed step";
        text += i % 2 == 0 ? (i == 0 ? "" : ", ") + std::string([step boolValue] ? "on" : "off")
                           : " " + std::to_string([step intValue]);
    }
    return text;
}

const std::vector<HookRequest>& hookRequests() { return state().hooks; }

}  // namespace thrumline::proof

using thrumline::proof::state;

extern "C" {

double kCFCoreFoundationVersionNumber = 0.0;

struct dispatch_queue_s _dispatch_main_q;

namespace {
struct __CFNotificationCenter darwinCenter;
}

CFNotificationCenterRef CFNotificationCenterGetDarwinNotifyCenter(void) { return &darwinCenter; }

void CFNotificationCenterAddObserver(CFNotificationCenterRef center, const void* observer,
                                     CFNotificationCallback callBack, CFStringRef name,
                                     const void* object,
                                     CFNotificationSuspensionBehavior suspensionBehavior) {
    if (center != &darwinCenter || callBack == nullptr || name == nullptr) {
        std::fprintf(stderr, "proof: CFNotificationCenterAddObserver with a bad argument\n");
        std::abort();
    }
    const thrumline::proof::Registration registration{thrumline::proof::utf8(name), observer,
                                                      object, static_cast<int>(suspensionBehavior)};
    state().registrations.push_back(registration);
    state().observers.push_back(thrumline::proof::ObserverEntry{registration, callBack});
}

// Darwin notifications cross processes: the observers hear of a post later,
// on their main queue, never inside the post itself.
void CFNotificationCenterPostNotification(CFNotificationCenterRef center, CFStringRef name,
                                          const void* object, CFDictionaryRef userInfo,
                                          Boolean deliverImmediately) {
    if (center != &darwinCenter || name == nullptr) {
        std::fprintf(stderr, "proof: CFNotificationCenterPostNotification with a bad argument\n");
        std::abort();
    }
    const std::string text = thrumline::proof::utf8(name);
    state().posts.push_back(thrumline::proof::Post{text, state().now, deliverImmediately != 0,
                                                   object != nullptr, userInfo != nullptr});
    if (state().postWitness) state().postWitness(text);
    for (const thrumline::proof::ObserverEntry& entry : state().observers) {
        if (entry.registration.name != text) continue;
        const CFNotificationCallback callback = entry.callback;
        void* const observer = const_cast<void*>(entry.registration.observer);
        // [=]: a capture list of names would read as a message send in Objective-C++.
        thrumline::proof::schedule(state().now, [=] {
            NSString* delivered = [[NSString alloc] initWithUTF8String:text.c_str()];
            thrumline::proof::countDelivery(text);
            callback(&darwinCenter, observer, (CFStringRef)delivered, nullptr, nullptr);
            [delivered release];
        });
    }
}

// The clock dispatch_time counts, so DISPATCH_TIME_NOW and this agree.
uint64_t mach_absolute_time(void) { return thrumline::proof::ticksAt(state().now); }

kern_return_t mach_timebase_info(mach_timebase_info_t info) {
    info->numer = thrumline::proof::kNanosPerThreeTicks;
    info->denom = 3;
    return 0;
}

dispatch_time_t dispatch_time(dispatch_time_t when, int64_t delta) {
    if (when == DISPATCH_TIME_FOREVER) return DISPATCH_TIME_FOREVER;
    const std::uint64_t base =
        when == DISPATCH_TIME_NOW ? state().now : thrumline::proof::nanosAt(when);
    // A time already past is due at once; the clock never goes below zero.
    if (delta < 0) {
        const std::uint64_t back = static_cast<std::uint64_t>(-(delta + 1)) + 1;
        return thrumline::proof::ticksAt(back >= base ? 0 : base - back);
    }
    return thrumline::proof::ticksAt(base + static_cast<std::uint64_t>(delta));
}

void dispatch_after_f(dispatch_time_t when, dispatch_queue_t queue, void* context,
                      dispatch_function_t work) {
    if (queue != &_dispatch_main_q || work == nullptr) {
        std::fprintf(stderr, "proof: dispatch_after_f supports the main queue only\n");
        std::abort();
    }
    thrumline::proof::schedule(thrumline::proof::nanosAt(when), [=] { work(context); });
}

void AudioServicesPlaySystemSound(SystemSoundID inSystemSoundID) {
    state().sounds.push_back(
        thrumline::proof::SoundRequest{inSystemSoundID, state().now, false, true, nil});
}

void AudioServicesPlaySystemSoundWithVibration(SystemSoundID soundID, id unused,
                                               NSDictionary* pattern) {
    state().sounds.push_back(thrumline::proof::SoundRequest{soundID, state().now, true,
                                                            unused == nil, [pattern retain]});
}

// Substrate's semantics on the runtime's own calls: the slot receives the
// implementation the class answers with now (its superclass's when it only
// inherits the method), then the replacement goes into the class itself.
// No class or no such method: nothing happens and the slot is left alone.
void MSHookMessageEx(Class cls, SEL selector, IMP replacement, IMP* original) {
    thrumline::proof::HookRequest request{cls == Nil ? "" : class_getName(cls),
                                          selector == nullptr ? "" : sel_getName(selector), false};
    Method method = cls == Nil ? nullptr : class_getInstanceMethod(cls, selector);
    if (method != nullptr) {
        if (original != nullptr) *original = method_getImplementation(method);
        if (!class_addMethod(cls, selector, replacement, method_getTypeEncoding(method))) {
            method_setImplementation(method, replacement);
            // GCC's runtime refreshes only the owning class's dispatch table
            // here; subclasses would keep answering with the old one.
            __objc_update_dispatch_table_for_class(cls);
        }
        request.replaced = true;
    }
    state().hooks.push_back(request);
}

// GCC's runtime has no autorelease scope of its own; GNUstep's pool is one.
void* objc_autoreleasePoolPush(void) { return [[NSAutoreleasePool alloc] init]; }

void objc_autoreleasePoolPop(void* token) { [(NSAutoreleasePool*)token drain]; }

}  // extern "C"

// LeakSanitizer (sanitizer builds): the runtime and GNUstep keep their
// class tables, caches and per-thread data until the process ends, and
// every Foundation object is allocated inside them; the proof's tests check
// their own references with retain counts instead.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libobjc.so\nleak:libgnustep-base.so\n";
}
