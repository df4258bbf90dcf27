// The settings pane, loaded through PreferenceLoader's entry, reads and
// writes real settings files while the library's proof build, loaded in the
// same process as SpringBoard would load it, hears it and plays. Each case
// runs in a child process: the library's hooks last as long as the process.
#include "ProofPlatform.h"
#include "gnustep-proof/tests/ChildProcess.h"
#include "pane/ThrumlineListController.h"
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
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace proof = thrumline::proof;
using thrumline::sim::PlistValue;
using thrumline::sim::readPlistFile;

// A call the telephony service reports as connected.
@interface PaneProofCall : NSObject
@end
@implementation PaneProofCall
- (BOOL)isConnected {
    return YES;
}
@end

namespace {

constexpr double kIOS11 = thrumline::kLowestVersion_iOS11;
const std::string kMinderPulse = "on " + std::to_string(THRUMLINE_MINDER_PULSE_MS);
constexpr std::uint64_t kSecond = 1000000000ULL;
std::string gSettingsFile;
IMP gDevicePath = nullptr;  // the pane's own +settingsPath

NSString* ns(const std::string& text) { return [NSString stringWithUTF8String:text.c_str()]; }

void hostWork(id, SEL, id) {}

// The same file as the pane names it, under the folder that stands for "/".
id rootedSettingsPath(id self, SEL cmd) {
    NSString* device = reinterpret_cast<id (*)(id, SEL)>(gDevicePath)(self, cmd);
    return [ns(proof::fileRoot()) stringByAppendingString:device];
}

void hostSends(const char* className, const char* selector, id argument) {
    id host = [[[objc_getClass(className) alloc] init] autorelease];
    [host performSelector:sel_registerName(selector) withObject:argument];
}

void connectCall() {
    hostSends("SBTelephonyManager", "setActiveCall:", [[[PaneProofCall alloc] init] autorelease]);
}

// Settings opens the pane as PreferenceLoader does: the entry names the
// bundle and the controller class.
Class openPane(const std::string& root) {
    NSDictionary* entry = [[NSDictionary
        dictionaryWithContentsOfFile:ns(root +
                                        "/Library/PreferenceLoader/Preferences/Thrumline.plist")]
        objectForKey:@"entry"];
    EXPECT_TRUE([[entry objectForKey:@"isController"] boolValue]);
    NSBundle* bundle = [NSBundle
        bundleWithPath:[NSString stringWithFormat:@"%s/Library/PreferenceBundles/%@.bundle",
                                                  root.c_str(), [entry objectForKey:@"bundle"]]];
    if (![bundle load]) return Nil;
    Class pane = NSClassFromString([entry objectForKey:@"detail"]);
    EXPECT_TRUE(pane != Nil && pane == [bundle principalClass]);
    EXPECT_TRUE([pane isSubclassOfClass:[PSListController class]]);
    if (pane == Nil) return Nil;
    EXPECT_STREQ([[pane settingsPath] UTF8String], thrumline::kSettingsPath);
    gDevicePath = method_setImplementation(
        class_getClassMethod(pane, @selector(settingsPath)),
        reinterpret_cast<IMP>(reinterpret_cast<void (*)()>(&rootedSettingsPath)));
    return pane;
}

void writeBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string readBytes(const std::string& path) {
    std::string bytes;
    return thrumline::sim::readFileBytes(path, &bytes) ? bytes : "(none)";
}

// The settings file the package's postinst writes under `root`.
void runPostinst(const std::string& root) {
    const std::string command =
        "THRUMLINE_ROOT='" + root + "' sh '" + THRUMLINE_POSTINST + "' configure ''";
    if (std::system(command.c_str()) != 0) ADD_FAILURE() << command;
}

// Runs `scenario` in a child process with Thrumline installed on an iOS 11
// phone whose settings file holds `bytes` ("": no file, "postinst": the
// package's first file), SpringBoard running the library and Settings
// showing the pane.
template <typename Scenario>
void withPane(const std::string& bytes, const Scenario& scenario) {
    proof::inChildProcess([&] {
        NSAutoreleasePool* pool = [[NSAutoreleasePool alloc] init];
        namespace fs = std::filesystem;
        const std::string root =
            fs::temp_directory_path().string() + "/thrumline-pane-" + std::to_string(::getpid());
        // Gone however the case ends, a raise included.
        struct Scratch {
            const std::string& folder;
            ~Scratch() {
                std::error_code ignored;
                std::filesystem::remove_all(folder, ignored);
            }
        } scratch{root};
        proof::setCoreFoundationVersion(kIOS11);
        proof::setFileRoot(root);
        gSettingsFile = root + thrumline::kSettingsPath;
        fs::create_directories(fs::path(gSettingsFile).parent_path());
        if (bytes == "postinst") {
            runPostinst(root);
        } else if (!bytes.empty()) {
            writeBytes(gSettingsFile, bytes);
        }
        // What the package installs for the pane.
        fs::create_directories(root + "/Library/PreferenceLoader/Preferences");
        fs::copy(THRUMLINE_PANE_ENTRY,
                 root + "/Library/PreferenceLoader/Preferences/Thrumline.plist");
        fs::create_directories(root + "/Library/PreferenceBundles");
        fs::copy(THRUMLINE_PANE_BUNDLE, root + "/Library/PreferenceBundles/Thrumline.bundle",
                 fs::copy_options::recursive);
        // The host classes the library hooks on this system.
        for (const thrumline::HookedMethod& method : thrumline::kHookGroup_iOS11.methods) {
            Class host = objc_allocateClassPair([NSObject class], method.className, 0);
            class_addMethod(host, sel_registerName(method.selector),
                            reinterpret_cast<IMP>(reinterpret_cast<void (*)()>(&hostWork)), "v@:@");
            objc_registerClassPair(host);
        }
        void* const library = dlopen(THRUMLINE_PROOF_MODULE, RTLD_NOW | RTLD_LOCAL);
        EXPECT_NE(library, nullptr) << dlerror();
        const Class pane = openPane(root);
        if (library != nullptr && pane != Nil) {
            ThrumlineListController* controller = [[pane alloc] init];
            scenario(controller);
            [controller release];
        }
        [pool drain];
    });
}

bool isSettingCell(PSSpecifier* specifier) {
    const PSCellType type = [specifier cellType];
    return type == PSSwitchCell || type == PSSegmentCell || type == PSSliderCell;
}

// The setting cell for `key` (or, with `property`, the cell whose
// `property` is `key`).
PSSpecifier* cellFor(ThrumlineListController* pane, const std::string& key,
                     NSString* property = @"key") {
    NSArray* cells = [pane specifiers];
    for (NSUInteger i = 0; i < [cells count]; ++i) {
        PSSpecifier* cell = [cells objectAtIndex:i];
        if ((isSettingCell(cell) || ![property isEqual:@"key"]) &&
            [[cell propertyForKey:property] isEqual:ns(key)])
            return cell;
    }
    ADD_FAILURE() << "no cell for " << key;
    return nil;
}

// Taps the button `button`, or the one with the identifier `button`.
void tap(ThrumlineListController* pane, PSSpecifier* button) {
    if (button != nil) [pane performSelector:button->action withObject:button];
}
void tap(ThrumlineListController* pane, NSString* identifier) {
    [pane specifiers];  // loads them
    tap(pane, [pane specifierForID:identifier]);
}

// A value as a cell hands it over: "YES"/"NO", an int, "f:" a float, "d:" a
// double, "s:" a string, "data".
id cellValue(const std::string& text) {
    if (text == "YES" || text == "NO") return [NSNumber numberWithBool:text == "YES"];
    if (text == "data") return [NSData data];
    if (text.rfind("f:", 0) == 0) return [NSNumber numberWithFloat:std::stof(text.substr(2))];
    if (text.rfind("d:", 0) == 0) return [NSNumber numberWithDouble:std::stod(text.substr(2))];
    if (text.rfind("s:", 0) == 0) return ns(text.substr(2));
    return [NSNumber numberWithInt:std::stoi(text)];
}

void set(ThrumlineListController* pane, const std::string& key, const std::string& value) {
    [cellFor(pane, key) performSetterWithValue:cellValue(value)];
}

// The text of the row with the identifier `row`.
std::string rowText(ThrumlineListController* pane, NSString* row) {
    return [[[pane specifierForID:row] performGetter] UTF8String];
}

// What every setting cell shows, in order: "isEnabled 1, ...". A switch
// must get a boolean and the others an integer.
std::string shown(ThrumlineListController* pane) {
    std::string text;
    NSArray* cells = [pane specifiers];
    for (NSUInteger i = 0; i < [cells count]; ++i) {
        PSSpecifier* cell = [cells objectAtIndex:i];
        if (!isSettingCell(cell)) continue;
        id value = [cell performGetter];
        const char* type = [cell cellType] == PSSwitchCell ? @encode(BOOL) : @encode(int);
        const bool typed =
            [value isKindOfClass:[NSNumber class]] && std::strcmp([value objCType], type) == 0;
        text += std::string([[cell propertyForKey:@"key"] UTF8String]) + " " +
                std::to_string([value intValue]) + (typed ? ", " : " (wrong type), ");
    }
    return text;
}

int shownInt(ThrumlineListController* pane, const char* key) {
    return [[cellFor(pane, key) performGetter] intValue];
}

bool showsNotice(ThrumlineListController* pane) {
    const bool notice = [pane specifierForID:@"unreadable"] != nil;
    EXPECT_EQ(notice, [pane specifierForID:@"reset"] != nil);
    return notice;
}

// What the library plays from here on, once its main queue has run.
std::string playedAfter(const std::function<void()>& action) {
    const std::size_t from = proof::sounds().size();
    action();
    proof::runUntilIdle();
    std::string out;
    for (std::size_t i = from; i < proof::sounds().size(); ++i) {
        const proof::SoundRequest& s = proof::sounds()[i];
        out += (out.empty() ? "" : " | ") +
               (s.soundID == 4095 && s.withPattern ? proof::describePattern(s.pattern) : "classic");
    }
    return out;
}

// The figure of a vibration number: pulses of `pulse` ms, `pause` ms apart.
std::string figure(int number, int pulse, int pause) {
    std::string text;
    if (number == 3) {
        const int rhythm[] = {THRUMLINE_RHYTHM_FIGURE_MS};
        for (std::size_t i = 0; i < sizeof rhythm / sizeof rhythm[0]; ++i)
            text += (i == 0 ? "on " : i % 2 ? ", off " : ", on ") + std::to_string(rhythm[i]);
        return text;
    }
    for (int i = 0; number >= 0 && i <= number && number < 3; ++i) {
        text +=
            (i == 0 ? "on " : ", off " + std::to_string(pause) + ", on ") + std::to_string(pulse);
    }
    return text;
}

// The library plays, for every preview button and for a call that
// connects, what the values the pane shows stand for.
void expectLibraryPlaysWhatThePaneShows(ThrumlineListController* pane) {
    const int first = shownInt(pane, "firstVibrationNumber");
    const int last = shownInt(pane, "lastVibrationNumber");
    const int pulse1 = shownInt(pane, "vibration1");
    const int pulse2 = shownInt(pane, "vibration2");
    const int pause = shownInt(pane, "VibrationDuration");
    const std::pair<const char*, std::string> previews[] = {
        {THRUMLINE_VIB1_PREVIEW_NOTIFICATION, figure(first, pulse1, pause)},
        {THRUMLINE_VIB2_PREVIEW_NOTIFICATION, figure(last, pulse2, pause)},
        {THRUMLINE_VIB3_PREVIEW_NOTIFICATION, figure(1, pulse1, pause)},
        {THRUMLINE_VIB4_PREVIEW_NOTIFICATION, figure(1, pulse2, pause)}};
    for (const auto& [notification, expected] : previews) {
        PSSpecifier* button = cellFor(pane, notification, @"previewNotification");
        EXPECT_EQ(playedAfter([&] { tap(pane, button); }), expected) << notification;
    }
    // The minder's pulse, which the pane plays itself, by the output shown.
    const bool classic = shownInt(pane, "oldMethod") != 0;
    EXPECT_EQ(playedAfter([&] { tap(pane, @"minderPulse"); }), classic ? "classic" : kMinderPulse);
    // A classic chain's first pulse comes at once; the rest seconds later.
    // The call cannot tell its direction: it counts as one the user answered.
    const bool numbers = shownInt(pane, "isVibrationsNumber") != 0;
    const bool plays =
        shownInt(pane, "isEnabled") != 0 && shownInt(pane, "connectOutgoingOnly") == 0;
    const std::string chain = !numbers || (first >= 0 && first <= 2) ? "classic" : "";
    EXPECT_EQ(playedAfter(connectCall), !plays    ? ""
                                        : classic ? chain
                                                  : figure(numbers ? first : 0, pulse1, pause));
}

std::string xml(const std::string& entries) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>" + entries +
           "</dict></plist>\n";
}

