// What the library costs the home screen on a real Objective-C runtime: the
// device backend and the library's logic, the phone's sources, on GNUstep
// Base and GCC's runtime, each path against the same work without the
// library, in one run. `bash bench/run-benchmarks.sh --proof` runs it in full;
// docs/performance.md explains the figures.
//
// The logic is linked into this program rather than loaded, so that the
// load-time work can run again and again: between two runs the host's
// methods are put back, the slots emptied and the observers forgotten, none
// of it timed. GCC's runtime has no objc_msgSend: a message is
// objc_msg_lookup and a call of the implementation it answers, which is what
// [manager setActiveCall:call] compiles to here.
//
// Each benchmark checks that it measured what it says (the hook in place, the
// host's method run once per call, nothing played, the values loaded) and
// stops with an error otherwise, which fails the program.
#include "ProofPlatform.h"
#include "bench/MedianReporter.h"
#include "tweak/device/IosHost.h"
#include "tweak/hooks/HookGroups.h"
#include "tweak/hooks/Hooks.h"
#include "tweak/settings/Settings.h"

#include <benchmark/benchmark.h>
#include <objc/runtime.h>
#include <stdlib.h>
#include <time.h>

#include <cstdio>
#include <filesystem>
#include <string>

// A telephony call that is connected.
@interface ProofBenchCall : NSObject
- (BOOL)isConnected;
@end
@implementation ProofBenchCall
- (BOOL)isConnected {
    return YES;
}
@end

@protocol ProofBenchTelephony
- (void)setActiveCall:(id)call;
@end

namespace {

namespace proof = thrumline::proof;
using thrumline::prefsValues;

constexpr double kIOS11 = thrumline::kLowestVersion_iOS11;
// The class the benchmark sends setActiveCall: to without the library: the
// same host implementation in a class nobody hooks.
constexpr const char* kUnhookedManager = "ProofUnhookedTelephonyManager";

// The host's -[SBTelephonyManager setActiveCall:], reduced to storing the
// call, and its launch method, which does nothing.
id gActiveCall = nil;
std::uint64_t gHostCalls = 0;
void hostSetActiveCall(id, SEL, id call) {
    gActiveCall = call;
    ++gHostCalls;
}
void hostDidFinishLaunching(id, SEL, id) {}

IMP asImp(void (*function)(id, SEL, id)) {
    return reinterpret_cast<IMP>(reinterpret_cast<void (*)()>(function));
}

struct HostMethod {
    const char* className;
    const char* selector;
    void (*implementation)(id, SEL, id);
};
// The methods the library hooks on iOS 11, and the unhooked twin.
const HostMethod kHookedMethods[] = {
    {"SBTelephonyManager", "setActiveCall:", &hostSetActiveCall},
    {"SpringBoard", "applicationDidFinishLaunching:", &hostDidFinishLaunching},
};
const HostMethod kUnhookedMethod = {kUnhookedManager, "setActiveCall:", &hostSetActiveCall};

// The folder that stands for the device's "/", made when the library binds.
const std::string& scratchRoot() {
    static const std::string root = [] {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "thrumline-proof-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::perror("thrumline_proof_bench: mkdtemp");
            std::exit(2);
        }
        return pattern;
    }();
    return root;
}

std::string settingsFile() { return scratchRoot() + thrumline::kSettingsPath; }

void registerHostClass(const HostMethod& method) {
    Class cls = objc_allocateClassPair([NSObject class], method.className, 0);
    class_addMethod(cls, sel_registerName(method.selector), asImp(method.implementation), "v@:@");
    objc_registerClassPair(cls);
}

Method methodOf(const HostMethod& method) {
    return class_getInstanceMethod((Class)objc_getClass(method.className),
                                   sel_registerName(method.selector));
}

// The class answers with something else than the host's implementation.
bool hooked(const HostMethod& method) {
    Method found = methodOf(method);
    return found != nullptr && method_getImplementation(found) != asImp(method.implementation);
}

// This thread's CPU time, like the CPU time of every other figure.
double cpuNanos() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

// What the library's initialiser does once bound; both parts timed apart.
struct LoadNanos {
    double hooks;
    double observersAndFirstLoad;
};
LoadNanos loadLibrary() {
    const double start = cpuNanos();
    thrumline::installHooks();
    const double hooksDone = cpuNanos();
    thrumline::startObservers();
    return {hooksDone - start, cpuNanos() - hooksDone};
}

