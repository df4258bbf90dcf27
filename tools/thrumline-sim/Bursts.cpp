#include "tools/thrumline-sim/Bursts.h"

#include <algorithm>
#include <map>

#include "tools/thrumline-sim/Render.h"

namespace thrumline::simtool {

namespace ev = sim::events;

std::uint64_t requestNanos(const sim::PlistValue& request) {
    std::vector<PatternStepView> steps;
    if (!readPattern(request, steps)) return 0;
    std::uint64_t total = 0;
    for (const PatternStepView& step : steps) {
        if (step.ms > 0) total += static_cast<std::uint64_t>(step.ms) * 1000000ULL;
    }
    return total;
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

void BurstCollector::stepRan(const sim::Event& e, bool mindersOnly) {
    // A step runs at its due time exactly: a burst then is the step's.
    const auto step = std::find_if(pending_.begin(), pending_.end(), [&](const PendingStep& s) {
        return s.due == e.t_ns && (!mindersOnly || s.cause.text == kMinuteMinderCause);
    });
    if (step == pending_.end()) return;
    cause_ = step->cause;
    callChange_ = false;
    pending_.erase(step);
}

const Burst* BurstCollector::addEvent(const sim::Event& e) {
    const Burst* made = nullptr;
    if (const auto* h = e.get<ev::HostMethodRan>()) {
        newCause(command_);
        callChange_ = h->selector == "setActiveCall:";
        // A command runs after everything due by then: those steps are done.
        pending_.erase(std::remove_if(pending_.begin(), pending_.end(),
                                      [&e](const PendingStep& s) { return s.due <= e.t_ns; }),
                       pending_.end());
    } else if (const auto* d = e.get<ev::NotificationDelivered>()) {
        const std::string name = d->name.substr(d->name.rfind('.') + 1);
        if (name.find("Preview") != std::string::npos) newCause(name);
        callChange_ = false;
    } else if (const auto* s = e.get<ev::StepScheduled>()) {
        PendingStep step{s->due, cause_};
        // A connected call queues a chain's first step for now and the
        // minder's for a second or more later; each minder step queues the
        // next. Each minder pulse is a cause of its own.
        if ((callChange_ && s->due > e.t_ns) || cause_.text == kMinuteMinderCause) {
            step.cause = {++causes_, kMinuteMinderCause};
        }
        pending_.push_back(step);
    } else if (e.kind() == sim::EventKind::ProcessEnded) {
        pending_.clear();  // its steps never run
    } else if (const auto* v = e.get<ev::Vibrate>()) {
        // Patterns come from a step only when the minder plays them.
        stepRan(e, true);
        vibrations_.push_back({e.t_ns, v->request, v->sound, cause_.text, cause_.id});
        made = &vibrations_.back();
    } else if (const auto* p = e.get<ev::Sound>()) {
        stepRan(e, false);
        pulses_.push_back({e.t_ns, {}, p->sound, cause_.text, cause_.id});
        made = &pulses_.back();
    }
    // Steps that were due and played nothing (the respring guard's end).
    pending_.erase(std::remove_if(pending_.begin(), pending_.end(),
                                  [&e](const PendingStep& s) { return s.due < e.t_ns; }),
                   pending_.end());
    return made;
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