const std::string kDefaultsShown =
    "isEnabled 0, oldMethod 0, isVibrationsNumber 0, firstVibrationNumber 0, vibration1 300, "
    "lastVibrationNumber 0, vibration2 300, VibrationDuration 200, connectOutgoingOnly 0, "
    "minuteMinder 0, minuteMinderSecond 50, ";

TEST(PaneProof, EveryCellShowsWhatTheLibraryMakesOfTheFile) {
    const struct {
        const char* what;
        std::string file;  // "" for none
        std::string shown;
        bool notice;
    } cases[] = {
        {"no file", "", kDefaultsShown, false},
        {"an empty dictionary", xml(""), kDefaultsShown, false},
        {"every key",
         xml("<key>isEnabled</key><true/><key>isNotRespringing</key><true/>"
             "<key>oldMethod</key><false/><key>isVibrationsNumber</key><true/>"
             "<key>firstVibrationNumber</key><integer>2</integer>"
             "<key>lastVibrationNumber</key><integer>3</integer>"
             "<key>VibrationDuration</key><integer>80</integer>"
             "<key>vibration1</key><integer>120</integer><key>vibration2</key><integer>90</"
             "integer><key>connectOutgoingOnly</key><true/><key>minuteMinder</key><true/>"
             "<key>minuteMinderSecond</key><integer>20</integer>"),
         "isEnabled 1, oldMethod 0, isVibrationsNumber 1, firstVibrationNumber 2, vibration1 120, "
         "lastVibrationNumber 3, vibration2 90, VibrationDuration 80, connectOutgoingOnly 1, "
         "minuteMinder 1, minuteMinderSecond 20, ",
         false},
        {"values of other types",
         xml("<key>isEnabled</key><integer>2</integer><key>isNotRespringing</key><true/>"
             "<key>oldMethod</key><data>AAE=</data><key>isVibrationsNumber</key><string>yes</"
             "string>"
             "<key>firstVibrationNumber</key><string>1 pulse more</string>"
             "<key>lastVibrationNumber</key><real>-1.9</real>"
             "<key>VibrationDuration</key><date>2020-01-01T00:00:00Z</date>"
             "<key>vibration1</key><real>250.9</real><key>vibration2</key><array/>"
             "<key>connectOutgoingOnly</key><string>no</string><key>minuteMinder</key>"
             "<real>0.5</real><key>minuteMinderSecond</key><integer>75</integer>"),
         "isEnabled 1, oldMethod 0, isVibrationsNumber 1, firstVibrationNumber 1, vibration1 250, "
         "lastVibrationNumber -1, vibration2 300, VibrationDuration 200, connectOutgoingOnly 0, "
         "minuteMinder 1, minuteMinderSecond 50, ",
         false},
        {"garbage", std::string("\0\x01not a property list <dict>", 28), kDefaultsShown, true},
        {"an array",
         "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist "
         "version=\"1.0\"><array><true/></array></plist>",
         kDefaultsShown, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        withPane(c.file, [&](ThrumlineListController* pane) {
            EXPECT_EQ(shown(pane), c.shown);
            EXPECT_EQ(showsNotice(pane), c.notice);
            // Each slider's row above it: whole milliseconds, or seconds.
            EXPECT_EQ(rowText(pane, @"vibration1Shown"),
                      std::to_string(shownInt(pane, "vibration1")) + " ms");
            EXPECT_EQ(rowText(pane, @"minuteMinderSecondShown"),
                      std::to_string(shownInt(pane, "minuteMinderSecond")) + " s");
            // Reading writes nothing and announces nothing.
            EXPECT_EQ(readBytes(gSettingsFile), c.file.empty() ? "(none)" : c.file);
            EXPECT_TRUE(proof::posts().empty());
            expectLibraryPlaysWhatThePaneShows(pane);
        });
    }
}

// The file the writes start from: the package's keys and some of no one's.
const std::string kBeforeWrites =
    xml("<key>isEnabled</key><true/><key>isNotRespringing</key><true/>"
        "<key>oldMethod</key><false/><key>isVibrationsNumber</key><true/>"
        "<key>firstVibrationNumber</key><integer>0</integer>"
        "<key>lastVibrationNumber</key><integer>1</integer>"
        "<key>VibrationDuration</key><integer>200</integer>"
        "<key>vibration1</key><integer>300</integer><key>vibration2</key><integer>300</integer>"
        "<key>note</key><string>kept &amp; &lt;sure&gt;</string><key>blob</key><data>AAE=</data>"
        "<key>when</key><date>2020-01-01T00:00:00Z</date><key>ratio</key><real>0.75</real>"
        "<key>big</key><integer>8589934592</integer>"
        "<key>list</key><array><integer>5</integer><false/></array>"
        "<key>nested</key><dict><key>a</key><integer>-5</integer></dict>");

TEST(PaneProof, ACellWritesItsKeyWithItsTypeKeepingEverythingElse) {
    const struct {
        const char* key;
        const char* value;
        PlistValue stored;  // None: nothing is written or posted
    } cases[] = {
        {"isEnabled", "NO", PlistValue::boolean(false)},
        {"oldMethod", "1", PlistValue::boolean(true)},
        {"isVibrationsNumber", "s:no", PlistValue::boolean(false)},
        {"firstVibrationNumber", "3", PlistValue::integer(3)},
        {"lastVibrationNumber", "d:2", PlistValue::integer(2)},
        {"vibration1", "f:250.6", PlistValue::integer(251)},
        {"vibration2", "f:249.4", PlistValue::integer(249)},
        {"VibrationDuration", "d:-0.4", PlistValue::integer(0)},
        {"vibration1", "d:nan", PlistValue()},
        {"vibration2", "d:1e12", PlistValue()},
        {"isEnabled", "data", PlistValue()},
        {"minuteMinderSecond", "f:29.6", PlistValue::integer(30)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.key) + " " + c.value);
        withPane(kBeforeWrites, [&](ThrumlineListController* pane) {
            PlistValue expected = readPlistFile(gSettingsFile);
            struct stat before {};
            ASSERT_EQ(::stat(gSettingsFile.c_str(), &before), 0);
            PlistValue atPost;
            proof::setPostWitness(
                [&](const std::string&) { atPost = readPlistFile(gSettingsFile); });

            set(pane, c.key, c.value);
            if (c.stored.isNone()) {
                EXPECT_EQ(readBytes(gSettingsFile), kBeforeWrites);
                EXPECT_TRUE(proof::posts().empty());
                return;
            }
            expected.set(c.key, c.stored);
            const std::string written = readBytes(gSettingsFile);
            EXPECT_EQ(written.rfind("<?xml", 0), 0u);
            EXPECT_TRUE(thrumline::sim::parsePlist(written) == expected)
                << thrumline::sim::parsePlist(written).describe();
            // Announced once, after the file was complete.
            ASSERT_EQ(proof::posts().size(), 1u);
            EXPECT_EQ(proof::posts()[0].name, THRUMLINE_PREFS_CHANGED_NOTIFICATION);
            EXPECT_TRUE(atPost == expected) << atPost.describe();
            // Atomic: a new file took the old one's place, and nothing else
            // was left in the folder.
            struct stat after {};
            ASSERT_EQ(::stat(gSettingsFile.c_str(), &after), 0);
            EXPECT_NE(after.st_ino, before.st_ino);
            const auto folder = std::filesystem::path(gSettingsFile).parent_path();
            EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1);
            expectLibraryPlaysWhatThePaneShows(pane);
        });
    }
}

