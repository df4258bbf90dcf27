// The library as SpringBoard loads it, on a real Objective-C runtime: the
// host classes below are real classes, the library's module is loaded with
// dlopen, its initialiser hooks them through the runtime's method
// replacement, and it reads and writes real property-list files. Every case
// runs in a process of its own (a fork taken before the library is loaded),
// because hooks, like on the phone, last as long as the process.
#include "PlistReader.h"
#include "ProofPlatform.h"
#include "ProofTestSupport.h"
#include "hooks/Hooks.h"
#include "settings/Settings.h"

#include <CoreFoundation/CoreFoundation.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <objc/runtime.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>

namespace proof = thrumline::proof;
namespace prooftest = thrumline::prooftest;
using thrumline::plistcheck::Kind;

namespace {

// What the host's own implementations saw, in order.
std::vector<std::string> gHostLog;

// How the host's setActiveCall: and databaseChanged: behave.
struct HostBehaviour {
    bool releaseArgument = false;  // the host drops the reference it handed over
    bool raise = false;            // the host raises after its work
};
HostBehaviour gBehaviour;

// The settings file as the host's launch work found it.
std::string gSettingsFile;
Kind gNotRespringingKindAtLaunch = Kind::Missing;
bool gNotRespringingAtLaunch = true;

std::string describe(id object) {
    if (object == nil) return "nil";
    return class_getName(object_getClass(object));
}

void hostRan(id receiver, SEL cmd, id argument) {
    gHostLog.push_back(describe(receiver) + " " + sel_getName(cmd) + " " + describe(argument));
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

static void hostWork(id receiver, SEL cmd, id argument) {
    hostRan(receiver, cmd, argument);
    if (gBehaviour.releaseArgument) [argument release];
    if (gBehaviour.raise) {
        [NSException raise:NSInternalInconsistencyException format:@"host failure"];
    }
}

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
    hostRan(self, _cmd, application);
    const auto document = thrumline::plistcheck::readFile(gSettingsFile);
    gNotRespringingKindAtLaunch = document.root["isNotRespringing"].kind;
    gNotRespringingAtLaunch = document.root["isNotRespringing"].boolean;
}
@end

namespace {

constexpr double kVersion_iOS10 = 1348.0;
constexpr double kVersion_iOS11 = 1443.0;
constexpr std::uint32_t kPatternSound = 4095;
constexpr std::uint32_t kClassicSound = 1352;
constexpr std::uint64_t kSecond = 1000000000ULL;

// The phone in one process: the stand-in platform, a scratch "/" with the
// settings file in it, and the library once loaded.
class Phone {
public:
    explicit Phone(double coreFoundationVersion) {
        proof::reset();
        proof::setCoreFoundationVersion(coreFoundationVersion);
        proof::setFileRoot(root_.path());
        gSettingsFile = settingsFile();
        pool_ = [[NSAutoreleasePool alloc] init];
    }
    ~Phone() { [pool_ drain]; }

    const std::string& root() const { return root_.path(); }
    std::string settingsFile() const { return root_.hostPath(thrumline::kSettingsPath); }
    void writeSettings(const std::vector<std::pair<std::string, std::string>>& entries) {
        prooftest::writeFile(settingsFile(), prooftest::xmlDictionary(entries));
    }
    thrumline::plistcheck::Document readSettings() const {
        return thrumline::plistcheck::readFile(settingsFile());
    }

    // SpringBoard loads the library: its initialiser runs inside dlopen.
    bool load() {
        if (dlopen(THRUMLINE_PROOF_MODULE, RTLD_NOW | RTLD_LOCAL) != nullptr) return true;
        ADD_FAILURE() << "dlopen: " << dlerror();
        return false;
    }

    // The settings pane (another process) posts a notification.
    static void panePosts(const char* name) {
        NSString* text = [[NSString alloc] initWithUTF8String:name];
        CFNotificationCenterPostNotification(CFNotificationCenterGetDarwinNotifyCenter(),
                                             (CFStringRef)text, nullptr, nullptr, true);
        [text release];
    }

