#include "simulator/phone/EntryPoints.h"

#include <algorithm>
#include <array>
#include <utility>

#include "simulator/home-screen/ProcessImpl.h"
#include "simulator/phone/PhoneBinary.h"

namespace thrumline::phone {

namespace {

constexpr std::size_t kEntries = 16;

EntryPoints* entriesOf(const void* handle) {
    sim::Process::Impl* p = sim::Process::Impl::owning(handle);
    return p != nullptr && p->phone ? &p->phone->entries() : nullptr;
}

template <std::size_t N>
void hookEntry(Object self, Selector cmd, Object arg) {
    EntryPoints* entries = entriesOf(self);
    if (entries == nullptr) entries = entriesOf(cmd);
    if (entries != nullptr) entries->enterHook(N, self, cmd, arg);
}

template <std::size_t N>
void callbackEntry(NotificationCenter, void* observer, Object name, const void*, Object) {
    if (EntryPoints* entries = entriesOf(name)) entries->enterCallback(N, observer, name);
}

template <std::size_t... N>
constexpr std::array<MethodImp, kEntries> hookEntries(std::index_sequence<N...>) {
    return {&hookEntry<N>...};
}
template <std::size_t... N>
constexpr std::array<NotificationCallback, kEntries> callbackEntries(std::index_sequence<N...>) {
    return {&callbackEntry<N>...};
}
constexpr auto kHookEntries = hookEntries(std::make_index_sequence<kEntries>());
constexpr auto kCallbackEntries = callbackEntries(std::make_index_sequence<kEntries>());

}  // namespace

EntryPoints::EntryPoints(sim::Process::Impl& process, Cpu& cpu, GuestObjects& objects,
                         AutoreleasePools& pools, std::uint64_t center)
    : p_(process), cpu_(cpu), objects_(objects), pools_(pools), center_(center) {}

void EntryPoints::enter(std::uint64_t fn, const std::vector<std::uint64_t>& args,
                        const std::string& what) {
    if (crashed_) return;
    const std::size_t depth = pools_.pushHostPool();
    try {
        cpu_.callSigned(fn, args, what);
        pools_.drainTo(depth);
    } catch (const GuestFault& fault) {
        crashed_ = true;
        pools_.dropTo(depth);
        if (!fault.recorded)
            p_.recordFault(fault.call, "the home screen crashed: " + fault.problem);
    }
}

void EntryPoints::enterHook(std::size_t entry, Object self, Selector cmd, Object arg) {
    if (entry >= hookImps_.size()) return;
    const sim::SimSelector* sel = objects_.runtime().selectorOf(cmd);
    enter(hookSigned_[entry],
          {objects_.guestOf(self), objects_.guestOf(cmd), objects_.guestOf(arg)},
          "the replacement for " + (sel != nullptr ? sel->name : "?"));
}

void EntryPoints::enterCallback(std::size_t entry, void* observer, Object name) {
    if (entry >= callbacks_.size()) return;
    const sim::SimObject* text = objects_.runtime().receiver(name, "notification callback");
    const std::string named = text != nullptr && text->value.type() == sim::PlistValue::Type::String
                                  ? text->value.stringValue()
                                  : "?";
    enter(callbacks_[entry],
          {center_, reinterpret_cast<std::uint64_t>(observer), objects_.guestOf(name), 0, 0},
          "the callback observing " + named + " handed to CFNotificationCenterAddObserver");
}

void EntryPoints::schedule(std::uint64_t when, std::uint64_t work, std::uint64_t context) {
    // The device backend's context is the step it queued: the step's
    // function, then its purpose in the next eight bytes.
    const auto purpose = static_cast<StepPurpose>(cpu_.read64(context + 8) & 0xFFFFFFFF);
    p_.dispatchAfter(when, purpose, [this, work, context] {
        enter(work, {context}, "the work function handed to dispatch_after_f");
    });
}

std::uint64_t EntryPoints::hookEntryFor(std::uint64_t guestImp, MethodImp* entry) {
    // What Substrate's MSHookMessageEx does on arm64e: the replacement must
    // be signed as every function pointer is (IA, discriminator 0).
    const std::optional<std::uint64_t> plain = cpu_.authenticate(guestImp);
    if (!plain) {
        throw GuestFault{"MSHookMessageEx",
                         "pointer authentication failed: the replacement handed to "
                         "MSHookMessageEx is not signed with key IA and discriminator 0"};
    }
    auto it = std::find(hookImps_.begin(), hookImps_.end(), *plain);
    if (it == hookImps_.end()) {
        if (hookImps_.size() == kEntries)
            throw GuestFault{"MSHookMessageEx", "more than 16 replacements: not modelled"};
        it = hookImps_.insert(hookImps_.end(), *plain);
        hookSigned_.push_back(guestImp);
    }
    const auto n = static_cast<std::size_t>(it - hookImps_.begin());
    *entry = kHookEntries[n];
    return n;
}

std::uint64_t EntryPoints::callbackEntryFor(std::uint64_t guestFn, NotificationCallback* entry) {
    auto it = std::find(callbacks_.begin(), callbacks_.end(), guestFn);
    if (it == callbacks_.end()) {
        if (callbacks_.size() == kEntries)
            throw GuestFault{"CFNotificationCenterAddObserver",
                             "more than 16 callbacks: not modelled"};
        it = callbacks_.insert(callbacks_.end(), guestFn);
    }
    const auto n = static_cast<std::size_t>(it - callbacks_.begin());
    *entry = kCallbackEntries[n];
    return n;
}

// The address the binary calls a hooked method's previous implementation
// at: the binary's own replacement when it was one, else a trap into the host's.
std::uint64_t EntryPoints::hookedImp(MethodImp imp) const {
    for (std::size_t n = 0; n < hookImps_.size(); ++n) {
        if (kHookEntries[n] == imp) return hookImps_[n];
    }
    return 0;
}

std::uint64_t EntryPoints::originalFor(MethodImp original, const std::string& name) {
    if (const std::uint64_t guest = hookedImp(original)) return cpu_.sign(guest);
    auto it = originals_.find(original);
    if (it != originals_.end()) return cpu_.sign(it->second);
    const std::uint64_t addr = cpu_.trap(name, [this, original](Cpu& c) {
        original(objects_.objectAt(c.arg(0)),
                 objects_.selectorAt(c.arg(1), "original implementation"),
                 objects_.objectAt(c.arg(2)));
        return Result::none();
    });
    originals_.emplace(original, addr);
    return cpu_.sign(addr);
}

}  // namespace thrumline::phone