TEST(PaneProof, AWriteWithoutAFileCreatesItWithThatKeyAlone) {
    withPane("", [](ThrumlineListController* pane) {
        set(pane, "vibration1", "f:119.7");
        EXPECT_TRUE(readPlistFile(gSettingsFile) ==
                    PlistValue::dictionary({{"vibration1", PlistValue::integer(120)}}));
        EXPECT_EQ(rowText(pane, @"vibration1Shown"), "120 ms");
        proof::runUntilIdle();
        expectLibraryPlaysWhatThePaneShows(pane);
    });
}

// An unreadable file is the user's: cells leave it alone, the reset keeps it
// beside the new file, and never over an earlier one.
TEST(PaneProof, ResetMovesAnUnreadableFileAsideAndWritesWhatThePackageInstalls) {
    const std::string garbage = "{ not = a; property list";
    withPane(garbage, [&](ThrumlineListController* pane) {
        const std::string aside =
            std::filesystem::path(gSettingsFile).parent_path().string() + "/com.brindle.thrumline";
        set(pane, "isEnabled", "YES");
        EXPECT_EQ(readBytes(gSettingsFile), garbage);
        EXPECT_TRUE(proof::posts().empty());
        EXPECT_EQ(shown(pane), kDefaultsShown);
        ASSERT_TRUE(showsNotice(pane));

        const std::string installedRoot = proof::fileRoot() + "/installed";
        runPostinst(installedRoot);
        const PlistValue installed = readPlistFile(installedRoot + thrumline::kSettingsPath);
        EXPECT_EQ(installed.entries().size(), std::size_t{thrumline::kSettingKeyCount});
        std::filesystem::remove_all(installedRoot);
        PlistValue atPost;
        proof::setPostWitness([&](const std::string&) { atPost = readPlistFile(gSettingsFile); });
        tap(pane, @"reset");
        EXPECT_EQ(readBytes(aside + ".unreadable.plist"), garbage);
        EXPECT_TRUE(readPlistFile(gSettingsFile) == installed) << readBytes(gSettingsFile);
        ASSERT_EQ(proof::posts().size(), 1u);
        EXPECT_TRUE(atPost == installed);
        EXPECT_FALSE(showsNotice(pane));
        EXPECT_EQ(shown(pane), "isEnabled 1" + kDefaultsShown.substr(11));
        expectLibraryPlaysWhatThePaneShows(pane);

        // Broken again, and the pane opened anew.
        writeBytes(gSettingsFile, "second");
        [pane reloadSpecifiers];
        ASSERT_TRUE(showsNotice(pane));
        tap(pane, @"reset");
        EXPECT_EQ(readBytes(aside + ".unreadable.plist"), garbage);
        EXPECT_EQ(readBytes(aside + ".unreadable-2.plist"), "second");
        EXPECT_TRUE(readPlistFile(gSettingsFile) == installed);
    });
}

