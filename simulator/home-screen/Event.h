// What the simulated host records: one event per platform operation the
// library (or the settings pane stand-in) performs, each kind with its own
// typed fields. Tests and thrumline-sim read these directly.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "simulator/home-screen/PlistValue.h"
#include "tweak/hooks/HookGroups.h"
#include "tweak/platform/HostServices.h"

namespace thrumline::sim {

// What MSHookMessageEx did with a method: put the replacement in place, or
// why it left the method alone.
enum class HookResult { Installed, NoClass, NoMethod, NoReplacement, AlreadyHooked };

namespace events {

// A home-screen process started.
struct ProcessStarted {
    double coreFoundationVersion = 0;
};
// It ended; its pending main-queue items (steps, deliveries) were dropped.
struct ProcessEnded {
    std::size_t droppedItems = 0;
};
// MSHookMessageEx put a replacement in place.
struct HookInstalled {
    std::string className;
    std::string selector;
};
// MSHookMessageEx left a method alone.
struct HookSkipped {
    using Why = HookResult;  // never Installed
    std::string className;   // "(null)" for an absent class
    std::string selector;
    Why why = Why::NoClass;
};
// CFNotificationCenterAddObserver.
struct ObserverRegistered {
    std::string name;
    int suspensionBehavior = 0;
};
// objc_autoreleasePoolPush: the pool depth after the push.
struct AutoreleasePush {
    std::uintptr_t depth = 0;
};
// objc_autoreleasePoolPop: the depth of the pool popped.
struct AutoreleasePop {
    std::uintptr_t depth = 0;
};
// initWithContentsOfFile:.
struct SettingsRead {
    enum class Outcome { Found, Missing, NotAPropertyList, NotADictionary };
    std::string path;
    Outcome outcome = Outcome::Missing;
};
// writeToFile:atomically:.
struct SettingsWritten {
    std::string path;
    PlistValue settings;
    bool ok = false;
};
// A Darwin notification was posted.
struct NotificationPosted {
    enum class By { Library, Pane };
    std::string name;
    By by = By::Library;
};
// An observer's callback ran for a post.
struct NotificationDelivered {
    std::string name;
};
// A host implementation of a hooked method ran. Compare the receiver and
// argument with the handles of the process; never message them.
struct HostMethodRan {
    std::string className;  // of the receiver
    std::string selector;
    Object receiver = nullptr;
    Object argument = nullptr;
};
// AudioServicesPlaySystemSoundWithVibration: a copy of the request, since
// the library may change or release the dictionary afterwards.
struct Vibrate {
    std::uint32_t sound = 0;
    PlistValue request;
    Object secondArgument = nullptr;  // unused by the platform; nil expected
    // A pattern request that started while an earlier pattern still played
    // (Device::startVibration): the start of the most recent such pattern.
    bool overlaps = false;
    std::uint64_t overlapsT = 0;
};
// AudioServicesPlaySystemSound.
struct Sound {
    std::uint32_t sound = 0;
};
// dispatch_after: the due time on the virtual clock as asked (a time already
// past is recorded as the current time; late timers run the step later),
// what the library says the step is for, and the step's number, which the
// events it records when it runs carry.
struct StepScheduled {
    std::uint64_t due = 0;
    StepPurpose purpose = StepPurpose::PulseChain;
    std::uint64_t number = 0;
};
// The settings pane stand-in changed the settings file.
struct PaneWroteSettings {
    enum class Action { Write, Set, Unset, Delete, Bytes };
    Action action = Action::Write;
    bool ok = false;
    PlistValue change;      // Write, Set: the keys and values; Unset: the keys, as an array
    std::size_t bytes = 0;  // Bytes: how many were written
    PlistValue settings;    // Write, Set, Unset: the file's content afterwards (None: no file)
};
// The home screen's telephony manager (simulator/home-screen/Telephony.h) sets its
// active call, through the hooked setActiveCall:, after a status change or
// a refresh.
struct ActiveCallSet {
    std::string call;  // the call's name; empty: nil
};
// A telephony call's status changed (TUCall's numbers: 1 active ... 6
// disconnected); a new call's first status included.
struct CallStatus {
    std::string call;  // the call's name
    int status = 0;
};
// The library broke a platform rule.
struct Fault {
    std::string call;     // the message or function
    std::string problem;  // e.g. "message to deallocated <TUCall #4>"
};

}  // namespace events

// The kinds, in the order of Event::Data's alternatives.
enum class EventKind {
    ProcessStarted,
    ProcessEnded,
    HookInstalled,
    HookSkipped,
    ObserverRegistered,
    AutoreleasePush,
    AutoreleasePop,
    SettingsRead,
    SettingsWritten,
    NotificationPosted,
    NotificationDelivered,
    HostMethodRan,
    Vibrate,
    Sound,
    StepScheduled,
    PaneWroteSettings,
    ActiveCallSet,
    CallStatus,
    Fault,
};

struct Event {
    using Data = std::variant<events::ProcessStarted, events::ProcessEnded, events::HookInstalled,
                              events::HookSkipped, events::ObserverRegistered,
                              events::AutoreleasePush, events::AutoreleasePop, events::SettingsRead,
                              events::SettingsWritten, events::NotificationPosted,
                              events::NotificationDelivered, events::HostMethodRan, events::Vibrate,
                              events::Sound, events::StepScheduled, events::PaneWroteSettings,
                              events::ActiveCallSet, events::CallStatus, events::Fault>;

