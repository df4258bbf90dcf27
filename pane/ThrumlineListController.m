// References are counted by hand, like the tweak's backend.
#ifdef __has_feature
#if __has_feature(objc_arc)
#error "ThrumlineListController.m counts references by hand: build it with -fno-objc-arc"
#endif
#endif

// The controller is a class made at run time, in the load-time initialiser
// at the end of this file, and every string it names is made at run time:
// class metadata and @"..." strings would hold signed pointers in static
// data in the arm64e slice, which LLVM's linker cannot write.

// dladdr, on Linux too (the proof build).
#define _GNU_SOURCE

#import "ThrumlineListController.h"

#include <AudioToolbox/AudioToolbox.h>
#include <CoreFoundation/CoreFoundation.h>
#include <dlfcn.h>
#include <math.h>
#include <objc/runtime.h>
#include <stdint.h>

#include "tweak/settings/Contract.h"

// AudioToolbox: plays the "VibePattern"/"Intensity" dictionary; no SDK
// header declares it. The second argument is unused and passed as nil.
void AudioServicesPlaySystemSoundWithVibration(SystemSoundID soundID, id unused,
                                               NSDictionary* pattern);

// A string made now, autoreleased.
static NSString* text(const char* utf8) { return [NSString stringWithUTF8String:utf8]; }

static const char* const kChangeNotification = THRUMLINE_PREFS_CHANGED_NOTIFICATION;
// The tweak's pattern sound and its classic vibration.
static const SystemSoundID kVibrateSound = THRUMLINE_VIBRATE_SOUND;
static const SystemSoundID kClassicPulseSound = THRUMLINE_CLASSIC_SOUND;
// The minute minder's pulse in pattern output, in milliseconds.
static const int kMinderPulseMs = THRUMLINE_MINDER_PULSE_MS;

static void postDarwinNotification(NSString* name) {
    CFNotificationCenterPostNotification(CFNotificationCenterGetDarwinNotifyCenter(),
                                         (CFStringRef)name, NULL, NULL, true);
}

static BOOL isNumberOrString(id value) {
    return [value isKindOfClass:[NSNumber class]] || [value isKindOfClass:[NSString class]];
}

// The settings file as a mutable dictionary (autoreleased), read as the tweak
// reads it, or nil: then `*unreadable` says whether a file is there that is
// not a readable dictionary, as opposed to no file at all.
static NSMutableDictionary* readSettings(NSString* path, BOOL* unreadable) {
    NSMutableDictionary* settings = [NSMutableDictionary dictionaryWithContentsOfFile:path];
    *unreadable = settings == nil &&
                  [[NSFileManager defaultManager] attributesOfItemAtPath:path error:NULL] != nil;
    return settings;
}

// XML like every other writer of the file, and atomic: the tweak may read it
// at any moment and must never see half of it.
static BOOL writeSettings(NSDictionary* settings, NSString* path) {
    NSData* xml = [NSPropertyListSerialization dataWithPropertyList:settings
                                                             format:NSPropertyListXMLFormat_v1_0
                                                            options:0
                                                              error:NULL];
    return xml != nil && [xml writeToFile:path atomically:YES];
}

// Moves an unreadable file aside in its folder under a name that says what
// it is, never over an earlier one: the user may still want what it held.
static BOOL moveAside(NSString* path) {
    NSFileManager* files = [NSFileManager defaultManager];
    NSString* stem =
        [[path stringByDeletingPathExtension] stringByAppendingString:text(".unreadable")];
    for (int attempt = 1; attempt <= 100; ++attempt) {
        NSString* aside = attempt == 1 ? [stem stringByAppendingString:text(".plist")]
                                       : [stem stringByAppendingFormat:text("-%d.plist"), attempt];
        if ([files attributesOfItemAtPath:aside error:NULL] != nil) continue;
        return [files moveItemAtPath:path toPath:aside error:NULL];
    }
    return NO;
}

// The value a cell shows for what the file holds, converted as the tweak
// converts it: numbers and strings by their boolValue or intValue, anything
// else (or nothing) as the cell's default, which is the tweak's value for a
// missing key.
// A key marked outsideRangeIsDefault is one the tweak reads as its default
// outside min..max.
static NSNumber* shownValue(id stored, PSSpecifier* specifier) {
    id const fallback = [specifier propertyForKey:text("default")];
    id source = isNumberOrString(stored) ? stored : fallback;
    if (!isNumberOrString(source)) source = nil;
    if ([specifier cellType] == PSSwitchCell) return [NSNumber numberWithBool:[source boolValue]];
    int value = [source intValue];
    if ([[specifier propertyForKey:text("outsideRangeIsDefault")] boolValue] &&
        (value < [[specifier propertyForKey:text("min")] intValue] ||
         value > [[specifier propertyForKey:text("max")] intValue])) {
        value = [fallback intValue];
    }
    return [NSNumber numberWithInt:value];
}