// The minder's Play button makes the library minder's request, in each
// output, oldMethod read as the library reads it.
TEST(PaneProof, TheMinderButtonPlaysWhatTheLibrarysMinderPlays) {
    for (const char* oldMethod : {"<false/>", "<string>Yes</string>", "<data>AQ==</data>"}) {
        SCOPED_TRACE(oldMethod);
        const std::string file =
            xml("<key>isEnabled</key><true/><key>isNotRespringing</key><true/>"
                "<key>minuteMinder</key><true/><key>minuteMinderSecond</key><integer>5</integer>"
                "<key>oldMethod</key>" +
                std::string(oldMethod));
        withPane(file, [](ThrumlineListController* pane) {
            connectCall();
            proof::runUntilIdle();
            const std::size_t minute = proof::sounds().size();
            proof::advanceBy(5 * kSecond);
            ASSERT_EQ(proof::sounds().size(), minute + 1);
            tap(pane, @"minderPulse");
            ASSERT_EQ(proof::sounds().size(), minute + 2);
            const proof::SoundRequest& library = proof::sounds()[minute];
            const proof::SoundRequest& played = proof::sounds()[minute + 1];
            EXPECT_EQ(played.soundID, library.soundID);
            EXPECT_EQ(played.withPattern, library.withPattern);
            EXPECT_TRUE(played.unusedWasNil);
            if (library.withPattern) {
                EXPECT_EQ(proof::describePattern(played.pattern), kMinderPulse);
            }
            EXPECT_TRUE(proof::posts().empty()) << "the pane posted a notification";
        });
    }
}

// The respring guard's key belongs to the library: pane writes before,
// inside and after its quiet period keep whatever the guard stored.
TEST(PaneProof, PaneWritesKeepTheRespringGuardsKey) {
    withPane("postinst", [](ThrumlineListController* pane) {
        auto respringFlag = [] { return readPlistFile(gSettingsFile).at("isNotRespringing"); };
        set(pane, "firstVibrationNumber", "1");
        set(pane, "isVibrationsNumber", "YES");
        proof::runUntilIdle();
        hostSends("SpringBoard", "applicationDidFinishLaunching:", nil);
        proof::runUntilIdle();
        EXPECT_EQ(respringFlag(), PlistValue::boolean(false));
        set(pane, "vibration1", "f:150.2");
        EXPECT_EQ(respringFlag(), PlistValue::boolean(false));

        proof::advanceBy(7 * kSecond);
        EXPECT_EQ(respringFlag(), PlistValue::boolean(true));
        set(pane, "vibration2", "80");
        EXPECT_EQ(respringFlag(), PlistValue::boolean(true));
        proof::runUntilIdle();
        expectLibraryPlaysWhatThePaneShows(pane);
    });
}

}  // namespace
