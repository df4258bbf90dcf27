// The library as SpringBoard loads it, on a real Objective-C runtime: the
// host classes below are real classes, the library's module is loaded with
// dlopen, its initialiser hooks them through the runtime's method
// replacement, and it reads and writes real property-list files. Every case
// runs in a process of its own (a fork taken before the library is loaded),
// because hooks, like on the phone, last as long as the process.
#include "PlistReader.h"
#include "ProofPlatform.h"
#include "hooks/Hooks.h"
#include "settings/Settings.h"

#include <CoreFoundation/CoreFoundation.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <objc/runtime.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

namespace proof = thrumline::proof;
namespace plist = thrumline::plistcheck;
using plist::Kind;

namespace {

std::vector<std::string> gHostLog;  // what the host's own implementations saw, in order
bool gReleaseArgument = false;      // the host drops the reference it handed over
bool gRaise = false;                // the host raises after its work
std::string gSettingsFile;
plist::Value gSettingsAtLaunch;  // as the host's launch work found the file

void hostWork(id receiver, SEL cmd, id argument) {
    auto name = [](id object) { return object == nil ? "nil" : class_getName([object class]); };
    gHostLog.push_back(std::string(name(receiver)) + " " + sel_getName(cmd) + " " + name(argument));
    if (gReleaseArgument) [argument release];
    if (gRaise) [NSException raise:NSInternalInconsistencyException format:@"failure"];
}

}  // namespace

// The telephony call, as far as the library reads it.
@interface ProofCall : NSObject {
    BOOL connected_;
}
+ (ProofCall*)newConnected:(BOOL)connected;
- (BOOL)isConnected;
@end
@implementation ProofCall
+ (ProofCall*)newConnected:(BOOL)connected {
    ProofCall* call = [[ProofCall alloc] init];
    call->connected_ = connected;
    return call;
}
- (BOOL)isConnected {
    gHostLog.push_back("isConnected");
    return connected_;
}
- (void)dealloc {
    gHostLog.push_back("dealloc");
    [super dealloc];
}
@end

// The host classes the library hooks, by their SpringBoard names.
@interface SBTelephonyManager : NSObject
- (void)setActiveCall:(id)call;
@end
@interface CHManager : NSObject
- (void)databaseChanged:(id)argument;
@end
@interface SpringBoard : NSObject
- (void)applicationDidFinishLaunching:(id)application;
@end
@implementation SBTelephonyManager
- (void)setActiveCall:(id)call {
    hostWork(self, _cmd, call);
}
@end
@implementation CHManager
- (void)databaseChanged:(id)argument {
    hostWork(self, _cmd, argument);
}
@end
@implementation SpringBoard
- (void)applicationDidFinishLaunching:(id)application {
    hostWork(self, _cmd, application);
    gSettingsAtLaunch = plist::readFile(gSettingsFile).root;
}
@end

