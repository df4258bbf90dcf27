#include "simulator/home-screen/Telephony.h"

#include <algorithm>

#include "simulator/home-screen/Process.h"

namespace thrumline::sim {

namespace {

const char* statusName(Telephony::Status status) {
    switch (status) {
        case Telephony::Status::Active:
            return "active";
        case Telephony::Status::Held:
            return "held";
        case Telephony::Status::Sending:
            return "dialled, not answered";
        case Telephony::Status::Ringing:
            return "ringing";
        case Telephony::Status::Disconnecting:
            return "disconnecting";
        case Telephony::Status::Disconnected:
            return "disconnected";
    }
    return "?";
}

bool hasEnded(Telephony::Status status) {
    return status == Telephony::Status::Disconnecting || status == Telephony::Status::Disconnected;
}

}  // namespace

Telephony::~Telephony() { detach(); }

Process& Telephony::process() {
    if (process_ == nullptr) throw TelephonyError("no home-screen process is running");
    return *process_;
}

void Telephony::attach(Process& process) {
    detach();
    process_ = &process;
    // A call that ended before this process started has no object in it.
    for (Call& call : calls_) {
        if (hasEnded(call.status)) continue;
        call.object = process.newCall(call.hasConnected(), static_cast<int>(call.status));
        process.setCallTimes(call.object, call.connectedAt, call.endedAt);
        process.setOutgoing(call.object, call.outgoing);
    }
}

void Telephony::detach() {
    if (process_ == nullptr) return;
    for (Object& slot : slots_) {
        if (slot != nullptr) process_->releaseObject(slot);
        slot = nullptr;
    }
    for (Call& call : calls_) {
        if (call.object != nullptr) process_->releaseObject(call.object);
        call.object = nullptr;
    }
    process_ = nullptr;
}

Telephony::Call& Telephony::find(const std::string& name) {
    for (Call& call : calls_) {
        if (call.name == name && !hasEnded(call.status)) return call;
    }
    throw TelephonyError("no call " + name + " in progress: expected telephony ring or dial " +
                         name + " first");
}

Object Telephony::first(Status status, const Call* except) const {
    for (const Call& call : calls_) {
        if (call.status == status && &call != except) return call.object;
    }
    return nullptr;
}

void Telephony::setSlot(Slot slot, Object call) {
    // As a setter does: the new reference before the old one goes.
    if (call != nullptr) process().retainObject(call);
    if (slots_[slot] != nullptr) process().releaseObject(slots_[slot]);
    slots_[slot] = call;
}

void Telephony::announce(Object call) {
    std::string name;
    for (const Call& c : calls_) {
        if (c.object == call && call != nullptr) name = c.name;
    }
    Process& p = process();
    p.device().record(p.number(), events::ActiveCallSet{name});
    setActiveCall(call);
}

void Telephony::setActiveCall(Object call) {
    Process& p = process();
    // The slot holds it first: the host's setter stores what it is given.
    setSlot(kActive, call);
    p.setActiveCall(call);
}

bool Telephony::answers(const std::string& name, Answers& out) const {
    for (const Call& call : calls_) {
        if (call.name != name) continue;
        out = {static_cast<int>(call.status), call.hasConnected()};
        return true;
    }
    return false;
}

void Telephony::setStatus(Call& call, Status status) {
    if (call.status == status) return;
    call.status = status;
    Process& p = process();
    const std::uint64_t now = p.device().mainQueue().now();
    // Once connected, always connected: the call keeps the date it connected.
    if (status == Status::Active && !call.connectedAt) call.connectedAt = now;
    if (hasEnded(status) && !call.endedAt) call.endedAt = now;
    p.device().record(p.number(), events::CallStatus{call.name, static_cast<int>(status)});
    p.setConnected(call.object, call.hasConnected());
    p.setStatus(call.object, static_cast<int>(status));
}

void Telephony::replaceIfActive(const Call& call) {
    if (call.object == slots_[kActive]) announce(first(Status::Active, &call));
}

void Telephony::begin(const std::string& name, Status status, bool outgoing) {
    Process& p = process();
    for (auto it = calls_.begin(); it != calls_.end(); ++it) {
        if (it->name != name) continue;
        if (!hasEnded(it->status)) {
            throw TelephonyError(name + " is a call in progress (" + statusName(it->status) +
                                 "): expected a new name, or telephony end " + name + " first");
        }
        // A new call takes the name of one that ended.
        calls_.erase(it);
        break;
    }
    const Object object = p.newCall(false, static_cast<int>(status));
    p.setOutgoing(object, outgoing);
    calls_.push_back({name, status, outgoing, object});
    p.device().record(p.number(), events::CallStatus{name, static_cast<int>(status)});
}

void Telephony::ring(const std::string& name) {
    begin(name, Status::Ringing, false);
    setSlot(kIncoming, calls_.back().object);
}

void Telephony::dial(const std::string& name) {
    begin(name, Status::Sending, true);
    setSlot(kOutgoing, calls_.back().object);
    replaceIfActive(calls_.back());
}

void Telephony::active(const std::string& name) {
    Call& call = find(name);
    setStatus(call, Status::Active);
    announce(call.object);
}

void Telephony::hold(const std::string& name) {
    Call& call = find(name);
    if (call.status != Status::Active) {
        throw TelephonyError(name + " is not active (" + statusName(call.status) +
                             "): only an active call goes on hold");
    }
    setStatus(call, Status::Held);
    if (slots_[kHeld] == nullptr) setSlot(kHeld, call.object);
    replaceIfActive(call);
}

void Telephony::end(const std::string& name) {
    Call& call = find(name);
    // Disconnecting and then disconnected, each a status event; the second
    // finds nothing left to do.
    for (const Status status : {Status::Disconnecting, Status::Disconnected}) {
        setStatus(call, status);
        replaceIfActive(call);
        if (call.object == slots_[kHeld]) setSlot(kHeld, first(Status::Held, &call));
        if (call.object == slots_[kOutgoing]) setSlot(kOutgoing, nullptr);
    }
    // The phone lets its object go; the call stays known by its name.
    const Object object = call.object;
    call.object = nullptr;
    process().releaseObject(object);
}

void Telephony::refresh() {
    announce(nullptr);
    for (Slot slot : {kHeld, kIncoming, kOutgoing}) setSlot(slot, nullptr);
    if (const Object call = first(Status::Active, nullptr)) announce(call);
    if (const Object call = first(Status::Held, nullptr)) setSlot(kHeld, call);
    if (const Object call = first(Status::Sending, nullptr)) setSlot(kOutgoing, call);
}

}  // namespace thrumline::sim