    // The patterns and classic pulses played since `from`, in order.
    static std::vector<std::string> played(std::size_t from = 0) {
        std::vector<std::string> out;
        const auto& sounds = proof::sounds();
        for (std::size_t i = from; i < sounds.size(); ++i) {
            if (sounds[i].soundID == kPatternSound && sounds[i].withPattern &&
                sounds[i].unusedWasNil) {
                out.push_back(prooftest::describePattern(sounds[i].pattern));
            } else if (sounds[i].soundID == kClassicSound && !sounds[i].withPattern) {
                out.push_back("classic");
            } else {
                out.push_back("unexpected sound " + std::to_string(sounds[i].soundID));
            }
        }
        return out;
    }

private:
    prooftest::ScratchFolder root_;
    NSAutoreleasePool* pool_ = nil;
};

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

using Settings = std::vector<std::pair<std::string, std::string>>;

std::string integer(int value) { return "<integer>" + std::to_string(value) + "</integer>"; }
std::string boolean(bool value) { return value ? "<true/>" : "<false/>"; }

// Call vibrations on, pattern output, vibration numbers on.
Settings callSettings() {
    return {{"isEnabled", boolean(true)},          {"isNotRespringing", boolean(true)},
            {"isVibrationsNumber", boolean(true)}, {"oldMethod", boolean(false)},
            {"firstVibrationNumber", integer(1)},  {"lastVibrationNumber", integer(0)},
            {"VibrationDuration", integer(70)},    {"vibration1", integer(110)},
            {"vibration2", integer(220)}};
}

void set(Settings& settings, const std::string& key, const std::string& value) {
    for (auto& entry : settings) {
        if (entry.first == key) {
            entry.second = value;
            return;
        }
    }
    settings.emplace_back(key, value);
}

TEST(ProofStartUp, HookGroupFollowsTheCoreFoundationVersion) {
    using Hook = std::pair<std::string, std::string>;
    const std::vector<Hook> iOS10 = {{"CHManager", "databaseChanged:"},
                                     {"SBTelephonyManager", "setActiveCall:"}};
    const std::vector<Hook> iOS11 = {{"SBTelephonyManager", "setActiveCall:"},
                                     {"SpringBoard", "applicationDidFinishLaunching:"}};
    const struct {
        double version;
        std::vector<Hook> hooks;
    } cases[] = {
        {1347.99, {}},  {1348.0, iOS10}, {1442.99, iOS10},
        {1442.995, {}}, {1443.0, iOS11}, {1700.5, iOS11},
    };
    const std::vector<Hook> all = {{"CHManager", "databaseChanged:"},
                                   {"SBTelephonyManager", "setActiveCall:"},
                                   {"SpringBoard", "applicationDidFinishLaunching:"}};
    for (const auto& c : cases) {
        SCOPED_TRACE("CoreFoundation " + std::to_string(c.version));
        inFreshProcess([&] {
            Phone phone(c.version);
            std::vector<IMP> before;
            for (const Hook& hook : all) {
                before.push_back(class_getMethodImplementation(
                    objc_getClass(hook.first.c_str()), sel_registerName(hook.second.c_str())));
            }
            ASSERT_TRUE(phone.load());

            std::vector<Hook> installed;
            for (const auto& request : proof::hookRequests()) {
                EXPECT_TRUE(request.replaced) << request.className << " " << request.selector;
                installed.emplace_back(request.className, request.selector);
            }
            EXPECT_EQ(installed, c.hooks);

            // Through the runtime: a hooked method reaches the replacement,
            // which runs the host's implementation once, with the receiver,
            // selector and argument unchanged.
            for (std::size_t i = 0; i < all.size(); ++i) {
                const Hook& hook = all[i];
                const Class cls = objc_getClass(hook.first.c_str());
                const SEL selector = sel_registerName(hook.second.c_str());
                const bool hooked =
                    std::find(c.hooks.begin(), c.hooks.end(), hook) != c.hooks.end();
                EXPECT_EQ(class_getMethodImplementation(cls, selector) != before[i], hooked)
                    << hook.first << " " << hook.second;
                id receiver = [[cls alloc] init];
                id argument = [[NSObject alloc] init];
                gHostLog.clear();
                [receiver performSelector:selector withObject:argument];
                EXPECT_EQ(gHostLog,
                          std::vector<std::string>{hook.first + " " + hook.second + " NSObject"});
                [argument release];
                [receiver release];
            }

            // The five observers, in order, whatever the group.
            const std::vector<std::string> names = {
                thrumline::kPrefsChangedNotification, thrumline::kVib1PreviewNotification,
                thrumline::kVib2PreviewNotification, thrumline::kVib3PreviewNotification,
                thrumline::kVib4PreviewNotification};
            ASSERT_EQ(proof::registrations().size(), names.size());
            for (std::size_t i = 0; i < names.size(); ++i) {
                EXPECT_EQ(proof::registrations()[i].name, names[i]);
                EXPECT_EQ(proof::registrations()[i].observer, nullptr);
                EXPECT_EQ(proof::registrations()[i].object, nullptr);
                EXPECT_EQ(proof::registrations()[i].suspensionBehavior, 2);
            }
            EXPECT_TRUE(proof::sounds().empty());
        });
    }
}

TEST(ProofPreviews, PlayAsPatternsWhateverTheSwitchesSay) {
    for (const double version : {kVersion_iOS11, 1000.0}) {  // a group, and none
        SCOPED_TRACE("CoreFoundation " + std::to_string(version));
        inFreshProcess([&] {
            Phone phone(version);
            phone.writeSettings({{"isEnabled", boolean(false)},
                                 {"isNotRespringing", boolean(false)},
                                 {"oldMethod", boolean(true)},
                                 {"firstVibrationNumber", integer(2)},
                                 {"lastVibrationNumber", integer(3)},
                                 {"VibrationDuration", integer(80)},
                                 {"vibration1", integer(120)},
                                 {"vibration2", integer(90)}});
            ASSERT_TRUE(phone.load());
            const struct {
                const char* notification;
                std::string pattern;
            } previews[] = {
                {thrumline::kVib1PreviewNotification, "on 120, off 80, on 120, off 80, on 120"},
                {thrumline::kVib2PreviewNotification,
                 "on 50, off 100, on 50, off 300, on 50, off 300, on 50, off 100, on 50"},
                {thrumline::kVib3PreviewNotification, "on 120, off 80, on 120"},
                {thrumline::kVib4PreviewNotification, "on 90, off 80, on 90"},
            };
            for (const auto& preview : previews) {
                SCOPED_TRACE(preview.notification);
                const std::size_t before = proof::sounds().size();
                Phone::panePosts(preview.notification);
                EXPECT_TRUE(Phone::played(before).empty()) << "played inside the post";
                proof::runUntilIdle();
                EXPECT_EQ(Phone::played(before), std::vector<std::string>{preview.pattern});
            }
        });
    }
}

TEST(ProofCallEvents, ConnectedAndEndedCallsInBothOutputs) {
    enum class Event { Connected, Ended, NilCall, DatabaseChanged };
    const struct {
        const char* what;
        double version;
        Event event;
        bool oldMethod;
        bool numbers;
        std::vector<std::string> played;
    } cases[] = {
        {"iOS11 connected, figure",
         kVersion_iOS11,
         Event::Connected,
         false,
         true,
         {"on 110, off 70, on 110"}},
        {"iOS11 ended, figure", kVersion_iOS11, Event::Ended, false, true, {"on 220"}},
        {"iOS11 nil call, figure", kVersion_iOS11, Event::NilCall, false, true, {"on 220"}},
        {"iOS11 connected, single pulse",
         kVersion_iOS11,
         Event::Connected,
         false,
         false,
         {"on 110"}},
        {"iOS11 ended, single pulse", kVersion_iOS11, Event::Ended, false, false, {"on 220"}},
        {"iOS11 connected, classic pulse",
         kVersion_iOS11,
         Event::Connected,
         true,
         false,
         {"classic"}},
        {"iOS11 ended, classic number 0", kVersion_iOS11, Event::Ended, true, true, {"classic"}},
        {"iOS10 connected, figure",
         kVersion_iOS10,
         Event::Connected,
         false,
         true,
         {"on 110, off 70, on 110"}},
        {"iOS10 ended active call", kVersion_iOS10, Event::Ended, false, true, {}},
        {"iOS10 history changed, figure",
         kVersion_iOS10,
         Event::DatabaseChanged,
         false,
         true,
         {"on 220"}},
        {"iOS10 history changed, classic",
         kVersion_iOS10,
         Event::DatabaseChanged,
         true,
         false,
         {"classic"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        inFreshProcess([&] {
            Phone phone(c.version);
            Settings settings = callSettings();
            set(settings, "oldMethod", boolean(c.oldMethod));
            set(settings, "isVibrationsNumber", boolean(c.numbers));
            phone.writeSettings(settings);
            ASSERT_TRUE(phone.load());

            id argument = nil;
            if (c.event == Event::Connected) argument = [ProofCall newConnected:YES];
            if (c.event == Event::Ended) argument = [ProofCall newConnected:NO];
            if (c.event == Event::DatabaseChanged) argument = [[NSObject alloc] init];
            gHostLog.clear();
            if (c.event == Event::DatabaseChanged) {
                CHManager* history = [[[CHManager alloc] init] autorelease];
                [history databaseChanged:argument];
            } else {
                SBTelephonyManager* telephony = [[[SBTelephonyManager alloc] init] autorelease];
                [telephony setActiveCall:argument];
            }
            // Played at once, before the hooked method returned.
            EXPECT_EQ(Phone::played(), c.played);
            ASSERT_FALSE(gHostLog.empty());
            EXPECT_EQ(gHostLog.front(), std::string(c.event == Event::DatabaseChanged
                                                        ? "CHManager databaseChanged: NSObject"
                                                        : "SBTelephonyManager setActiveCall: ") +
                                            (c.event == Event::DatabaseChanged ? ""
                                             : argument == nil                 ? "nil"
                                                                               : "ProofCall"));
            proof::advanceBy(3600 * kSecond);
            EXPECT_EQ(Phone::played(), c.played) << "something more played later";
            [argument release];
        });
    }
}

TEST(ProofCallEvents, ClassicChainRunsOnTheMainQueueAndFollowsReloads) {
    inFreshProcess([] {
        Phone phone(kVersion_iOS11);
        Settings settings = callSettings();
        set(settings, "oldMethod", boolean(true));
        set(settings, "firstVibrationNumber", integer(2));
        set(settings, "VibrationDuration", integer(1500));
        phone.writeSettings(settings);
        ASSERT_TRUE(phone.load());
        // The library spaces a chain's pulses by twice VibrationDuration
        // milliseconds, read when each pulse plays.
        const std::uint64_t firstGap = 2 * 1500 * 1000000ULL;
        const std::uint64_t laterGap = 2 * 500 * 1000000ULL;

        ProofCall* call = [ProofCall newConnected:YES];
        [[[[SBTelephonyManager alloc] init] autorelease] setActiveCall:call];
        [call release];
        EXPECT_TRUE(Phone::played().empty()) << "the chain must start after the hook returns";
        EXPECT_EQ(proof::pendingSteps(), 1u);

        proof::runUntilIdle();
        ASSERT_EQ(Phone::played().size(), 1u);
        const std::uint64_t t0 = proof::now();

        // The pane shortens the pause; the reload reaches the gaps still to come.
        set(settings, "VibrationDuration", integer(500));
        phone.writeSettings(settings);
        Phone::panePosts(thrumline::kPrefsChangedNotification);
        proof::runUntilIdle();

        proof::advanceBy(firstGap - 1);
        EXPECT_EQ(Phone::played().size(), 1u);
        proof::advanceBy(1);
        EXPECT_EQ(Phone::played().size(), 2u);
        proof::advanceBy(laterGap);
        EXPECT_EQ(Phone::played(), (std::vector<std::string>{"classic", "classic", "classic"}));
        EXPECT_EQ(proof::sounds()[2].atNanos - t0, firstGap + laterGap);
        proof::advanceBy(3600 * kSecond);
        EXPECT_EQ(Phone::played().size(), 3u);
        EXPECT_EQ(proof::pendingSteps(), 0u);
    });
}

TEST(ProofRespringGuard, QuietForSevenSecondsThroughTheSettingsFile) {
    inFreshProcess([] {
        Phone phone(kVersion_iOS11);
        // Beside the nine keys, keys of every other property-list type that
        // the settings pane might keep: the guard writes them all back.
        phone.writeSettings(
            {{"isEnabled", boolean(true)},
             {"isNotRespringing", boolean(true)},
             {"isVibrationsNumber", boolean(false)},
             {"oldMethod", boolean(false)},
             {"firstVibrationNumber", integer(0)},
             {"lastVibrationNumber", integer(-1)},
             {"VibrationDuration", integer(200)},
             {"vibration1", integer(111)},
             {"vibration2", integer(300)},
             {"paneNote", "<string>kept</string>"},
             {"paneRatio", "<real>0.75</real>"},
             {"paneBlob", "<data>YWI=</data>"},
             {"paneWhen", "<date>2017-07-14T02:40:00Z</date>"},
             {"paneList", "<array><integer>1</integer><string>two</string></array>"},
             {"paneTable", "<dict><key>inner</key><true/></dict>"}});
        ASSERT_TRUE(phone.load());
        const char* changed = thrumline::kPrefsChangedNotification;

        SpringBoard* springBoard = [[[SpringBoard alloc] init] autorelease];
        NSObject* application = [[[NSObject alloc] init] autorelease];
        gHostLog.clear();
        [springBoard applicationDidFinishLaunching:application];
        EXPECT_EQ(gHostLog,
                  std::vector<std::string>{"SpringBoard applicationDidFinishLaunching: NSObject"});
        // Written and announced before the host's launch work ran.
        EXPECT_EQ(gNotRespringingKindAtLaunch, Kind::Boolean);
        EXPECT_FALSE(gNotRespringingAtLaunch);
        ASSERT_EQ(proof::posts().size(), 1u);
        EXPECT_EQ(proof::posts()[0].name, changed);
        EXPECT_TRUE(proof::posts()[0].deliverImmediately);
        EXPECT_FALSE(proof::posts()[0].withObject);
        EXPECT_FALSE(proof::posts()[0].withUserInfo);
        proof::runUntilIdle();
        EXPECT_EQ(proof::deliveries(changed), 1);

        // Inside the quiet period: a call plays nothing, a preview plays.
        ProofCall* call = [ProofCall newConnected:YES];
        SBTelephonyManager* telephony = [[[SBTelephonyManager alloc] init] autorelease];
        [telephony setActiveCall:call];
        EXPECT_TRUE(Phone::played().empty());
        Phone::panePosts(thrumline::kVib3PreviewNotification);
        proof::runUntilIdle();
        EXPECT_EQ(Phone::played(), std::vector<std::string>{"on 111, off 200, on 111"});

        const std::uint64_t launched = proof::now();
        proof::advanceBy(7 * kSecond - 1);
        EXPECT_FALSE(phone.readSettings().root["isNotRespringing"].boolean);
        EXPECT_EQ(proof::posts().size(), 2u);  // the pane's preview post
        proof::advanceBy(1);
        EXPECT_EQ(proof::now() - launched, 7 * kSecond);
        ASSERT_EQ(proof::posts().size(), 3u);
        EXPECT_EQ(proof::posts()[2].name, changed);
        proof::runUntilIdle();
        EXPECT_EQ(proof::deliveries(changed), 2);

        // Heard again after the second reload.
        [telephony setActiveCall:call];
        [call release];
        EXPECT_EQ(Phone::played().size(), 2u);
        EXPECT_EQ(Phone::played(1), std::vector<std::string>{"on 111"});

        // The file is XML now, and every key kept its value and its type.
        const auto document = phone.readSettings();
        ASSERT_TRUE(document.parsed);
        EXPECT_TRUE(document.xml);
        const auto& root = document.root;
        EXPECT_EQ(root.entries.size(), 15u);
        const struct {
            const char* key;
            Kind kind;
        } kinds[] = {
            {"isEnabled", Kind::Boolean},
            {"isNotRespringing", Kind::Boolean},
            {"isVibrationsNumber", Kind::Boolean},
            {"oldMethod", Kind::Boolean},
            {"firstVibrationNumber", Kind::Integer},
            {"lastVibrationNumber", Kind::Integer},
            {"VibrationDuration", Kind::Integer},
            {"vibration1", Kind::Integer},
            {"vibration2", Kind::Integer},
            {"paneNote", Kind::String},
            {"paneRatio", Kind::Real},
            {"paneBlob", Kind::Data},
            {"paneWhen", Kind::Date},
            {"paneList", Kind::Array},
            {"paneTable", Kind::Dictionary},
        };
        for (const auto& expected : kinds) {
            EXPECT_EQ(root[expected.key].kind, expected.kind)
                << expected.key << " is "
                << thrumline::plistcheck::kindName(root[expected.key].kind);
        }
        EXPECT_TRUE(root["isEnabled"].boolean);
        EXPECT_TRUE(root["isNotRespringing"].boolean);
        EXPECT_FALSE(root["oldMethod"].boolean);
        EXPECT_EQ(root["lastVibrationNumber"].integer, -1);
        EXPECT_EQ(root["vibration1"].integer, 111);
        EXPECT_EQ(root["paneNote"].text, "kept");
        EXPECT_DOUBLE_EQ(root["paneRatio"].real, 0.75);
        EXPECT_EQ(root["paneBlob"].text, "ab");
        ASSERT_EQ(root["paneList"].items.size(), 2u);
        EXPECT_EQ(root["paneList"].items[1].text, "two");
        EXPECT_TRUE(root["paneTable"]["inner"].boolean);
    });
}

TEST(ProofRespringGuard, DisabledLaunchLeavesTheFileAlone) {
    inFreshProcess([] {
        Phone phone(kVersion_iOS11);
        Settings settings = callSettings();
        set(settings, "isEnabled", boolean(false));
        set(settings, "isNotRespringing", boolean(false));
        phone.writeSettings(settings);
        const std::string before = prooftest::readFile(phone.settingsFile());
        ASSERT_TRUE(phone.load());

        gHostLog.clear();
        [[[[SpringBoard alloc] init] autorelease] applicationDidFinishLaunching:nil];
        EXPECT_EQ(gHostLog.size(), 1u);
        proof::advanceBy(60 * kSecond);
        EXPECT_EQ(prooftest::readFile(phone.settingsFile()), before);
        EXPECT_TRUE(proof::posts().empty());
        EXPECT_EQ(proof::pendingSteps(), 0u);
    });
}

TEST(ProofSettings, ValuesOfTheWrongTypeCountAsMissing) {
    inFreshProcess([] {
        Phone phone(kVersion_iOS11);
        // Strings convert the way Foundation converts them; data, dates,
        // arrays and dictionaries cannot, and must not raise.
        phone.writeSettings({{"isEnabled", "<string>YES</string>"},
                             {"isNotRespringing", "<string>1</string>"},
                             {"isVibrationsNumber", "<string>true</string>"},
                             {"oldMethod", "<data>AAE=</data>"},
                             {"firstVibrationNumber", "<date>2020-01-01T00:00:00Z</date>"},
                             {"lastVibrationNumber", "<string>2 pulses</string>"},
                             {"VibrationDuration", "<data>AAE=</data>"},
                             {"vibration1", "<array><integer>5</integer></array>"},
                             {"vibration2", "<dict><key>a</key><integer>5</integer></dict>"}});
        ASSERT_TRUE(phone.load());

        Phone::panePosts(thrumline::kVib3PreviewNotification);
        Phone::panePosts(thrumline::kVib2PreviewNotification);
        proof::runUntilIdle();
        // VibrationDuration 200, vibration1 and vibration2 300: their
        // missing-key values; lastVibrationNumber 2 from "2 pulses".
        EXPECT_EQ(Phone::played(),
                  (std::vector<std::string>{"on 300, off 200, on 300",
                                            "on 300, off 200, on 300, off 200, on 300"}));

        // isEnabled and isNotRespringing true, oldMethod false (missing),
        // firstVibrationNumber 0 (missing): one pulse of 300 ms.
        ProofCall* call = [ProofCall newConnected:YES];
        [[[[SBTelephonyManager alloc] init] autorelease] setActiveCall:call];
        [call release];
        EXPECT_EQ(Phone::played(2), std::vector<std::string>{"on 300"});
    });
}

TEST(ProofReferences, ArgumentHeldWhileTheHostDropsItOrRaises) {
    const struct {
        const char* what;
        double version;
        bool history;  // databaseChanged: rather than setActiveCall:
    } cases[] = {
        {"iOS11 setActiveCall:", kVersion_iOS11, false},
        {"iOS10 setActiveCall:", kVersion_iOS10, false},
        {"iOS10 databaseChanged:", kVersion_iOS10, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        inFreshProcess([&] {
            Phone phone(c.version);
            phone.writeSettings(callSettings());
            ASSERT_TRUE(phone.load());
            SBTelephonyManager* telephony = [[[SBTelephonyManager alloc] init] autorelease];
            CHManager* history = [[[CHManager alloc] init] autorelease];
            auto send = [&](id argument) {
                if (c.history) {
                    [history databaseChanged:argument];
                } else {
                    [telephony setActiveCall:argument];
                }
            };

            // The host drops the only reference it was given while its
            // implementation runs; the library still holds one.
            ProofCall* handedOver = [ProofCall newConnected:YES];
            gBehaviour = HostBehaviour{true, false};
            gHostLog.clear();
            send(handedOver);
            const std::string hostLine = c.history ? "CHManager databaseChanged: ProofCall"
                                                   : "SBTelephonyManager setActiveCall: ProofCall";
            const std::vector<std::string> expected =
                c.history ? std::vector<std::string>{hostLine, "dealloc"}
                          : std::vector<std::string>{hostLine, "isConnected", "dealloc"};
            EXPECT_EQ(gHostLog, expected);
            EXPECT_EQ(Phone::played().size(), 1u);

            // The host raises: the failure passes through the replacement,
            // which releases its reference on the way.
            ProofCall* kept = [ProofCall newConnected:YES];
            gBehaviour = HostBehaviour{false, true};
            // Caught as a foreign exception: GCC's Objective-C++ cannot match
            // @catch clauses against the GNU runtime's exceptions.
            bool caught = false;
            try {
                send(kept);
            } catch (...) {
                caught = true;
            }
            EXPECT_TRUE(caught);
            EXPECT_EQ([kept retainCount], 1u);
            gBehaviour = HostBehaviour{};
            [kept release];
            EXPECT_EQ(gHostLog.back(), "dealloc");
        });
    }
}

TEST(ProofPackage, FreshInstallVibratesOncePerCallMoment) {
    for (const double version : {kVersion_iOS10, kVersion_iOS11}) {
        SCOPED_TRACE("CoreFoundation " + std::to_string(version));
        inFreshProcess([&] {
            Phone phone(version);
            // The package's postinst, as dpkg runs it, writes the first
            // settings file; then SpringBoard restarts and loads the library.
            const std::string command = "THRUMLINE_ROOT='" + phone.root() + "' sh '" +
                                        THRUMLINE_POSTINST + "' configure ''";
            ASSERT_EQ(std::system(command.c_str()), 0);
            ASSERT_TRUE(phone.load());

            SBTelephonyManager* telephony = [[[SBTelephonyManager alloc] init] autorelease];
            ProofCall* call = [ProofCall newConnected:YES];
            [telephony setActiveCall:call];
            [call release];
            if (version == kVersion_iOS10) {
                [[[[CHManager alloc] init] autorelease] databaseChanged:nil];
            } else {
                [telephony setActiveCall:nil];
            }
            EXPECT_EQ(Phone::played(), (std::vector<std::string>{"on 300", "on 300"}));
        });
    }
}

}  // namespace
