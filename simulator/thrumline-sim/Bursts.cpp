#include "simulator/thrumline-sim/Bursts.h"

#include <algorithm>
#include <map>

#include "simulator/home-screen/Device.h"

namespace thrumline::simtool {

namespace ev = sim::events;

std::uint64_t requestNanos(const sim::PlistValue& request) {
    std::uint64_t nanos = 0;
    sim::patternNanos(request, nanos);
    return nanos;
}

std::uint64_t DetailRow::nanos() const {
    if (vibration == nullptr) return pulses.empty() ? 0 : pulses.back();
    return requestNanos(vibration->request);
}

const Burst* BurstCollector::add(const Entry& entry) {
    if (const auto* c = std::get_if<CommandRan>(&entry)) command_ = c->text;
    if (const auto* e = std::get_if<sim::Event>(&entry)) return addEvent(*e);
    return nullptr;
}

void BurstCollector::newCause(std::string text) {
    cause_.id = ++causes_;
    cause_.text = std::move(text);
}

const BurstCollector::Cause& BurstCollector::causeOf(const sim::Event& e) const {
    const auto step = steps_.find(e.step);
    return step == steps_.end() ? cause_ : step->second;
}

const Burst* BurstCollector::addEvent(const sim::Event& e) {
    if (e.get<ev::HostMethodRan>() != nullptr) {
        newCause(command_);
    } else if (const auto* d = e.get<ev::NotificationDelivered>()) {
        const std::string name = d->name.substr(d->name.rfind('.') + 1);
        if (name.find("Preview") != std::string::npos) newCause(name);
    } else if (const auto* s = e.get<ev::StepScheduled>()) {
        Cause cause = causeOf(e);
        if (s->purpose == StepPurpose::MinuteMinder) cause = {++causes_, kMinuteMinderCause};
        steps_[s->number] = cause;
    } else if (e.kind() == sim::EventKind::ProcessEnded) {
        steps_.clear();  // its steps never run
    } else if (const auto* v = e.get<ev::Vibrate>()) {
        const Cause& cause = causeOf(e);
        vibrations_.push_back({e.t_ns, v->request, v->sound, cause.text, cause.id});
        return &vibrations_.back();
    } else if (const auto* p = e.get<ev::Sound>()) {
        const Cause& cause = causeOf(e);
        pulses_.push_back({e.t_ns, {}, p->sound, cause.text, cause.id});
        return &pulses_.back();
    }
    return nullptr;
}

std::vector<DetailRow> BurstCollector::detailRows() const {
    std::vector<DetailRow> rows;
    for (const Burst& vibration : vibrations_) {
        rows.push_back({vibration.t_ns, vibration.cause, &vibration, {}});
    }
    std::map<int, std::size_t> rowOfCause;
    for (const Burst& pulse : pulses_) {
        const auto found = rowOfCause.find(pulse.causeId);
        if (found == rowOfCause.end() || pulse.causeId == 0) {
            rowOfCause[pulse.causeId] = rows.size();
            rows.push_back({pulse.t_ns, pulse.cause, nullptr, {0}});
        } else {
            DetailRow& row = rows[found->second];
            row.pulses.push_back(pulse.t_ns - row.t_ns);
        }
    }
    std::stable_sort(rows.begin(), rows.end(),
                     [](const DetailRow& a, const DetailRow& b) { return a.t_ns < b.t_ns; });
    return rows;
}

}  // namespace thrumline::simtool
