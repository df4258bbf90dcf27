#include "simulator/thrumline-sim/TextTimeline.h"

#include <cstring>

#include "simulator/thrumline-sim/Render.h"
#include "tweak/settings/Contract.h"

namespace thrumline::simtool {

namespace ev = sim::events;

namespace {

// The observers a library registers as it starts, in their order.
const char* const kObservers[] = {THRUMLINE_NOTIFICATIONS};
constexpr std::size_t kObserverCount = sizeof kObservers / sizeof kObservers[0];

}  // namespace

void TextTimeline::add(const Entry& entry, const std::string& cause) {
    if (starting_) {
        const auto* loaded = std::get_if<LibraryLoaded>(&entry);
        if (loaded == nullptr && std::holds_alternative<sim::Event>(entry) && cause.empty()) {
            held_.push_back(std::get<sim::Event>(entry));
            return;
        }
        starting_ = false;
        std::string summary;
        if (loaded != nullptr && summarise(*loaded, summary)) {
            held_.clear();
            out_ << textLine(entry, cause) << " (" << summary << ")\n";
            return;
        }
        finish();
    }
    const std::string line = textLine(entry, cause);
    if (!line.empty()) out_ << line << "\n";
    const auto* event = std::get_if<sim::Event>(&entry);
    starting_ = !verbose_ && event != nullptr && event->get<ev::ProcessStarted>() != nullptr;
}

void TextTimeline::finish() {
    for (const sim::Event& event : held_) {
        const std::string line = textLine(event);
        if (!line.empty()) out_ << line << "\n";
    }
    held_.clear();
}

bool TextTimeline::summarise(const LibraryLoaded& loaded, std::string& summary) const {
    // The hooks, then the observers in their order, then one read of the
    // settings; the autorelease pools around them show in no timeline.
    std::size_t hooks = 0, observers = 0;
    const ev::SettingsRead* read = nullptr;
    for (const sim::Event& event : held_) {
        if (event.get<ev::AutoreleasePush>() != nullptr ||
            event.get<ev::AutoreleasePop>() != nullptr)
            continue;
        if (read != nullptr) return false;
        if (event.get<ev::HookInstalled>() != nullptr && observers == 0) {
            ++hooks;
        } else if (const auto* observer = event.get<ev::ObserverRegistered>()) {
            if (observers == kObserverCount || observer->name != kObservers[observers])
                return false;
            ++observers;
        } else if ((read = event.get<ev::SettingsRead>()) == nullptr) {
            return false;
        }
    }
    const bool hookless = loaded.group == "none";
    if (read == nullptr || observers != kObserverCount || loaded.group == "unknown" ||
        hooks != loaded.hooks.size() || hookless != (hooks == 0)) {
        return false;
    }
    if (hooks > 0) summary = std::to_string(hooks) + (hooks == 1 ? " hook, " : " hooks, ");
    summary +=
        std::to_string(kObserverCount) + " observers, settings: " + readOutcome(read->outcome);
    return true;
}

}  // namespace thrumline::simtool
