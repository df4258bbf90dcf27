// A long life in one home-screen process: reloads, previews and call events
// with pulse chains, by the hundred thousand. The simulated host's count of
// live objects must come back to where it started and the resident memory
// must stay flat. The short version runs in every test run; the full counts
// (a million reloads, a million previews, a hundred thousand call events)
// with --long.
#include "tests/hardening/ChildProcess.h"

#include "host/sim/PlistValue.h"
#include "host/HostServices.h"
#include "host/sim/SimHost.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>

namespace thrumline::hardening {
namespace {

using sim::Event;
using sim::EventKind;
using sim::PlistValue;

#ifdef THRUMLINE_LONG_RUN
constexpr long kReloads = 1000000;
constexpr long kPreviews = 1000000;
constexpr long kCallEvents = 100000;
#else
constexpr long kReloads = 10000;
constexpr long kPreviews = 10000;
constexpr long kCallEvents = 1000;
#endif
// The event log and the zombies are the simulated host's, not the
// library's; they are let go this often.
constexpr long kTidyEvery = 1000;
constexpr long kMiB = 1024 * 1024;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMemoryIsMeasurable = false;  // the sanitizer holds freed memory back
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kMemoryIsMeasurable = false;
#else
constexpr bool kMemoryIsMeasurable = true;
#endif
#else
constexpr bool kMemoryIsMeasurable = true;
#endif

constexpr const char* kPrefsChanged = "com.brindle.thrumline.prefschanged";
constexpr const char* kPreviewNames[] = {
    "com.brindle.thrumline.vib1Preview", "com.brindle.thrumline.vib2Preview",
    "com.brindle.thrumline.vib3Preview", "com.brindle.thrumline.vib4Preview"};

PlistValue settings(bool oldMethod, std::int64_t vibration1) {
    return PlistValue::dictionary({
        {"isEnabled", PlistValue::boolean(true)},
        {"isNotRespringing", PlistValue::boolean(true)},
        {"isVibrationsNumber", PlistValue::boolean(true)},
        {"oldMethod", PlistValue::boolean(oldMethod)},
        {"firstVibrationNumber", PlistValue::integer(2)},
        {"lastVibrationNumber", PlistValue::integer(1)},
        {"VibrationDuration", PlistValue::integer(50)},
        {"vibration1", PlistValue::integer(vibration1)},
        {"vibration2", PlistValue::integer(250)},
    });
}

class Soak : public ::testing::Test {
protected:
    void SetUp() override {
        device.paneWriteSettings(settings(false, 300));
        process = std::make_unique<sim::Process>(device);
        process->start();
        call = process->newCall(true);
        baselineObjects = process->liveObjects();
        tidy();
    }
    void TearDown() override {
        process->releaseObject(call);
        process.reset();
    }

    void tidy() {
        device.clearEvents();
        process->discardZombies();
    }
    std::size_t count(EventKind kind, bool flagged = false) const {
        std::size_t n = 0;
        for (const Event& e : device.events()) n += e.kind == kind && (!flagged || e.flag);
        return n;
    }
    // The first pulse length the vib3 preview plays now.
    std::int64_t previewedVibration1() {
        device.clearEvents();
        device.panePost(kPreviewNames[2]);
        process->queue().runUntilIdle();
        for (const Event& e : device.events()) {
            const PlistValue* pattern = e.kind == EventKind::Vibrate ? e.value.find("VibePattern") : nullptr;
            if (pattern != nullptr && pattern->items().size() > 1) return pattern->items()[1].intValue();
        }
        return -1;
    }
    void report(const char* phase, long count, std::chrono::steady_clock::time_point since) {
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
        std::printf("%-9s %8ld in %6.2f s (%6.2f us each), live objects %zu (baseline %zu), "
                    "RSS %.2f MiB after the first tenth, %.2f MiB at the end\n",
                    phase, count, seconds, 1e6 * seconds / static_cast<double>(count),
                    process->liveObjects(), baselineObjects,
                    static_cast<double>(rssPhaseWarm) / kMiB,
                    static_cast<double>(residentBytes()) / kMiB);
    }

