// The library as SpringBoard loads it, on a real Objective-C runtime: the
// host classes are real classes registered with the runtime, the library's
// module is loaded with dlopen, its initialiser hooks them through the
// runtime's method replacement, and it reads and writes real property-list
// files. Every case runs in a process
// of its own (a fork taken before the library is loaded), because hooks,
// like on the phone, last as long as the process.
#include "ChildProcess.h"
#include "ProofPlatform.h"
#include "simulator/home-screen/Files.h"
#include "simulator/home-screen/PlistValue.h"
#include "simulator/home-screen/PropertyList.h"
#include "tweak/hooks/HookGroups.h"
#include "tweak/settings/Contract.h"
#include "tweak/settings/Settings.h"

#include <CoreFoundation/CoreFoundation.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <objc/runtime.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace proof = thrumline::proof;
using thrumline::sim::PlistValue;
using thrumline::sim::readPlistFile;

static std::vector<std::string> gHostLog;  // what the host's own implementations saw, in order
static bool gCallConnected = false;        // the telephony service's view of the call
static std::map<id, bool> gConnectedOf;    // ... of calls that have their own
static int gCallStatus = 1;                // TUCall's status: 1 active ... 6 disconnected
static std::map<id, int> gStatusOf;        // ... of calls that have their own
static double gCallDuration = 0;           // seconds since the call connected
static bool gCallOutgoing = false;

// A call object that knows its state but not its direction.
@interface ProofPlainCall : NSObject
@end
@implementation ProofPlainCall
- (BOOL)isConnected {
    gHostLog.push_back("isConnected");
    const auto own = gConnectedOf.find(self);
    return own != gConnectedOf.end() ? own->second : gCallConnected;
}
- (void)dealloc {
    gHostLog.push_back("dealloc");
    [super dealloc];
}
@end

// The telephony call, as far as the library reads it: as on iOS, it answers
// isConnected YES once it has connected, and only its status tells its end.
@interface ProofCall : ProofPlainCall
@end
@implementation ProofCall
- (BOOL)isOutgoing {
    gHostLog.push_back("isOutgoing");
    return gCallOutgoing;
}
- (int)status {
    const auto own = gStatusOf.find(self);
    return own != gStatusOf.end() ? own->second : gCallStatus;
}
- (double)callDuration {
    return gCallDuration;
}
@end