namespace {

constexpr double kIOS10 = 1348.0;
constexpr double kIOS11 = 1443.0;
constexpr std::uint64_t kSecond = 1000000000ULL;

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

// The vibration dictionary as AudioToolbox reads it: "on 120, off 80, on
// 120"; anything but exactly the two keys, an integer Intensity of 1 and
// pairs of a boolean and an integer is malformed.
std::string describePattern(NSDictionary* dictionary) {
    auto is = [](id value, const char* type) {
        return [value isKindOfClass:[NSNumber class]] && std::strcmp([value objCType], type) == 0;
    };
    id intensity = [dictionary objectForKey:@"Intensity"];
    NSArray* steps = [dictionary objectForKey:@"VibePattern"];
    if ([dictionary count] != 2 || !is(intensity, @encode(int)) || [intensity intValue] != 1 ||
        ![steps isKindOfClass:[NSArray class]] || [steps count] % 2 != 0) {
        return "malformed";
    }
    std::string text;
    for (NSUInteger i = 0; i < [steps count]; i += 2) {
        id on = [steps objectAtIndex:i];
        id length = [steps objectAtIndex:i + 1];
        if (!is(on, @encode(BOOL)) || !is(length, @encode(int))) return "malformed step";
        text += std::string(text.empty() ? "" : ", ") + ([on boolValue] ? "on " : "off ") +
                std::to_string([length intValue]);
    }
    return text;
}

// The patterns and classic pulses played since `from`, in order.
std::vector<std::string> played(std::size_t from = 0) {
    std::vector<std::string> out;
    for (std::size_t i = from; i < proof::sounds().size(); ++i) {
        const proof::SoundRequest& sound = proof::sounds()[i];
        const bool pattern = sound.soundID == 4095 && sound.withPattern && sound.unusedWasNil;
        const bool classic = sound.soundID == 1352 && !sound.withPattern;
        out.push_back(pattern ? describePattern(sound.pattern) : classic ? "classic" : "other");
    }
    return out;
}

// The settings pane (another process) posts a notification.
void panePosts(const char* name) {
    NSString* text = [[NSString alloc] initWithUTF8String:name];
    CFNotificationCenterPostNotification(CFNotificationCenterGetDarwinNotifyCenter(),
                                         (CFStringRef)text, nullptr, nullptr, true);
    [text release];
}

// The phone in one process: the stand-in platform and a scratch "/" with
// the settings file in it.
struct Phone {
    explicit Phone(double coreFoundationVersion) {
        proof::reset();
        proof::setCoreFoundationVersion(coreFoundationVersion);
        proof::setFileRoot(root);
        gSettingsFile = root + thrumline::kSettingsPath;
        std::filesystem::create_directories(std::filesystem::path(gSettingsFile).parent_path());
    }
    ~Phone() {
        [pool drain];
        std::filesystem::remove_all(root);
    }
    const std::string root = std::filesystem::temp_directory_path().string() + "/thrumline-proof-" +
                             std::to_string(::getpid());
    NSAutoreleasePool* const pool = [[NSAutoreleasePool alloc] init];
};

// SpringBoard loads the library: its initialiser runs inside dlopen.
bool loadLibrary() {
    if (dlopen(THRUMLINE_PROOF_MODULE, RTLD_NOW | RTLD_LOCAL) != nullptr) return true;
    ADD_FAILURE() << "dlopen: " << dlerror();
    return false;
}

// Runs `scenario` in a child process, so that it starts before any library
// load; its failures are reported by the child and make the test fail here.
void inFreshProcess(const std::function<void()>& scenario) {
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        scenario();
        std::fflush(stdout);
        std::fflush(stderr);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "the scenario failed (see above) or died (wait status " << status << ")";
}

// A value as text, dictionaries by sorted key: equal text, equal value and type.
std::string text(const plist::Value& value) {
    std::string out = plist::kindName(value.kind);
    if (value.kind == Kind::Boolean) out += value.boolean ? " true" : " false";
    if (value.kind == Kind::Integer) out += " " + std::to_string(value.integer);
    if (value.kind == Kind::Real) out += " " + std::to_string(value.real);
    if (value.kind == Kind::String || value.kind == Kind::Data) out += " " + value.text;
    for (const plist::Value& item : value.items) out += " " + text(item);
    std::map<std::string, std::string> entries;
    for (const auto& entry : value.entries) entries[entry.first] = text(entry.second);
    for (const auto& entry : entries) out += " " + entry.first + "=" + entry.second;
    return "(" + out + ")";
}

using Hook = std::pair<std::string, std::string>;
const Hook kSetActiveCall = {"SBTelephonyManager", "setActiveCall:"};
const Hook kDatabaseChanged = {"CHManager", "databaseChanged:"};
const Hook kLaunch = {"SpringBoard", "applicationDidFinishLaunching:"};

TEST(ProofStartUp, HookGroupFollowsTheVersionAndPreviewsPlayInEveryGroup) {
    const std::pair<double, std::vector<Hook>> cases[] = {
        {1347.99, {}},
        {kIOS10, {kDatabaseChanged, kSetActiveCall}},
        {1442.99, {kDatabaseChanged, kSetActiveCall}},
        {kIOS11, {kSetActiveCall, kLaunch}}};
    for (const auto& [version, hooks] : cases) {
        SCOPED_TRACE("CoreFoundation " + std::to_string(version));
        inFreshProcess([&, version = version, hooks = hooks] {
            Phone phone(version);
            // Calls off: previews play whatever the switches say.
            writeSettings(kCallSettings +
                          "isEnabled false, isNotRespringing false, oldMethod true, "
                          "firstVibrationNumber 2, lastVibrationNumber 3, VibrationDuration 80, "
                          "vibration1 120, vibration2 90");
            ASSERT_TRUE(loadLibrary());
            std::vector<Hook> installed;
            for (const auto& request : proof::hookRequests()) {
                installed.emplace_back(request.className,
                                       request.selector + (request.replaced ? "" : " missed"));
            }
            EXPECT_EQ(installed, hooks);
            const std::vector<std::pair<const char*, std::string>> previews = {
                {thrumline::kVib1PreviewNotification, "on 120, off 80, on 120, off 80, on 120"},
                {thrumline::kVib2PreviewNotification,
                 "on 50, off 100, on 50, off 300, on 50, off 300, on 50, off 100, on 50"},
                {thrumline::kVib3PreviewNotification, "on 120, off 80, on 120"},
                {thrumline::kVib4PreviewNotification, "on 90, off 80, on 90"}};
            ASSERT_EQ(proof::registrations().size(), 5u);
            EXPECT_EQ(proof::registrations()[0].name, thrumline::kPrefsChangedNotification);
            EXPECT_TRUE(proof::sounds().empty());
            for (std::size_t i = 0; i < previews.size(); ++i) {
                EXPECT_EQ(proof::registrations()[i + 1].name, previews[i].first);
                EXPECT_EQ(proof::registrations()[i + 1].suspensionBehavior, 2);
                panePosts(previews[i].first);
                EXPECT_EQ(played(i).size(), 0u) << "played inside the post";
                proof::runUntilIdle();
                EXPECT_EQ(played(i), std::vector<std::string>{previews[i].second});
            }
        });
    }
}

TEST(ProofCallEvents, ConnectedAndEndedCallsInBothOutputsAndChains) {
    enum Event { kConnected, kEnded, kHistory };
    const struct {
        double version;
        Event event;
        const char* settings;
        std::vector<std::string> atOnce;  // before the hooked method returned
        std::size_t later;                // classic pulses of a chain, on the main queue
    } cases[] = {
        {kIOS11, kConnected, "", {"on 110, off 70, on 110"}, 0},
        {kIOS11, kEnded, "", {"on 220"}, 0},
        {kIOS11, kConnected, "oldMethod true, isVibrationsNumber false", {"classic"}, 0},
        {kIOS11, kEnded, "oldMethod true", {"classic"}, 0},  // number 0: one classic pulse
        {kIOS11, kConnected, "oldMethod true, firstVibrationNumber 2", {}, 3},
        {kIOS10, kEnded, "", {}, 0},  // iOS 10 hears the end from the call history
        {kIOS10, kHistory, "", {"on 220"}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.version << " event " << c.event << " " << c.settings);
        inFreshProcess([&] {
            Phone phone(c.version);
            writeSettings(kCallSettings + c.settings);
            ASSERT_TRUE(loadLibrary());
            id argument = c.event == kHistory ? [[NSObject alloc] init]
                                              : [ProofCall newConnected:c.event == kConnected];
            if (c.event == kHistory) {
                [[[[CHManager alloc] init] autorelease] databaseChanged:argument];
            } else {
                [[[[SBTelephonyManager alloc] init] autorelease] setActiveCall:argument];
            }
            EXPECT_EQ(played(), c.atOnce);
            proof::advanceBy(3600 * kSecond);
            EXPECT_EQ(played(c.atOnce.size()), std::vector<std::string>(c.later, "classic"));
            // A chain's pulses are spaced by twice VibrationDuration.
            for (std::size_t i = 1; i < proof::sounds().size(); ++i) {
                EXPECT_EQ(proof::sounds()[i].atNanos - proof::sounds()[i - 1].atNanos, 140000000u);
            }
            [argument release];
        });
    }
}

TEST(ProofRespringGuard, QuietForSevenSecondsThroughTheSettingsFileKeepingEveryValue) {
    inFreshProcess([] {
        Phone phone(kIOS11);
        // The library's keys with values of the wrong type: they count as
        // missing and must not raise (strings convert as Foundation converts
        // them). The guard writes them back unchanged, and the pane's own.
        writeSettings(
            "isEnabled <string>YES</string>, isNotRespringing true, "
            "isVibrationsNumber <string>true</string>, oldMethod <data>AAE=</data>, "
            "firstVibrationNumber <date>2020-01-01T00:00:00Z</date>, "
            "lastVibrationNumber <string>2 pulses</string>, VibrationDuration <data>AAE=</data>, "
            "vibration1 <array><integer>5</integer><real>0.75</real></array>, "
            "vibration2 <dict><key>a</key><integer>-5</integer></dict>, "
            "paneNote <string>kept &amp; &lt;sure&gt;</string>");
        const plist::Document before = plist::readFile(gSettingsFile);
        ASSERT_TRUE(loadLibrary());
        const char* changed = thrumline::kPrefsChangedNotification;

        [[[[SpringBoard alloc] init] autorelease] applicationDidFinishLaunching:nil];
        // Written and announced before the host's launch work ran.
        EXPECT_EQ(gSettingsAtLaunch["isNotRespringing"].kind, Kind::Boolean);
        EXPECT_FALSE(gSettingsAtLaunch["isNotRespringing"].boolean);
        ASSERT_EQ(proof::posts().size(), 1u);
        EXPECT_EQ(proof::posts()[0].name, changed);
        proof::runUntilIdle();

        // Inside the quiet period a call plays nothing; a preview plays, with
        // VibrationDuration 200 and vibration1 300: their missing-key values.
        ProofCall* call = [ProofCall newConnected:YES];
        SBTelephonyManager* telephony = [[[SBTelephonyManager alloc] init] autorelease];
        [telephony setActiveCall:call];
        panePosts(thrumline::kVib3PreviewNotification);
        proof::runUntilIdle();
        EXPECT_EQ(played(), std::vector<std::string>{"on 300, off 200, on 300"});

        proof::advanceBy(7 * kSecond - 1);
        EXPECT_FALSE(plist::readFile(gSettingsFile).root["isNotRespringing"].boolean);
        proof::advanceBy(1);
        ASSERT_EQ(proof::posts().size(), 3u);  // with the pane's preview post
        EXPECT_EQ(proof::posts()[2].name, changed);
        proof::runUntilIdle();
        // Heard again; oldMethod false, firstVibrationNumber 0 (missing): one pulse.
        [telephony setActiveCall:call];
        [call release];
        EXPECT_EQ(played(1), std::vector<std::string>{"on 300"});

        // GNUstep wrote XML, atomically, that libplist reads back with every
        // key, type and value as they were.
        const plist::Document after = plist::readFile(gSettingsFile);
        EXPECT_TRUE(after.xml);
        EXPECT_EQ(after.root.entries.size(), 10u);
        EXPECT_EQ(text(after.root), text(before.root));
        const auto folder = std::filesystem::path(gSettingsFile).parent_path();
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder),
                                std::filesystem::directory_iterator()),
                  1);
    });
}