    sim::Device device;
    std::unique_ptr<sim::Process> process;
    Object call = nullptr;
    std::size_t baselineObjects = 0;
    long rssPhaseWarm = 0;
};

TEST_F(Soak, ReloadsPreviewsAndCallsLeaveNothingBehind) {
    sim::MainQueue& queue = process->queue();
    const long rssAtStart = residentBytes();
    long rssWarm = 0;  // after the first tenth of the reloads

    // Reloads; the pane changes vibration1 now and then, and each change
    // must be in force after the next reload.
    auto since = std::chrono::steady_clock::now();
    for (long i = 0; i < kReloads; ++i) {
        if (i % (kReloads / 10) == 0) {
            device.paneWriteSettings(settings(false, 300 + i / (kReloads / 10)));
        }
        device.panePost(kPrefsChanged);
        queue.runUntilIdle();
        if ((i + 1) % kTidyEvery == 0) {
            ASSERT_EQ(count(EventKind::SettingsRead, true), static_cast<std::size_t>(kTidyEvery));
            tidy();
        }
        if (i + 1 == kReloads / 10) rssWarm = rssPhaseWarm = residentBytes();
    }
    report("reloads", kReloads, since);
    EXPECT_EQ(previewedVibration1(), 309);
    tidy();
    EXPECT_EQ(process->liveObjects(), baselineObjects);

    // Previews, the four in turn; each plays one pattern.
    since = std::chrono::steady_clock::now();
    for (long i = 0; i < kPreviews; ++i) {
        device.panePost(kPreviewNames[i % 4]);
        queue.runUntilIdle();
        if ((i + 1) % kTidyEvery == 0) {
            ASSERT_EQ(count(EventKind::Vibrate), static_cast<std::size_t>(kTidyEvery));
            tidy();
        }
        if (i + 1 == kPreviews / 10) rssPhaseWarm = residentBytes();
    }
    report("previews", kPreviews, since);
    EXPECT_EQ(process->liveObjects(), baselineObjects);

    // Call events: connected (three classic pulses, a chain over 200 ms) and
    // ended (two) in turn; then the same under pattern output.
    since = std::chrono::steady_clock::now();
    for (int half = 0; half < 2; ++half) {
        device.paneWriteSettings(settings(half == 0, 300));
        device.panePost(kPrefsChanged);
        queue.runUntilIdle();
        tidy();
        for (long i = 0; i < kCallEvents / 2; ++i) {
            process->setActiveCall(i % 2 == 0 ? call : nullptr);
            queue.advanceBy(250 * 1000000ULL);
            if (half == 1 && i + 1 == kCallEvents / 10) rssPhaseWarm = residentBytes();
            if ((i + 1) % kTidyEvery == 0) {
                // Per pair of events: 3 + 2 pulses, or two patterns.
                if (half == 0) {
                    ASSERT_EQ(count(EventKind::Sound), static_cast<std::size_t>(kTidyEvery / 2 * 5));
                } else {
                    ASSERT_EQ(count(EventKind::Vibrate), static_cast<std::size_t>(kTidyEvery));
                }
                tidy();
            }
        }
    }
    report("calls", kCallEvents, since);
    tidy();

    EXPECT_EQ(queue.pending(), 0u);
    EXPECT_EQ(process->faults(), 0);
    EXPECT_EQ(process->liveObjects(), baselineObjects);
    EXPECT_EQ(process->retainCount(call), 1);
    const long rssEnd = residentBytes();
    std::printf("RSS: start %.2f MiB, after warm-up %.2f MiB, end %.2f MiB\n",
                static_cast<double>(rssAtStart) / kMiB, static_cast<double>(rssWarm) / kMiB,
                static_cast<double>(rssEnd) / kMiB);
    if (kMemoryIsMeasurable) {
        // A leak of one small object per reload or preview would add
        // megabytes over this run.
        EXPECT_LT(rssEnd - rssWarm, 4 * kMiB);
    }
}

// Letting the zombies go must not hide a fault: a message to a freed object
// is still reported.
TEST(Tidying, AMessageToADiscardedObjectIsStillAFault) {
    sim::Device device;
    sim::Process process(device);
    process.start();
    HostServices& h = process.services();
    const Object first = process.newValue(PlistValue::integer(1));
    const std::size_t live = process.liveObjects();
    process.releaseObject(first);
    EXPECT_EQ(process.discardZombies(), 1u);
    EXPECT_EQ(process.discardZombies(), 0u);
    EXPECT_EQ(process.liveObjects(), live - 1);
    const int faults = process.faults();
    h.retain(first);
    EXPECT_EQ(process.faults(), faults + 1);
    EXPECT_FALSE(process.isAlive(first));
    const Object second = process.newValue(PlistValue::integer(2));
    EXPECT_EQ(process.valueOf(second), PlistValue::integer(2));
    device.clearEvents();
    EXPECT_TRUE(device.events().empty());
    process.releaseObject(second);
}

}  // namespace
}  // namespace thrumline::hardening