    std::uint64_t t_ns = 0;  // virtual time since the device was created
    int process = 0;         // 1 for the first process made on the device, ...; 0 for the pane
    Data data;
    std::uint64_t step = 0;  // the number of the main-queue step running then; 0: none

    EventKind kind() const { return static_cast<EventKind>(data.index()); }
    // The fields of kind T, or null for an event of another kind.
    template <class T>
    const T* get() const {
        return std::get_if<T>(&data);
    }
};

template <EventKind K, class T>
constexpr bool kindHolds =
    std::is_same_v<std::variant_alternative_t<static_cast<std::size_t>(K), Event::Data>, T>;
static_assert(std::variant_size_v<Event::Data> == static_cast<std::size_t>(EventKind::Fault) + 1 &&
                  kindHolds<EventKind::ProcessStarted, events::ProcessStarted> &&
                  kindHolds<EventKind::ProcessEnded, events::ProcessEnded> &&
                  kindHolds<EventKind::HookInstalled, events::HookInstalled> &&
                  kindHolds<EventKind::HookSkipped, events::HookSkipped> &&
                  kindHolds<EventKind::ObserverRegistered, events::ObserverRegistered> &&
                  kindHolds<EventKind::AutoreleasePush, events::AutoreleasePush> &&
                  kindHolds<EventKind::AutoreleasePop, events::AutoreleasePop> &&
                  kindHolds<EventKind::SettingsRead, events::SettingsRead> &&
                  kindHolds<EventKind::SettingsWritten, events::SettingsWritten> &&
                  kindHolds<EventKind::NotificationPosted, events::NotificationPosted> &&
                  kindHolds<EventKind::NotificationDelivered, events::NotificationDelivered> &&
                  kindHolds<EventKind::HostMethodRan, events::HostMethodRan> &&
                  kindHolds<EventKind::Vibrate, events::Vibrate> &&
                  kindHolds<EventKind::Sound, events::Sound> &&
                  kindHolds<EventKind::StepScheduled, events::StepScheduled> &&
                  kindHolds<EventKind::PaneWroteSettings, events::PaneWroteSettings> &&
                  kindHolds<EventKind::ActiveCallSet, events::ActiveCallSet> &&
                  kindHolds<EventKind::CallStatus, events::CallStatus> &&
                  kindHolds<EventKind::Fault, events::Fault>,
              "each kind names its own alternative");

// How the simulator names what a step is for.
inline const char* stepPurposeName(StepPurpose purpose) {
    switch (purpose) {
        case StepPurpose::PulseChain:
            return "pulse chain";
        case StepPurpose::MinuteMinder:
            return "minute minder";
        case StepPurpose::QuietPeriodEnd:
            return "quiet period end";
        case StepPurpose::CallHistory:
            return "call history";
    }
    return "unnamed step";
}

// The hook group a load put in place, named from the library's own table:
// the one group that holds every hook installed, "none" for no hook, else
// "unknown" (an absent class can leave a hook that two groups share).
inline std::string hookGroupOf(const std::vector<events::HookInstalled>& hooks) {
    if (hooks.empty()) return "none";
    const HookGroup* found = nullptr;
    for (const HookGroup* group : kHookGroups) {
        const bool holdsAll =
            std::all_of(hooks.begin(), hooks.end(), [group](const events::HookInstalled& hook) {
                return std::any_of(std::begin(group->methods), std::end(group->methods),
                                   [&hook](const HookedMethod& method) {
                                       return hook.className == method.className &&
                                              hook.selector == method.selector;
                                   });
            });
        if (!holdsAll) continue;
        if (found != nullptr) return "unknown";
        found = group;
    }
    return found != nullptr ? found->name : "unknown";
}

// The names hookGroupOf gives a load that installed a whole group or nothing.
inline std::vector<std::string> hookGroupNames() {
    std::vector<std::string> names;
    for (const HookGroup* group : kHookGroups) names.push_back(group->name);
    names.push_back("none");
    return names;
}

}  // namespace thrumline::sim