// The value a cell stores, with the type the tweak reads for its key: a
// boolean for a switch, an integer for a segment, a slider's value rounded
// to whole milliseconds. nil for anything else.
static NSNumber* storedValue(id value, PSSpecifier* specifier) {
    if (!isNumberOrString(value)) return nil;
    switch ([specifier cellType]) {
        case PSSwitchCell:
            return [NSNumber numberWithBool:[value boolValue]];
        case PSSegmentCell:
            return [NSNumber numberWithInt:[value intValue]];
        case PSSliderCell: {
            const double rounded = round([value doubleValue]);
            if (!(rounded >= INT32_MIN && rounded <= INT32_MAX)) return nil;  // NaN too
            return [NSNumber numberWithInt:(int32_t)rounded];
        }
        default:
            return nil;
    }
}

static NSString* keyOf(PSSpecifier* specifier) {
    id key = [specifier propertyForKey:text("key")];
    return [key isKindOfClass:[NSString class]] ? key : nil;
}

// The controller's methods, in the order the class gains them below. `self`
// is a ThrumlineListController; `cmd` is unused.

static NSString* settingsPath(id self, SEL cmd) {
    (void)self;
    (void)cmd;
    return text(THRUMLINE_SETTINGS_PATH);
}

// The pane's own bundle, where Root.plist is: a class made at run time
// belongs to no image, so the framework's own answer (the bundle of the
// class's image) would be the Settings app's.
static const char kInThisImage = 0;
static NSBundle* paneBundle(id self, SEL cmd) {
    (void)self;
    (void)cmd;
    Dl_info image;
    if (dladdr(&kInThisImage, &image) == 0 || image.dli_fname == NULL) return nil;
    return [NSBundle bundleWithPath:[text(image.dli_fname) stringByDeletingLastPathComponent]];
}

static BOOL settingsFileIsUnreadable(id self) {
    BOOL unreadable = NO;
    readSettings([[self class] settingsPath], &unreadable);
    return unreadable;
}

// PSListController's list, which -specifiers fills and the framework
// releases; reached through the runtime, as this file declares no class.
static NSMutableArray** specifiersOf(id self) {
    Ivar list = class_getInstanceVariable(object_getClass(self), "_specifiers");
    return list != NULL ? (NSMutableArray**)(void*)((char*)self + ivar_getOffset(list)) : NULL;
}

static NSArray* specifiers(id self, SEL cmd) {
    (void)cmd;
    NSMutableArray** const list = specifiersOf(self);
    if (list == NULL) return nil;
    if (*list == nil) {
        *list = [[self loadSpecifiersFromPlistName:text("Root") target:self] mutableCopy];
        // The notice and the reset button only while the file is unreadable.
        if (!settingsFileIsUnreadable(self)) {
            NSMutableArray* notice = [NSMutableArray array];
            for (PSSpecifier* specifier in* list) {
                if ([[specifier propertyForKey:text("onlyWhenUnreadable")] boolValue]) {
                    [notice addObject:specifier];
                }
            }
            [*list removeObjectsInArray:notice];
        }
    }
    return *list;
}

static id readPreferenceValue(id self, SEL cmd, PSSpecifier* specifier) {
    (void)cmd;
    BOOL unreadable = NO;
    NSDictionary* settings = readSettings([[self class] settingsPath], &unreadable);
    NSString* key = keyOf(specifier);
    return shownValue(key == nil ? nil : [settings objectForKey:key], specifier);
}

// A slider's value as the row above it shows it: whole milliseconds, or
// whole seconds.
static id readMilliseconds(id self, SEL cmd, PSSpecifier* specifier) {
    (void)cmd;
    return
        [NSString stringWithFormat:text("%d ms"), [[self readPreferenceValue:specifier] intValue]];
}

static id readSeconds(id self, SEL cmd, PSSpecifier* specifier) {
    (void)cmd;
    return
        [NSString stringWithFormat:text("%d s"), [[self readPreferenceValue:specifier] intValue]];
}