// Undoes the load-time work: the host's own methods, empty slots, no
// observers. The settings values stay: the next load replaces them all.
void unloadLibrary() {
    for (const HostMethod& method : kHookedMethods) {
        method_setImplementation(methodOf(method), asImp(method.implementation));
    }
    thrumline::orig_iOS11_SBTelephonyManager_setActiveCall = nullptr;
    thrumline::orig_iOS11_SpringBoard_applicationDidFinishLaunching = nullptr;
    proof::reset();
}

bool loaded() {
    return proof::registrations().size() == 5 && hooked(kHookedMethods[0]) &&
           hooked(kHookedMethods[1]);
}

// The settings file as the pane writes it (XML: GNUstep's dictionaries read
// no binary property lists); vibration1 tells the loads apart from the
// defaults.
constexpr std::int32_t kVibration1 = 310;
bool writeSettings(bool enabled, bool notRespringing) {
    NSDictionary* settings = [NSDictionary
        dictionaryWithObjectsAndKeys:[NSNumber numberWithBool:enabled ? YES : NO], @"isEnabled",
                                     [NSNumber numberWithBool:notRespringing ? YES : NO],
                                     @"isNotRespringing", [NSNumber numberWithBool:YES],
                                     @"isVibrationsNumber", [NSNumber numberWithBool:NO],
                                     @"oldMethod", [NSNumber numberWithInt:2],
                                     @"firstVibrationNumber", [NSNumber numberWithInt:1],
                                     @"lastVibrationNumber", [NSNumber numberWithInt:200],
                                     @"VibrationDuration", [NSNumber numberWithInt:kVibration1],
                                     @"vibration1", [NSNumber numberWithInt:300], @"vibration2",
                                     [NSNumber numberWithBool:NO], @"connectOutgoingOnly",
                                     [NSNumber numberWithBool:NO], @"minuteMinder",
                                     [NSNumber numberWithInt:50], @"minuteMinderSecond", nil];
    NSData* bytes = [NSPropertyListSerialization dataWithPropertyList:settings
                                                               format:NSPropertyListXMLFormat_v1_0
                                                              options:0
                                                                error:nullptr];
    NSString* file = [NSString stringWithUTF8String:settingsFile().c_str()];
    return bytes != nil && [bytes writeToFile:file atomically:YES];
}

// The file written and loaded once, outside the timing.
bool useSettings(benchmark::State& state, bool enabled, bool notRespringing) {
    if (!writeSettings(enabled, notRespringing)) {
        state.SkipWithError("could not write the settings file");
        return false;
    }
    refreshPrefs();
    if (prefsValues.vibration1 != kVibration1 || prefsValues.isEnabled != enabled ||
        prefsValues.isNotRespringing != notRespringing) {
        state.SkipWithError("the settings file did not load");
        return false;
    }
    return true;
}

// One iteration's autorelease pool, as the main run loop drains one after
// each event: what a path autoreleases is let go inside the timing.
class IterationPool {
public:
    IterationPool() : pool_([[NSAutoreleasePool alloc] init]) {}
    ~IterationPool() { [pool_ drain]; }
    IterationPool(const IterationPool&) = delete;
    IterationPool& operator=(const IterationPool&) = delete;

private:
    NSAutoreleasePool* pool_;
};

// --- Load-time work --------------------------------------------------------

