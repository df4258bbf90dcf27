// What the library costs the home screen, measured against the same work
// without it, in one run on one machine. bench/run-benchmarks.sh runs it in
// full and docs/performance.md explains the figures.
//
// Every comparison keeps the simulated host's own costs on both sides (its
// virtual dispatch, its object table, its event log), and the host's share of
// the library's path is measured on its own so that it can be taken out.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "bench/AllocationCounter.h"
#include "bench/CallPaths.h"
#include "bench/MedianReporter.h"
#include "simulator/home-screen/Files.h"
#include "simulator/home-screen/PlistValue.h"
#include "simulator/home-screen/Process.h"
#include "simulator/home-screen/PropertyList.h"
#include "tweak/hooks/HookGroups.h"

namespace thrumline::hardening {
namespace {

using sim::PlistValue;

// The host's event log and zombies are let go this often, on every path
// that makes them, so that a long run measures the same thing throughout.
constexpr std::int64_t kTidyEvery = 1024;

// A typical settings file: every key, as the settings pane writes them.
PlistValue typicalSettings(bool enabled, bool oldMethod) {
    return sim::settingsWithEveryKey({
        {"isEnabled", PlistValue::boolean(enabled)},
        {"isNotRespringing", PlistValue::boolean(true)},
        {"isVibrationsNumber", PlistValue::boolean(true)},
        {"oldMethod", PlistValue::boolean(oldMethod)},
        {"firstVibrationNumber", PlistValue::integer(2)},
        {"lastVibrationNumber", PlistValue::integer(1)},
    });
}

void tidy(CallPaths& paths) {
    paths.device().clearEvents();
    paths.process().discardZombies();
}

void countAllocations(benchmark::State& state, std::uint64_t before) {
    state.counters["allocs"] = benchmark::Counter(static_cast<double>(allocationCount() - before),
                                                  benchmark::Counter::kAvgIterations);
}

// --- setActiveCall: ------------------------------------------------------

void BM_Call_Unhooked(benchmark::State& state) {
    CallPaths paths(typicalSettings(false, false));
    const Object call = paths.connectedCall();
    const std::uint64_t before = allocationCount();
    for (auto _ : state) paths.unhooked(call);
    countAllocations(state, before);
}
BENCHMARK(BM_Call_Unhooked);

void BM_Call_HookedGateClosed(benchmark::State& state) {
    CallPaths paths(typicalSettings(false, false));
    const Object call = paths.connectedCall();
    const std::uint64_t before = allocationCount();
    for (auto _ : state) paths.hooked(call);
    countAllocations(state, before);
}
BENCHMARK(BM_Call_HookedGateClosed);

// The host's share of the hooked path: the replacement holds the call
// (objc_retain / objc_release on the phone) while the host runs.
void BM_Host_RetainRelease(benchmark::State& state) {
    CallPaths paths(typicalSettings(false, false));
    HostServices& h = paths.process().services();
    const Object call = paths.connectedCall();
    for (auto _ : state) {
        h.retain(call);
        h.release(call);
    }
}
BENCHMARK(BM_Host_RetainRelease);

void BM_Call_HookedGateOpenPattern(benchmark::State& state) {
    CallPaths paths(typicalSettings(true, false));  // three pulses: six steps
    const Object call = paths.connectedCall();
    const std::uint64_t before = allocationCount();
    std::int64_t n = 0;
    for (auto _ : state) {
        paths.hooked(call);
        if (++n % kTidyEvery == 0) tidy(paths);
    }
    countAllocations(state, before);
}
BENCHMARK(BM_Call_HookedGateOpenPattern);

// The host's share of the open gate: the platform calls the library makes
// to build and hand over a three-pulse pattern, made here directly.
void BM_Host_BuildAndPlayPattern(benchmark::State& state) {
    CallPaths paths(typicalSettings(true, false));
    HostServices& h = paths.process().services();
    const std::int32_t steps[][2] = {{1, 300}, {0, 200}, {1, 300}, {0, 200}, {1, 300}};
    std::int64_t n = 0;
    for (auto _ : state) {
        StrongRef dictionary = h.newMutableDictionary();
        StrongRef pattern = h.newMutableArray();
        {
            StrongRef intensity = h.numberWithInt(1);
            h.setObject_forKey(dictionary.get(), intensity.get(), "Intensity");
        }
        for (const auto& step : steps) {
            StrongRef on = h.numberWithBool(step[0] != 0);
            h.addObject(pattern.get(), on.get());
            StrongRef duration = h.numberWithInt(step[1]);
            h.addObject(pattern.get(), duration.get());
        }
        h.setObject_forKey(dictionary.get(), pattern.get(), "VibePattern");
        h.AudioServicesPlaySystemSoundWithVibration(4095, nullptr, dictionary.get());
        if (++n % kTidyEvery == 0) tidy(paths);
    }
}
BENCHMARK(BM_Host_BuildAndPlayPattern);

// The same two paths through the whole simulated host: message dispatch by
// name and its own implementation, which records every call.
void simulatedCall(benchmark::State& state, double coreFoundationVersion) {
    sim::Device device;
    device.paneWriteSettings(typicalSettings(false, false));
    sim::ProcessOptions options;
    options.coreFoundationVersion = coreFoundationVersion;
    sim::Process process(device, options);
    process.start();
    const Object call = process.newCall(true);
    std::int64_t n = 0;
    for (auto _ : state) {
        process.setActiveCall(call);
        if (++n % kTidyEvery == 0) device.clearEvents();
    }
    process.releaseObject(call);
}
void BM_SimCall_Unhooked(benchmark::State& state) { simulatedCall(state, 1200.0); }
void BM_SimCall_HookedGateClosed(benchmark::State& state) {
    simulatedCall(state, kLowestVersion_iOS11);
}
BENCHMARK(BM_SimCall_Unhooked);
BENCHMARK(BM_SimCall_HookedGateClosed);

// --- Settings load -------------------------------------------------------

// The file read and the bare libplist parse of the same bytes: the least
// any load must do.
void readAndParse(benchmark::State& state, bool binary) {
    CallPaths paths(typicalSettings(true, false));
    if (binary)
        paths.device().paneWriteSettingsBytes(sim::toBinaryPlist(typicalSettings(true, false)));
    const std::string file = paths.device().settingsFile();
    for (auto _ : state) {
        std::string bytes;
        sim::readFileBytes(file, &bytes);
        benchmark::DoNotOptimize(sim::parsesBare(bytes));
    }
}

// refreshPrefs itself, as the change notification's callback calls it.
void load(benchmark::State& state, bool binary) {
    CallPaths paths(typicalSettings(true, false));
    if (binary)
        paths.device().paneWriteSettingsBytes(sim::toBinaryPlist(typicalSettings(true, false)));
    void (*refreshPrefs)() = nullptr;
    void* symbol = paths.libraryFunction("refreshPrefs");
    std::memcpy(&refreshPrefs, &symbol, sizeof symbol);
    if (refreshPrefs == nullptr) {
        state.SkipWithError("refreshPrefs not found");
        return;
    }
    std::int64_t n = 0;
    for (auto _ : state) {
        refreshPrefs();
        if (++n % kTidyEvery == 0) tidy(paths);
    }
}

// The host's share of a load: -[NSMutableDictionary initWithContentsOfFile:]
// (here: read, libplist parse, conversion into the host's objects).
void hostReadDictionary(benchmark::State& state, bool binary) {
    CallPaths paths(typicalSettings(true, false));
    if (binary)
        paths.device().paneWriteSettingsBytes(sim::toBinaryPlist(typicalSettings(true, false)));
    HostServices& h = paths.process().services();
    std::int64_t n = 0;
    for (auto _ : state) {
        StrongRef dictionary = h.initWithContentsOfFile(sim::kDeviceSettingsPath);
        benchmark::DoNotOptimize(dictionary.get());
        dictionary.reset();
        if (++n % kTidyEvery == 0) tidy(paths);
    }
}

// The host's share of the rest of a load: the messages refreshPrefs sends
// for every key (a lookup, respondsToSelector: and boolValue or intValue
// each), sent here directly.
void BM_Host_KeyReads(benchmark::State& state) {
    const PlistValue file = typicalSettings(true, false);
    CallPaths paths(file);
    HostServices& h = paths.process().services();
    StrongRef dictionary = h.initWithContentsOfFile(sim::kDeviceSettingsPath);
    for (auto _ : state) {
        const Selector boolValue = h.sel_registerName("boolValue");
        const Selector intValue = h.sel_registerName("intValue");
        std::int32_t sum = 0;
        for (const auto& [key, typed] : file.entries()) {
            const Object value = h.objectForKeyedSubscript(dictionary.get(), key.c_str());
            if (typed.type() == PlistValue::Type::Boolean) {
                sum += h.respondsToSelector(value, boolValue) && h.boolValue(value);
            } else if (h.respondsToSelector(value, intValue)) {
                sum += h.intValue(value);
            }
        }
        benchmark::DoNotOptimize(sum);
    }
}
BENCHMARK(BM_Host_KeyReads)->Unit(benchmark::kMicrosecond);

void BM_ReadAndParse_Xml(benchmark::State& s) { readAndParse(s, false); }
void BM_ReadAndParse_Binary(benchmark::State& s) { readAndParse(s, true); }
void BM_Load_Xml(benchmark::State& s) { load(s, false); }
void BM_Load_Binary(benchmark::State& s) { load(s, true); }
void BM_Host_ReadDictionary_Xml(benchmark::State& s) { hostReadDictionary(s, false); }
void BM_Host_ReadDictionary_Binary(benchmark::State& s) { hostReadDictionary(s, true); }
BENCHMARK(BM_ReadAndParse_Xml)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Load_Xml)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Host_ReadDictionary_Xml)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReadAndParse_Binary)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Load_Binary)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Host_ReadDictionary_Binary)->Unit(benchmark::kMicrosecond);