static void setPreferenceValue(id self, SEL cmd, id value, PSSpecifier* specifier) {
    (void)cmd;
    NSString* const path = [[self class] settingsPath];
    NSString* const key = keyOf(specifier);
    NSNumber* const stored = storedValue(value, specifier);
    if (key == nil || stored == nil) return;
    // Afresh: the tweak's respring guard writes the file too.
    BOOL unreadable = NO;
    NSMutableDictionary* settings = readSettings(path, &unreadable);
    if (unreadable) {
        // Never over a file the user may want back: show the notice instead.
        [self reloadSpecifiers];
        return;
    }
    if (settings == nil) settings = [NSMutableDictionary dictionary];
    [settings setObject:stored forKey:key];
    if (!writeSettings(settings, path)) {
        [self reloadSpecifier:specifier animated:YES];  // back to what the file holds
        return;
    }
    postDarwinNotification(text(kChangeNotification));
    if ([specifier cellType] == PSSliderCell) {
        PSSpecifier* shown = [self specifierForID:[key stringByAppendingString:text("Shown")]];
        if (shown != nil) [self reloadSpecifier:shown animated:NO];
    }
}

static void playPreview(id self, SEL cmd, PSSpecifier* specifier) {
    (void)self;
    (void)cmd;
    id name = [specifier propertyForKey:text("previewNotification")];
    if ([name isKindOfClass:[NSString class]]) postDarwinNotification(name);
}

// The minute minder's pulse, played here as the tweak plays it at each
// minute (by oldMethod as the file holds it now): the tweak observes no
// preview of it.
static void playMinderPulse(id self, SEL cmd, PSSpecifier* specifier) {
    (void)cmd;
    (void)specifier;
    BOOL unreadable = NO;
    id const oldMethod =
        [readSettings([[self class] settingsPath], &unreadable) objectForKey:text("oldMethod")];
    if (isNumberOrString(oldMethod) && [oldMethod boolValue]) {
        AudioServicesPlaySystemSound(kClassicPulseSound);
        return;
    }
    NSMutableArray* const pattern = [NSMutableArray array];
    [pattern addObject:[NSNumber numberWithBool:YES]];
    [pattern addObject:[NSNumber numberWithInt:kMinderPulseMs]];
    NSMutableDictionary* const vibration = [NSMutableDictionary dictionary];
    [vibration setObject:pattern forKey:text("VibePattern")];
    [vibration setObject:[NSNumber numberWithInt:1] forKey:text("Intensity")];
    AudioServicesPlaySystemSoundWithVibration(kVibrateSound, nil, vibration);
}

// Moves the unreadable file aside and writes the settings the package
// installs, so the tweak works again at once.
static void resetSettings(id self, SEL cmd, PSSpecifier* specifier) {
    (void)cmd;
    NSString* const path = [[self class] settingsPath];
    NSDictionary* const installed = [specifier propertyForKey:text("installedSettings")];
    BOOL unreadable = NO;
    NSDictionary* const current = readSettings(path, &unreadable);
    if (current == nil && [installed isKindOfClass:[NSDictionary class]] &&
        (!unreadable || moveAside(path)) && writeSettings(installed, path)) {
        postDarwinNotification(text(kChangeNotification));
    }
    [self reloadSpecifiers];
}

// A method's implementation: compilers accept the conversion through
// void (*)(void) without a warning.
#define method(function) ((IMP)(void (*)(void))(function))

// ThrumlineListController, made before Settings asks for Info.plist's
// NSPrincipalClass: the loader runs this as it loads the bundle, after the
// Preferences framework it links. Classes and selectors by name: GCC's
// runtime (the Linux proof build) may not have set up this file's own
// references yet when it runs. Each method's types as the runtime encodes
// them.
__attribute__((constructor)) static void registerController(void) {
    Class controller =
        objc_allocateClassPair(objc_getClass("PSListController"), "ThrumlineListController", 0);
    if (!controller) return;  // a class of that name is there already
    class_addMethod(object_getClass((id)controller), sel_registerName("settingsPath"),
                    method(settingsPath), "@#:");
    class_addMethod(controller, sel_registerName("bundle"), method(paneBundle), "@@:");
    class_addMethod(controller, sel_registerName("specifiers"), method(specifiers), "@@:");
    class_addMethod(controller, sel_registerName("readPreferenceValue:"),
                    method(readPreferenceValue), "@@:@");
    class_addMethod(controller, sel_registerName("readMilliseconds:"), method(readMilliseconds),
                    "@@:@");
    class_addMethod(controller, sel_registerName("readSeconds:"), method(readSeconds), "@@:@");
    class_addMethod(controller, sel_registerName("setPreferenceValue:specifier:"),
                    method(setPreferenceValue), "v@:@@");
    class_addMethod(controller, sel_registerName("playPreview:"), method(playPreview), "v@:@");
    class_addMethod(controller, sel_registerName("playMinderPulse:"), method(playMinderPulse),
                    "v@:@");
    class_addMethod(controller, sel_registerName("resetSettings:"), method(resetSettings), "v@:@");
    objc_registerClassPair(controller);
}