// Two hooks, five observers and the first settings load, from an unloaded
// state each time.
void BM_Load(benchmark::State& state) {
    if (!useSettings(state, true, true)) return;
    double hooks = 0;
    double rest = 0;
    for (auto _ : state) {
        const IterationPool pool;
        unloadLibrary();
        const LoadNanos took = loadLibrary();
        hooks += took.hooks;
        rest += took.observersAndFirstLoad;
        state.SetIterationTime((took.hooks + took.observersAndFirstLoad) / 1e9);
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["hooks_ns"] = hooks / n;
    state.counters["observers_load_ns"] = rest / n;
    if (!loaded() || prefsValues.vibration1 != kVibration1) {
        state.SkipWithError("the load did not hook, observe and load");
    }
}
BENCHMARK(BM_Load)->UseManualTime()->Unit(benchmark::kMicrosecond);

// --- setActiveCall: --------------------------------------------------------

void sendCalls(benchmark::State& state, const char* managerClass) {
    id<ProofBenchTelephony> manager = [[objc_getClass(managerClass) alloc] init];
    ProofBenchCall* call = [[ProofBenchCall alloc] init];
    const std::uint64_t before = gHostCalls;
    for (auto _ : state) [manager setActiveCall:call];
    if (gHostCalls - before != static_cast<std::uint64_t>(state.iterations()) ||
        gActiveCall != call) {
        state.SkipWithError("the host's method did not run once per call");
    }
    if (!proof::sounds().empty() || proof::pendingSteps() != 0) {
        state.SkipWithError("a call with the gate closed asked for a vibration");
    }
    // Hooked, the library holds the connected call it remembers and the call
    // announced last: the same two references however many calls ran.
    const NSUInteger held = std::string(managerClass) == "SBTelephonyManager" ? 3 : 1;
    if ([call retainCount] != held) state.SkipWithError("the call's references are off");
    gActiveCall = nil;
    [call release];
    [(id)manager release];
}

void BM_Call_Unhooked(benchmark::State& state) {
    if (methodOf(kUnhookedMethod) == nullptr || hooked(kUnhookedMethod)) {
        state.SkipWithError("the unhooked class does not answer with the host's method");
    }
    sendCalls(state, kUnhookedManager);
}
BENCHMARK(BM_Call_Unhooked);

// Gate closed by the master switch (one setting read) ...
void BM_Call_HookedFeatureOff(benchmark::State& state) {
    if (!useSettings(state, false, true)) return;
    if (!hooked(kHookedMethods[0])) state.SkipWithError("setActiveCall: is not hooked");
    sendCalls(state, "SBTelephonyManager");
}
BENCHMARK(BM_Call_HookedFeatureOff);

// ... and by the respring guard (two).
void BM_Call_HookedRespringing(benchmark::State& state) {
    if (!useSettings(state, true, false)) return;
    if (!hooked(kHookedMethods[0])) state.SkipWithError("setActiveCall: is not hooked");
    sendCalls(state, "SBTelephonyManager");
}
BENCHMARK(BM_Call_HookedRespringing);

// The budget's unit: one retain and one release of the call, as messages.
void BM_RetainRelease(benchmark::State& state) {
    ProofBenchCall* call = [[ProofBenchCall alloc] init];
    for (auto _ : state) {
        [call retain];
        [call release];
    }
    if ([call retainCount] != 1) state.SkipWithError("the call's references are off");
    [call release];
}
BENCHMARK(BM_RetainRelease);

// The same pair as the replacement takes it: through the library's
// platform interface into the backend.
void BM_RetainReleaseThroughBackend(benchmark::State& state) {
    ProofBenchCall* call = [[ProofBenchCall alloc] init];
    thrumline::HostServices& h = thrumline::host();
    for (auto _ : state) {
        const thrumline::StrongRef held =
            thrumline::StrongRef::retain(h, reinterpret_cast<thrumline::Object>(call));
    }
    if ([call retainCount] != 1) state.SkipWithError("the call's references are off");
    [call release];
}
BENCHMARK(BM_RetainReleaseThroughBackend);

// --- Settings reload -------------------------------------------------------

// -[NSMutableDictionary initWithContentsOfFile:] of the settings file, alone.
void BM_ReadDictionary(benchmark::State& state) {
    if (!useSettings(state, true, true)) return;
    NSString* file = [[NSString alloc] initWithUTF8String:settingsFile().c_str()];
    NSUInteger keys = 0;
    for (auto _ : state) {
        const IterationPool pool;
        NSMutableDictionary* settings = [[NSMutableDictionary alloc] initWithContentsOfFile:file];
        keys = [settings count];
        [settings release];
    }
    if (keys != static_cast<NSUInteger>(thrumline::kSettingKeyCount)) {
        state.SkipWithError("the file did not read");
    }
    [file release];
}
BENCHMARK(BM_ReadDictionary)->Unit(benchmark::kMicrosecond);

// refreshPrefs, as the change notification's callback calls it.
void BM_Reload(benchmark::State& state) {
    if (!useSettings(state, true, true)) return;
    for (auto _ : state) {
        const IterationPool pool;
        prefsValues.vibration1 = 0;
        refreshPrefs();
    }
    if (prefsValues.vibration1 != kVibration1) state.SkipWithError("the reload lost a value");
}
BENCHMARK(BM_Reload)->Unit(benchmark::kMicrosecond);

// What a reload does beyond the read, in parts. The least any reader does:
// a lookup with a constant key and a conversion for each key.
void BM_KeyReads_Bare(benchmark::State& state) {
    if (!useSettings(state, true, true)) return;
    NSString* const keys[] = {
        @"isEnabled",           @"isNotRespringing",     @"isVibrationsNumber",
        @"oldMethod",           @"firstVibrationNumber", @"lastVibrationNumber",
        @"VibrationDuration",   @"vibration1",           @"vibration2",
        @"connectOutgoingOnly", @"minuteMinder",         @"minuteMinderSecond"};
    static_assert(sizeof keys / sizeof keys[0] == thrumline::kSettingKeyCount, "every key");
    bool boolean[thrumline::kSettingKeyCount];
    for (int i = 0; i < thrumline::kSettingKeyCount; ++i) {
        boolean[i] = thrumline::kSettingKeys[i].type == thrumline::SettingType::Boolean;
    }
    NSDictionary* settings = (NSDictionary*)thrumline::prefs.get();
    std::int32_t sum = 0;
    for (auto _ : state) {
        for (int i = 0; i < thrumline::kSettingKeyCount; ++i) {
            id value = [settings objectForKey:keys[i]];
            sum += boolean[i] ? [value boolValue] : [value intValue];
        }
        benchmark::DoNotOptimize(sum);
    }
    if (sum == 0) state.SkipWithError("nothing was read");
}
BENCHMARK(BM_KeyReads_Bare);

// The messages refreshPrefs sends for the keys, sent here directly
// through the backend: a key name made for each lookup, the lookup, the
// respondsToSelector: and type guards, the conversion.
void BM_KeyReads_Backend(benchmark::State& state) {
    if (!useSettings(state, true, true)) return;
    thrumline::HostServices& h = thrumline::host();
    const thrumline::Object settings = thrumline::prefs.get();
    std::int32_t sum = 0;
    for (auto _ : state) {
        const thrumline::Selector boolValue = h.sel_registerName("boolValue");
        const thrumline::Selector intValue = h.sel_registerName("intValue");
        for (const thrumline::SettingKey& row : thrumline::kSettingKeys) {
            const thrumline::Object value = h.objectForKeyedSubscript(settings, row.key);
            if (row.type == thrumline::SettingType::Boolean) {
                sum += h.respondsToSelector(value, boolValue) && h.boolValue(value);
            } else if (h.respondsToSelector(value, intValue)) {
                sum += h.intValue(value);
            }
        }
        benchmark::DoNotOptimize(sum);
    }
    if (sum == 0) state.SkipWithError("nothing was read");
}
BENCHMARK(BM_KeyReads_Backend);

// The key names as the backend makes them for each lookup: an NSString from
// the library's C string, made and released.
void BM_KeyNames(benchmark::State& state) {
    for (auto _ : state) {
        for (const thrumline::SettingKey& row : thrumline::kSettingKeys) {
            [[[NSString alloc] initWithUTF8String:row.key] release];
        }
    }
}
BENCHMARK(BM_KeyNames);

// --- The ratios ------------------------------------------------------------

constexpr double kReloadGoal = 1.2;
constexpr double kHookSlackNanos = 2.0;

void printSummary(const thrumline::hardening::MedianReporter& r) {
    auto t = [&](const std::string& name) { return r.nanos(name); };
    std::printf("\nSummary (the device backend on GNUstep Base %d.%d.%d, GCC's runtime)\n",
                GNUSTEP_BASE_MAJOR_VERSION, GNUSTEP_BASE_MINOR_VERSION,
                GNUSTEP_BASE_SUBMINOR_VERSION);
    if (r.has({"BM_Load", "BM_ReadDictionary"})) {
        std::printf("load-time work: %.2f us (two hooks %.2f us; five observers and the first "
                    "settings load %.2f us);\n  a bare read of the same file %.2f us; ratio %.2f\n",
                    t("BM_Load") / 1e3, r.counter("BM_Load", "hooks_ns") / 1e3,
                    r.counter("BM_Load", "observers_load_ns") / 1e3, t("BM_ReadDictionary") / 1e3,
                    t("BM_Load") / t("BM_ReadDictionary"));
        if (r.has({"BM_Reload"})) {
            std::printf("  the observers, as the rest less a reload: %.2f us\n",
                        (r.counter("BM_Load", "observers_load_ns") - t("BM_Reload")) / 1e3);
        }
    }
    if (r.has({"BM_Call_Unhooked", "BM_RetainRelease"})) {
        const double budget = t("BM_RetainRelease") + kHookSlackNanos;
        std::printf("setActiveCall: unhooked %.1f ns; budget for the closed gate: one "
                    "retain/release pair %.1f ns + %.0f ns = %.1f ns added\n",
                    t("BM_Call_Unhooked"), t("BM_RetainRelease"), kHookSlackNanos, budget);
        for (const char* gate : {"FeatureOff", "Respringing"}) {
            const std::string name = std::string("BM_Call_Hooked") + gate;
            if (!r.has({name})) continue;
            const double added = t(name) - t("BM_Call_Unhooked");
            std::printf("  hooked, gate closed (%s): %.1f ns, %.1f ns added: %s (%+.1f ns "
                        "against the budget)\n",
                        gate, t(name), added, added <= budget ? "holds" : "does not hold",
                        added - budget);
        }
        if (r.has({"BM_Call_HookedFeatureOff", "BM_RetainReleaseThroughBackend"})) {
            const double added = t("BM_Call_HookedFeatureOff") - t("BM_Call_Unhooked");
            const double pair = t("BM_RetainReleaseThroughBackend");
            std::printf("  of the added time: the pair through the backend %.1f ns (%.1f ns "
                        "more than the bare pair),\n  the replacement's own frame, slot call and "
                        "gate %.1f ns\n",
                        pair, pair - t("BM_RetainRelease"), added - pair);
        }
    }
    if (r.has({"BM_ReadDictionary", "BM_Reload"})) {
        const double ratio = t("BM_Reload") / t("BM_ReadDictionary");
        std::printf("settings reload: %.2f us; bare initWithContentsOfFile: %.2f us; ratio %.3f "
                    "(goal <= %.1f): %s\n",
                    t("BM_Reload") / 1e3, t("BM_ReadDictionary") / 1e3, ratio, kReloadGoal,
                    ratio <= kReloadGoal ? "holds" : "does not hold");
    }
    if (r.has({"BM_ReadDictionary", "BM_Reload", "BM_KeyReads_Bare", "BM_KeyReads_Backend",
               "BM_KeyNames"})) {
        std::printf("  beyond the read %.2f us (the difference of two noisy figures); measured "
                    "apart:\n  the key reads through the backend %.2f us, of which the key "
                    "names %.2f us;\n  bare key reads (constant keys, no guards) %.2f us\n",
                    (t("BM_Reload") - t("BM_ReadDictionary")) / 1e3, t("BM_KeyReads_Backend") / 1e3,
                    t("BM_KeyNames") / 1e3, t("BM_KeyReads_Bare") / 1e3);
    }
}

}  // namespace

// The library's binding in this program: the device backend, its files under
// the scratch folder. The library's initialiser calls it before main, with no
// hook group to install (the version is not set yet).
extern "C" thrumline::HostServices* thrumlineBindHost() {
    return thrumline::ios::deviceHost(scratchRoot().c_str());
}

int main(int argc, char** argv) {
    NSAutoreleasePool* pool = [[NSAutoreleasePool alloc] init];
    std::filesystem::create_directories(std::filesystem::path(settingsFile()).parent_path());
    for (const HostMethod& method : kHookedMethods) registerHostClass(method);
    registerHostClass(kUnhookedMethod);
    // From here on the library loads as on an iOS 11 phone.
    unloadLibrary();
    proof::setCoreFoundationVersion(kIOS11);
    loadLibrary();
    int status = thrumline::hardening::runBenchmarks(
        argc, argv, &printSummary, thrumline::hardening::MedianReporter::Clock::Cpu);
    if (!loaded()) status = 1;
    [pool drain];
    std::filesystem::remove_all(scratchRoot());
    return status;
}