// --- Previews ------------------------------------------------------------

// From the pane's post to the recorded vibration request (vib1Preview:
// three pulses).
void BM_Preview(benchmark::State& state) {
    CallPaths paths(typicalSettings(true, false));
    sim::Device& device = paths.device();
    std::int64_t n = 0;
    for (auto _ : state) {
        device.panePost(THRUMLINE_VIB1_PREVIEW_NOTIFICATION);
        device.mainQueue().runUntilIdle();
        if (++n % kTidyEvery == 0) tidy(paths);
    }
}
BENCHMARK(BM_Preview)->Unit(benchmark::kMicrosecond);

void noOperation(NotificationCenter, void*, Object, const void*, Object) {}

// The host's share of a preview: a post delivered to a callback that does
// nothing.
void BM_Host_DeliverNotification(benchmark::State& state) {
    CallPaths paths(typicalSettings(true, false));
    HostServices& h = paths.process().services();
    h.CFNotificationCenterAddObserver(h.CFNotificationCenterGetDarwinNotifyCenter(), nullptr,
                                      &noOperation, "bench.nothing", nullptr, 2);
    sim::Device& device = paths.device();
    std::int64_t n = 0;
    for (auto _ : state) {
        device.panePost("bench.nothing");
        device.mainQueue().runUntilIdle();
        if (++n % kTidyEvery == 0) tidy(paths);
    }
}
BENCHMARK(BM_Host_DeliverNotification)->Unit(benchmark::kMicrosecond);