namespace {

constexpr double kIOS10 = thrumline::kLowestVersion_iOS10;
constexpr double kIOS11 = thrumline::kLowestVersion_iOS11;
constexpr std::uint64_t kSecond = 1000000000ULL;

using Hook = std::pair<std::string, std::string>;
const Hook kSetActiveCall = {"SBTelephonyManager", "setActiveCall:"};
const Hook kDatabaseChanged = {"CHManager", "databaseChanged:"};
const Hook kLaunch = {"SpringBoard", "applicationDidFinishLaunching:"};

// What the host does after its own work: nothing, drop the reference it
// handed over, or raise.
enum { kNothing, kDropsTheArgument, kRaises } gHostThen = kNothing;
std::string gSettingsFile;
PlistValue gSettingsAtLaunch;  // as SpringBoard's launch work found the file

// The host's own implementation of each hooked method.
void hostWork(id receiver, SEL cmd, id argument) {
    gHostLog.push_back(std::string(class_getName([receiver class])) + " " + sel_getName(cmd));
    if (gHostLog.back() == kLaunch.first + " " + kLaunch.second) {
        gSettingsAtLaunch = readPlistFile(gSettingsFile);
    }
    if (gHostThen == kDropsTheArgument) [argument release];
    if (gHostThen == kRaises) [NSException raise:@"HostFailure" format:@"raised by the host"];
}

// The host sends the hooked message, as SpringBoard would.
void hostSends(const Hook& hook, id argument) {
    id host = [[[objc_getClass(hook.first.c_str()) alloc] init] autorelease];
    [host performSelector:sel_registerName(hook.second.c_str()) withObject:argument];
}

// Call vibrations on, pattern output, vibration numbers on.
const std::string kCallSettings =
    "isEnabled true, isNotRespringing true, isVibrationsNumber true, oldMethod false, "
    "firstVibrationNumber 1, lastVibrationNumber 0, VibrationDuration 70, vibration1 110, "
    "vibration2 220, ";

// Writes "key value, ..." as the settings file: true and false are booleans,
// a number an integer, anything else an XML value; a later key replaces an
// earlier one.
void writeSettings(const std::string& entries) {
    std::map<std::string, std::string> settings;
    std::istringstream in(entries);
    for (std::string key, value; in >> key && std::getline(in >> std::ws, value, ',');) {
        if (value == "true" || value == "false") value = "<" + value + "/>";
        if (value[0] != '<') value = "<integer>" + value + "</integer>";
        settings[key] = value;
    }
    std::ofstream out(gSettingsFile, std::ios::trunc);
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>\n";
    for (const auto& entry : settings) out << "<key>" << entry.first << "</key>" << entry.second;
    out << "</dict></plist>\n";
}

// The patterns and classic pulses played since `from`, in order.
std::vector<std::string> played(std::size_t from = 0) {
    std::vector<std::string> out;
    for (std::size_t i = from; i < proof::sounds().size(); ++i) {
        const proof::SoundRequest& s = proof::sounds()[i];
        const bool pattern = s.soundID == 4095 && s.withPattern && s.unusedWasNil;
        const bool classic = s.soundID == 1352 && !s.withPattern;
        out.push_back(pattern ? proof::describePattern(s.pattern) : classic ? "classic" : "other");
    }
    return out;
}

// The settings pane (another process) posts a notification.
void panePosts(const char* name) {
    CFNotificationCenterPostNotification(CFNotificationCenterGetDarwinNotifyCenter(),
                                         (CFStringRef)[NSString stringWithUTF8String:name], nullptr,
                                         nullptr, true);
}

// Runs `scenario` in a child process, on a phone of that CoreFoundation
// version whose settings file holds `settings` (nullptr: the file the
// package's postinst writes), once SpringBoard has loaded the library. The
// child reports its failures, and they make the test fail here.
template <typename Scenario>
void onPhone(double version, const char* settings, const Scenario& scenario) {
    proof::inChildProcess([&] {
        NSAutoreleasePool* pool = [[NSAutoreleasePool alloc] init];
        const std::string root = std::filesystem::temp_directory_path().string() +
                                 "/thrumline-proof-" + std::to_string(::getpid());
        proof::setCoreFoundationVersion(version);
        proof::setFileRoot(root);
        gSettingsFile = root + thrumline::kSettingsPath;
        std::filesystem::create_directories(std::filesystem::path(gSettingsFile).parent_path());
        const std::string postinst =
            "THRUMLINE_ROOT='" + root + "' sh '" + THRUMLINE_POSTINST + "' configure ''";
        if (settings != nullptr) writeSettings(settings);
        if (settings == nullptr && std::system(postinst.c_str()) != 0) ADD_FAILURE() << postinst;
        // SpringBoard's classes, real ones of the runtime, exist before the library loads.
        for (const Hook& hook : {kSetActiveCall, kDatabaseChanged, kLaunch}) {
            Class host = objc_allocateClassPair([NSObject class], hook.first.c_str(), 0);
            class_addMethod(host, sel_registerName(hook.second.c_str()),
                            reinterpret_cast<IMP>(reinterpret_cast<void (*)()>(&hostWork)), "v@:@");
            objc_registerClassPair(host);
        }
        // The library's initialiser runs inside dlopen.
        void* const library = dlopen(THRUMLINE_PROOF_MODULE, RTLD_NOW | RTLD_LOCAL);
        EXPECT_NE(library, nullptr) << dlerror();
        if (library != nullptr) scenario();
        [pool drain];
        std::filesystem::remove_all(root);
    });
}

TEST(ProofStartUp, HookGroupFollowsTheVersionAndPreviewsPlayInEveryGroup) {
    const std::pair<double, std::string> cases[] = {
        {kIOS10, "CHManager databaseChanged:, SBTelephonyManager setActiveCall:, "},
        {kIOS11,
         "SBTelephonyManager setActiveCall:, SpringBoard applicationDidFinishLaunching:, "}};
    // Observed, in order.
    const char* const observed[] = {THRUMLINE_NOTIFICATIONS};
    // Calls off: previews play whatever the switches say.
    const char* const settings =
        "isEnabled false, isNotRespringing false, isVibrationsNumber true, oldMethod true, "
        "firstVibrationNumber 2, lastVibrationNumber 3, VibrationDuration 80, vibration1 120, "
        "vibration2 90";
    for (const auto& [version, hooks] : cases) {
        SCOPED_TRACE("CoreFoundation " + std::to_string(version));
        onPhone(version, settings, [&, hooks = hooks] {
            std::string installed;
            for (const auto& r : proof::hookRequests()) {
                installed += r.className + " " + r.selector + (r.replaced ? ", " : " missed, ");
            }
            EXPECT_EQ(installed, hooks);
            ASSERT_EQ(proof::registrations().size(), 5u);
            for (std::size_t i = 0; i < 5; ++i) {
                EXPECT_EQ(proof::registrations()[i].name, observed[i]);
                EXPECT_EQ(proof::registrations()[i].suspensionBehavior, 2);  // coalesce
            }
            // A preview plays on the main queue once posted.
            panePosts(THRUMLINE_VIB1_PREVIEW_NOTIFICATION);
            EXPECT_EQ(played().size(), 0u) << "played inside the post";
            proof::runUntilIdle();
            EXPECT_EQ(played(), std::vector<std::string>{"on 120, off 80, on 120, off 80, on 120"});
        });
    }
}

// The host drops the only reference it was handed, or raises: the library
// holds a reference of its own while it reads the call, and keeps the
// connected call. Only when they answer, a call that cannot tell its
// direction connects in silence.
TEST(ProofCallEvents, ConnectedAndEndedCallsInBothOutputsAndChains) {
    const struct {
        double version;
        Hook hook;
        bool connected;
        std::string settings;             // or the file the package's postinst writes
        std::vector<std::string> atOnce;  // before the hooked method returned
        std::size_t later;                // classic pulses of a chain, on the main queue
        bool plainCall = false;           // a call that knows no direction
    } cases[] = {
        {kIOS11, kSetActiveCall, true, "", {"on 110, off 70, on 110"}, 0},
        {kIOS11, kSetActiveCall, true, "oldMethod true, firstVibrationNumber 0", {"classic"}, 0},
        {kIOS11, kSetActiveCall, true, "oldMethod true, firstVibrationNumber 2", {}, 3},
        {kIOS10, kSetActiveCall, true, "postinst", {"on 300"}, 0},
        {kIOS11, kSetActiveCall, true, "connectOutgoingOnly true", {"on 110, off 70, on 110"}, 0},
        {kIOS11, kSetActiveCall, true, "connectOutgoingOnly true", {}, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.version << " " << c.hook.second << " " << c.connected
                                        << " " << c.settings);
        const std::string settings = kCallSettings + c.settings;
        onPhone(c.version, c.settings == "postinst" ? nullptr : settings.c_str(), [&] {
            gCallConnected = c.connected;
            gCallOutgoing = true;
            gHostThen = kDropsTheArgument;
            hostSends(c.hook,
                      c.plainCall ? [[ProofPlainCall alloc] init] : [[ProofCall alloc] init]);
            EXPECT_EQ(gHostLog.front(), c.hook.first + " " + c.hook.second);
            EXPECT_EQ(std::count(gHostLog.begin(), gHostLog.end(), "dealloc"), 0);
            EXPECT_EQ(played(), c.atOnce);
            proof::advanceBy(3600 * kSecond);
            EXPECT_EQ(played(c.atOnce.size()), std::vector<std::string>(c.later, "classic"));
            // A chain's pulses are spaced by twice VibrationDuration.
            for (std::size_t i = 1; i < proof::sounds().size(); ++i) {
                EXPECT_EQ(proof::sounds()[i].atNanos - proof::sounds()[i - 1].atNanos, 140000000u);
            }
            // The failure passes through the replacement, which releases its
            // reference on the way. (GCC's Objective-C++ cannot match @catch
            // against the GNU runtime's exceptions.)
            ProofCall* call = [[ProofCall alloc] init];
            gHostThen = kRaises;
            EXPECT_ANY_THROW(hostSends(c.hook, call));
            EXPECT_EQ([call retainCount], 1u);
            [call release];
        });
    }
}

// Announcements as the home screen makes them, one word each: A+ turns call
// A active and announces it, A announces it as it is, a- hangs it up
// unannounced (disconnected, still answering isConnected YES, as iOS's calls
// do), 0 announces nil, H is a change of the call history.
// Only a call that newly connects or newly ended vibrates, and every call
// is let go once it ended and something else was announced.
TEST(ProofCallMoments, HoldAndResumeAndCallWaiting) {
    const std::string first = "on 110, off 70, on 110";
    const std::string last = "on 220";
    const struct {
        double version;
        std::string script;
        std::vector<std::string> played;
    } flows[] = {
        {kIOS11, "A+ 0 A a- 0", {first, last}},  // hold, resume, hang up
        // the second call answered, the first held, the second ends, the first resumes
        {kIOS11, "A+ B+ b- 0 A a- 0", {first, first, last, last}},
        {kIOS10, "H A+ 0 A H a- H H 0", {first, last}},  // only the history ends a call
    };
    for (const auto& flow : flows) {
        SCOPED_TRACE(flow.script);
        const std::string settings = kCallSettings;
        onPhone(flow.version, settings.c_str(), [&] {
            std::map<char, ProofCall*> calls;
            std::istringstream words(flow.script);
            for (std::string word; words >> word;) {
                if (word == "0" || word == "H") {
                    hostSends(word == "0" ? kSetActiveCall : kDatabaseChanged, nil);
                    continue;
                }
                ProofCall*& call = calls[static_cast<char>(std::toupper(word[0]))];
                if (call == nil) call = [[ProofCall alloc] init];
                if (word.size() > 1 && word[1] == '+') gConnectedOf[call] = true;
                if (word.size() > 1) gStatusOf[call] = word[1] == '+' ? 1 : 6;
                if (std::isupper(word[0])) hostSends(kSetActiveCall, call);
            }
            EXPECT_EQ(played(), flow.played);
            for (const auto& named : calls) [named.second release];
            EXPECT_EQ(std::count(gHostLog.begin(), gHostLog.end(), "dealloc"),
                      static_cast<long>(calls.size()));
        });
    }
}

// A call that connected before the library was loaded (a respring mid-call)
// connects in silence, read through the real runtime as a double and the
// clock in ticks of its timebase; its end still vibrates.
TEST(ProofCallMoments, ACallRestoredAfterARespringConnectsInSilence) {
    const struct {
        double callDuration;
        std::vector<std::string> played;
    } cases[] = {{0, {"on 110, off 70, on 110", "on 220"}}, {30, {"on 220"}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.callDuration);
        const std::string settings = kCallSettings;
        onPhone(kIOS11, settings.c_str(), [&] {
            proof::advanceBy(5 * kSecond);  // the library's age: 5 s
            gCallConnected = true;
            gCallDuration = c.callDuration;
            ProofCall* call = [[ProofCall alloc] init];
            hostSends(kSetActiveCall, call);
            gCallStatus = 6;
            hostSends(kSetActiveCall, nil);
            EXPECT_EQ(played(), c.played);
            [call release];
        });
    }
}

// The minder keeps the call alive after the host lets it go, pulses at its
// second of each minute, lets a replaced call go at once and the last one
// at the step after it ended; the library lets it go once its end is
// announced.
TEST(ProofMinuteMinder, PulsesEachMinuteHoldingTheCallUntilItEnds) {
    const std::string settings = kCallSettings + "minuteMinder true, minuteMinderSecond 20";
    const std::string pulse = "on 50";
    onPhone(kIOS11, settings.c_str(), [&] {
        gCallConnected = true;
        gHostThen = kDropsTheArgument;
        hostSends(kSetActiveCall, [[ProofCall alloc] init]);
        EXPECT_EQ(std::count(gHostLog.begin(), gHostLog.end(), "dealloc"), 0);
        const std::size_t connected = played().size();
        proof::advanceBy(180 * kSecond);
        EXPECT_EQ(played(connected), std::vector<std::string>(3, pulse));
        for (std::size_t i = 0; i < 3 && connected + i < proof::sounds().size(); ++i) {
            EXPECT_EQ(proof::sounds()[connected + i].atNanos, (20 + 60 * i) * kSecond);
        }

        gHostLog.clear();
        gHostThen = kNothing;
        ProofCall* newer = [[ProofCall alloc] init];
        hostSends(kSetActiveCall, newer);
        // The test's, the memory's, the call announced last and the minder's;
        // the replaced call never ended, so the library still remembers it.
        EXPECT_EQ([newer retainCount], 4u);
        EXPECT_EQ(std::count(gHostLog.begin(), gHostLog.end(), "dealloc"), 0);
        const std::size_t replaced = played().size();
        proof::advanceBy(100 * kSecond);
        EXPECT_EQ(played(replaced), std::vector<std::string>(2, pulse));

        gCallStatus = 6;  // hung up: it still answers isConnected YES
        proof::advanceBy(60 * kSecond);
        EXPECT_EQ(played(replaced).size(), 2u);
        EXPECT_EQ(proof::pendingSteps(), 0u);
        EXPECT_EQ([newer retainCount], 3u);
        hostSends(kSetActiveCall, nil);  // its end: the library lets it go
        EXPECT_EQ([newer retainCount], 1u);
        [newer release];
    });
}

TEST(ProofRespringGuard, WritesThroughFoundationKeepingEveryValue) {
    // The library's keys with values of the wrong type must not raise; the
    // guard writes them back unchanged, and the pane's own.
    const char* const settings =
        "isEnabled <string>YES</string>, isNotRespringing true, "
        "isVibrationsNumber <string>true</string>, oldMethod <data>AAE=</data>, "
        "firstVibrationNumber <date>2020-01-01T00:00:00Z</date>, "
        "lastVibrationNumber <string>2 pulses</string>, VibrationDuration <data>AAE=</data>, "
        "vibration1 <array><integer>5</integer><real>0.75</real></array>, "
        "vibration2 <dict><key>a</key><integer>-5</integer></dict>, "
        "paneNote <string>kept &amp; &lt;sure&gt;</string>";
    onPhone(kIOS11, settings, [] {
        const PlistValue before = readPlistFile(gSettingsFile);
        struct stat original {
        }, replaced{};
        ASSERT_EQ(::stat(gSettingsFile.c_str(), &original), 0);
        hostSends(kLaunch, nil);
        // Atomic: a new file took the old one's place.
        ASSERT_EQ(::stat(gSettingsFile.c_str(), &replaced), 0);
        EXPECT_NE(replaced.st_ino, original.st_ino);
        // Written and announced before the host's launch work ran.
        EXPECT_EQ(gSettingsAtLaunch.at("isNotRespringing"), PlistValue::boolean(false));
        ASSERT_EQ(proof::posts().size(), 1u);
        EXPECT_EQ(proof::posts()[0].name, THRUMLINE_PREFS_CHANGED_NOTIFICATION);
        proof::advanceBy(7 * kSecond);
        ASSERT_EQ(proof::posts().size(), 2u);
        EXPECT_EQ(proof::posts()[1].name, THRUMLINE_PREFS_CHANGED_NOTIFICATION);

        // GNUstep wrote XML, atomically, that libplist reads back with every
        // key, type and value as they were.
        std::string written;
        ASSERT_TRUE(thrumline::sim::readFileBytes(gSettingsFile, &written));
        EXPECT_EQ(written.rfind("<?xml", 0), 0u);
        const PlistValue after = thrumline::sim::parsePlist(written);
        EXPECT_TRUE(after == before) << after.describe() << "\nbefore: " << before.describe();
        const auto folder = std::filesystem::path(gSettingsFile).parent_path();
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1);
    });
}

}  // namespace