// With the settings file of a fresh install: the package's postinst writes it.
TEST(ProofReferences, ArgumentHeldWhileTheHostDropsItOrRaises) {
    const std::pair<double, Hook> cases[] = {
        {kIOS11, kSetActiveCall}, {kIOS10, kSetActiveCall}, {kIOS10, kDatabaseChanged}};
    for (const auto& [version, hook] : cases) {
        SCOPED_TRACE(hook.second + " CoreFoundation " + std::to_string(version));
        inFreshProcess([&, version = version, hook = hook] {
            Phone phone(version);
            const std::string postinst =
                "THRUMLINE_ROOT='" + phone.root + "' sh '" + THRUMLINE_POSTINST + "' configure ''";
            ASSERT_EQ(std::system(postinst.c_str()), 0);
            ASSERT_TRUE(loadLibrary());
            id host = [[[objc_getClass(hook.first.c_str()) alloc] init] autorelease];
            const SEL selector = sel_registerName(hook.second.c_str());

            // The host drops the only reference it was given; the library still holds one.
            gReleaseArgument = true;
            gHostLog.clear();
            [host performSelector:selector withObject:[ProofCall newConnected:YES]];
            std::vector<std::string> expected = {hook.first + " " + hook.second + " ProofCall"};
            if (hook == kSetActiveCall) expected.push_back("isConnected");
            expected.push_back("dealloc");
            EXPECT_EQ(gHostLog, expected);
            EXPECT_EQ(played(), std::vector<std::string>{"on 300"});

            // The host raises: the failure passes through the replacement,
            // which releases its reference on the way. (GCC's Objective-C++
            // cannot match @catch against the GNU runtime's exceptions.)
            ProofCall* kept = [ProofCall newConnected:YES];
            gReleaseArgument = false;
            gRaise = true;
            bool caught = false;
            try {
                [host performSelector:selector withObject:kept];
            } catch (...) {
                caught = true;
            }
            EXPECT_TRUE(caught);
            EXPECT_EQ([kept retainCount], 1u);
            gRaise = false;
            [kept release];
            EXPECT_EQ(gHostLog.back(), "dealloc");
        });
    }
}

}  // namespace
