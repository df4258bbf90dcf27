// The phone's calls and the home screen's telephony manager, announcing them
// the way the real one does (docs: how SBTelephonyManager reacts to each
// status change and to a refresh). The manager keeps four slots (active,
// held, incoming, outgoing); only setActiveCall: is hooked, so it goes to
// the running process through its class, as the host sends it, and the
// other three setters are the manager's own.
//
// Calls belong to the phone: they outlive a home-screen process. Each
// process gets objects of its own for the calls in progress (attach), and
// its manager starts with every slot empty. A call answers as iOS's TUCall
// does: isConnected YES from the moment it first became active for the rest
// of its life, and its status. An ended call stays known by its name
// (disconnected) until a new call takes the name; the phone lets its object
// go when it ends.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tweak/platform/HostServices.h"

namespace thrumline::sim {

class Process;

// A telephony change that makes no sense for the calls as they stand.
class TelephonyError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

class Telephony {
public:
    // TUCall's status values.
    enum class Status {
        Active = 1,
        Held = 2,
        Sending = 3,
        Ringing = 4,
        Disconnecting = 5,
        Disconnected = 6
    };
    // What a call answers now.
    struct Answers {
        int status = 0;
        bool isConnected = false;
    };

    Telephony() = default;
    ~Telephony();
    Telephony(const Telephony&) = delete;
    Telephony& operator=(const Telephony&) = delete;

    // The running process: makes its call objects. At most one at a time.
    void attach(Process& process);
    // Lets go of the process's objects, before the process ends.
    void detach();

    // The status events. Each throws TelephonyError, changing nothing, when
    // the call does not allow it (see the scenario commands).
    void ring(const std::string& name);    // an incoming call rings
    void dial(const std::string& name);    // the user places a call
    void active(const std::string& name);  // answered, answered by them, or back from hold
    void hold(const std::string& name);    // the active call goes on hold
    void end(const std::string& name);     // disconnecting, then disconnected
    // The manager re-reads its calls, as after the home screen boots.
    void refresh();

    // Anyone's setActiveCall: with `call` (a call object of the running
    // process, or nil): sent to the host, and the manager's active slot.
    void setActiveCall(Object call);

    // What the call named `name`, in progress or ended, answers; false
    // when no call has that name.
    bool answers(const std::string& name, Answers& out) const;

    // A name of letters, digits and '_'.
    static bool isCallName(const std::string& name) {
        return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
            return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                   c == '_';
        });
    }

private:
    struct Call {
        std::string name;
        Status status;
        bool outgoing;
        Object object;  // in the attached process; one reference, the phone's; none once ended
        // On the virtual clock: when it first became active (none: it never
        // connected), when it ended.
        std::optional<std::uint64_t> connectedAt = {}, endedAt = {};
        bool hasConnected() const { return connectedAt.has_value(); }
    };
    enum Slot { kActive, kHeld, kIncoming, kOutgoing, kSlots };

    // A call in progress (not ended) of that name.
    Call& find(const std::string& name);
    void begin(const std::string& name, Status status, bool outgoing);
    void setStatus(Call& call, Status status);
    // The first call, in the order made, with this status, other than `except`.
    Object first(Status status, const Call* except) const;
    void setSlot(Slot slot, Object call);
    void announce(Object call);
    // A status event's re-check: if `call` was active, the first other
    // active call (or nil) takes its place.
    void replaceIfActive(const Call& call);
    Process& process();

    Process* process_ = nullptr;
    std::vector<Call> calls_;    // in progress and ended, in the order made
    Object slots_[kSlots] = {};  // each one reference
};

}  // namespace thrumline::sim
