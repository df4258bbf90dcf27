// A long life in one home-screen process: reloads, previews and call events
// with pulse chains, by the hundred thousand. The simulated host's count of
// live objects must come back to its baseline and the resident memory stay
// flat. The full counts (a million reloads, a million previews, a hundred
// thousand call events) carry the label "long"; every test run has 1 %.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>

#include "simulator/home-screen/PlistValue.h"
#include "simulator/home-screen/Process.h"
#include "tweak/platform/HostServices.h"

namespace thrumline::hardening {
namespace {

using sim::EventKind;
using sim::PlistValue;

#ifdef THRUMLINE_LONG_RUN
constexpr long kScale = 100;
#else
constexpr long kScale = 1;
#endif
constexpr long kReloads = 10000 * kScale, kPreviews = 10000 * kScale, kCallEvents = 1000 * kScale;
// The event log and the zombies are the simulated host's, not the
// library's; they are let go this often.
constexpr long kTidyEvery = 1000;
constexpr double kMiB = 1024 * 1024;
#ifndef __has_feature
#define __has_feature(feature) 0  // clang's; gcc tells of AddressSanitizer otherwise
#endif

long residentBytes() {
    long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * ::sysconf(_SC_PAGESIZE);
}

PlistValue settings(bool oldMethod, std::int64_t vibration1) {
    const auto yes = PlistValue::boolean(true);
    const auto number = &PlistValue::integer;
    return sim::settingsWithEveryKey({{"isEnabled", yes},
                                      {"isNotRespringing", yes},
                                      {"isVibrationsNumber", yes},
                                      {"oldMethod", PlistValue::boolean(oldMethod)},
                                      {"firstVibrationNumber", number(2)},
                                      {"lastVibrationNumber", number(1)},
                                      {"VibrationDuration", number(50)},
                                      {"vibration1", number(vibration1)},
                                      {"vibration2", number(250)}});
}

TEST(Soak, ReloadsPreviewsAndCallsLeaveNothingBehind) {
    sim::Device device;
    device.paneWriteSettings(settings(false, 300));
    sim::Process process(device);
    process.start();
    sim::MainQueue& queue = process.device().mainQueue();
    const Object call = process.newCall(true);
    const std::size_t baseline = process.liveObjects();
    const long rssAtStart = residentBytes();
    long rssWarm = 0;  // after the first tenth of the reloads
    auto tidy = [&] {
        device.clearEvents();
        process.discardZombies();
    };
    auto count = [&](EventKind kind) {  // a reload counts when it finds the dictionary
        std::size_t n = 0;
        for (const sim::Event& e : device.events()) {
            const auto* read = e.get<sim::events::SettingsRead>();
            n += e.kind() == kind &&
                 (read == nullptr || read->outcome == sim::events::SettingsRead::Outcome::Found);
        }
        return n;
    };
    // Runs `n` events; `perBatch` events of `kind` for every kTidyEvery of
    // them show that they did their work.
    auto phase = [&](const char* name, long n, EventKind kind, std::size_t perBatch,
                     const std::function<void(long)>& event) {
        tidy();
        const auto since = std::chrono::steady_clock::now();
        long warm = 0;
        for (long i = 0; i < n; ++i) {
            event(i);
            if (i + 1 == n / 10) warm = residentBytes();
            if ((i + 1) % kTidyEvery != 0 && i + 1 < n) continue;
            const std::size_t batch = i % kTidyEvery + 1;  // events since the last tidy
            ASSERT_EQ(count(kind), perBatch * batch / kTidyEvery) << name << " " << i;
            tidy();
        }
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - since;
        std::printf(
            "%-9s %8ld in %6.2f s (%5.2f us each), live objects %zu (baseline %zu), "
            "RSS %.2f MiB after the first tenth, %.2f MiB at the end\n",
            name, n, took.count(), 1e6 * took.count() / n, process.liveObjects(), baseline,
            warm / kMiB, residentBytes() / kMiB);
        EXPECT_EQ(process.liveObjects(), baseline) << name;
        if (rssWarm == 0) rssWarm = warm;
    };

    // The pane changes vibration1 every tenth of the reloads.
    phase("reloads", kReloads, EventKind::SettingsRead, kTidyEvery, [&](long i) {
        if (i * 10 % kReloads == 0) {
            device.paneWriteSettings(settings(false, 300 + i * 10 / kReloads));
        }
        device.panePost(THRUMLINE_PREFS_CHANGED_NOTIFICATION);
        queue.runUntilIdle();
    });
    // The four previews in turn, each one pattern; the pane's last change is
    // in force.
    phase("previews", kPreviews, EventKind::Vibrate, kTidyEvery, [&](long i) {
        static const char* const kPreviews[] = {
            THRUMLINE_VIB1_PREVIEW_NOTIFICATION, THRUMLINE_VIB2_PREVIEW_NOTIFICATION,
            THRUMLINE_VIB3_PREVIEW_NOTIFICATION, THRUMLINE_VIB4_PREVIEW_NOTIFICATION};
        device.panePost(kPreviews[i % 4]);
        queue.runUntilIdle();
        if (i > 0) return;  // the first plays vib1: three pulses of vibration1
        for (const sim::Event& e : device.events()) {
            const auto* vibrate = e.get<sim::events::Vibrate>();
            if (vibrate == nullptr) continue;
            EXPECT_EQ(vibrate->request.find("VibePattern")->describe(),
                      "(true, 309, false, 50, true, 309, false, 50, true, 309)");
        }
    });
    // Call events, connected and ended in turn: classic chains (three pulses
    // over 200 ms, then two), then patterns.
    for (const bool classic : {true, false}) {
        device.paneWriteSettings(settings(classic, 300));
        device.panePost(THRUMLINE_PREFS_CHANGED_NOTIFICATION);
        queue.runUntilIdle();
        // Per pair of events: 3 + 2 sounds, or two patterns.
        const auto kind = classic ? EventKind::Sound : EventKind::Vibrate;
        const std::size_t perBatch = kTidyEvery / 2 * (classic ? 5 : 2);
        phase(classic ? "chains" : "patterns", kCallEvents / 2, kind, perBatch, [&](long i) {
            process.setConnected(call, i % 2 == 0);
            process.setActiveCall(i % 2 == 0 ? call : nullptr);
            queue.runFor(250 * sim::kNanosPerMilli);
        });
    }

    EXPECT_EQ(queue.pending(), 0u);
    EXPECT_EQ(process.faults(), 0);
    EXPECT_EQ(process.retainCount(call), 1);
    const long rssEnd = residentBytes();
    std::printf("RSS: start %.2f MiB, after warm-up %.2f MiB, end %.2f MiB\n", rssAtStart / kMiB,
                rssWarm / kMiB, rssEnd / kMiB);
#if !defined(__SANITIZE_ADDRESS__) && !__has_feature(address_sanitizer)  // it holds freed memory
    // A leak of one small object per reload or preview would add megabytes.
    EXPECT_LT(rssEnd - rssWarm, 4 * kMiB);
#endif
    process.releaseObject(call);
}

// Letting the zombies go must not hide a fault: a message to a freed object
// is still reported.
TEST(Tidying, AMessageToADiscardedObjectIsStillAFault) {
    sim::Device device;
    sim::Process process(device);
    process.start();
    const Object freed = process.newValue(PlistValue::integer(1));
    process.releaseObject(freed);
    ASSERT_EQ(process.discardZombies(), 1u);
    const int faults = process.faults();
    process.services().retain(freed);
    EXPECT_EQ(process.faults(), faults + 1);
}

}  // namespace
}  // namespace thrumline::hardening