// --- The ratios ----------------------------------------------------------

void printSummary(const MedianReporter& r) {
    auto has = [&](std::initializer_list<std::string> names) { return r.has(names); };
    auto t = [&](const std::string& name) { return r.nanos(name); };
    std::printf("\nSummary\n");
    if (has({"BM_Call_Unhooked", "BM_Call_HookedGateClosed", "BM_Host_RetainRelease"})) {
        const double added = t("BM_Call_HookedGateClosed") - t("BM_Call_Unhooked");
        const double host = t("BM_Host_RetainRelease");
        std::printf(
            "setActiveCall: gate closed: %.1f ns added per call (%.1f -> %.1f ns);\n"
            "  of which the host's retain+release of the call %.1f ns, the library's own "
            "%.1f ns (goal < 5 ns)\n",
            added, t("BM_Call_Unhooked"), t("BM_Call_HookedGateClosed"), host, added - host);
        if (r.hasCounter("BM_Call_HookedGateClosed", "allocs")) {
            std::printf("  heap allocations per call: %.3f hooked, %.3f unhooked (goal 0)\n",
                        r.counter("BM_Call_HookedGateClosed", "allocs"),
                        r.counter("BM_Call_Unhooked", "allocs"));
        }
    }
    if (has({"BM_Call_Unhooked", "BM_Call_HookedGateOpenPattern", "BM_Host_BuildAndPlayPattern",
             "BM_Host_RetainRelease"})) {
        const double added = t("BM_Call_HookedGateOpenPattern") - t("BM_Call_Unhooked");
        const double host = t("BM_Host_BuildAndPlayPattern") + t("BM_Host_RetainRelease");
        std::printf(
            "setActiveCall: gate open, pattern output: %.0f ns per call (%.0fx the "
            "unhooked call), %.1f allocations;\n  of the %.0f ns added the host's "
            "objects, the request and the retain+release take %.0f ns, the library's "
            "own %.0f ns\n",
            t("BM_Call_HookedGateOpenPattern"),
            t("BM_Call_HookedGateOpenPattern") / t("BM_Call_Unhooked"),
            r.counter("BM_Call_HookedGateOpenPattern", "allocs"), added, host, added - host);
    }
    if (has({"BM_SimCall_Unhooked", "BM_SimCall_HookedGateClosed"})) {
        std::printf(
            "setActiveCall through the whole simulated host: %.0f ns unhooked, %.0f ns "
            "hooked (gate closed), ratio %.2f\n",
            t("BM_SimCall_Unhooked"), t("BM_SimCall_HookedGateClosed"),
            t("BM_SimCall_HookedGateClosed") / t("BM_SimCall_Unhooked"));
    }
    for (const char* form : {"Xml", "Binary"}) {
        const std::string parse = std::string("BM_ReadAndParse_") + form;
        const std::string load = std::string("BM_Load_") + form;
        const std::string host = std::string("BM_Host_ReadDictionary_") + form;
        if (!has({parse, load, host})) continue;
        const double rest = t(load) - t(host);
        const double reads = has({"BM_Host_KeyReads"}) ? t("BM_Host_KeyReads") : 0;
        std::printf(
            "settings load, %s: %.2f us; read + bare parse %.2f us; ratio %.2f "
            "(goal <= 1.5)\n  the host's initWithContentsOfFile %.2f us (%.2fx the "
            "bare parse); the rest %.2f us (ratio %.2f with the bare parse in place "
            "of the host's),\n  of which the host's messages for the keys (three each) "
            "%.2f us, the library's own %.2f us\n",
            form, t(load) / 1e3, t(parse) / 1e3, t(load) / t(parse), t(host) / 1e3,
            t(host) / t(parse), rest / 1e3, (t(parse) + rest) / t(parse), reads / 1e3,
            (rest - reads) / 1e3);
    }
    if (has({"BM_Preview", "BM_Host_DeliverNotification", "BM_Host_BuildAndPlayPattern"})) {
        std::printf(
            "preview, post to recorded request: %.2f us; the host's delivery %.2f us, "
            "its objects and the request %.2f us, the library's own %.2f us\n",
            t("BM_Preview") / 1e3, t("BM_Host_DeliverNotification") / 1e3,
            t("BM_Host_BuildAndPlayPattern") / 1e3,
            (t("BM_Preview") - t("BM_Host_DeliverNotification") -
             t("BM_Host_BuildAndPlayPattern")) /
                1e3);
    }
}

}  // namespace
}  // namespace thrumline::hardening

int main(int argc, char** argv) {
    return thrumline::hardening::runBenchmarks(argc, argv, &thrumline::hardening::printSummary);
}
