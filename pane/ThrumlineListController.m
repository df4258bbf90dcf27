// References are counted by hand, like the tweak's backend.
#ifdef __has_feature
#if __has_feature(objc_arc)
#error "ThrumlineListController.m counts references by hand: build it with -fno-objc-arc"
#endif
#endif

#import "ThrumlineListController.h"

#include <AudioToolbox/AudioToolbox.h>
#include <CoreFoundation/CoreFoundation.h>
#include <math.h>
#include <stdint.h>

#include "settings/Contract.h"

// AudioToolbox: plays the "VibePattern"/"Intensity" dictionary; no SDK
// header declares it. The second argument is unused and passed as nil.
void AudioServicesPlaySystemSoundWithVibration(SystemSoundID soundID, id unused,
                                               NSDictionary* pattern);

static NSString* const kChangeNotification = @THRUMLINE_PREFS_CHANGED_NOTIFICATION;
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
    NSString* stem = [[path stringByDeletingPathExtension] stringByAppendingString:@".unreadable"];
    for (int attempt = 1; attempt <= 100; ++attempt) {
        NSString* aside = attempt == 1 ? [stem stringByAppendingString:@".plist"]
                                       : [stem stringByAppendingFormat:@"-%d.plist", attempt];
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
    id const fallback = [specifier propertyForKey:@"default"];
    id source = isNumberOrString(stored) ? stored : fallback;
    if (!isNumberOrString(source)) source = nil;
    if ([specifier cellType] == PSSwitchCell) return [NSNumber numberWithBool:[source boolValue]];
    int value = [source intValue];
    if ([[specifier propertyForKey:@"outsideRangeIsDefault"] boolValue] &&
        (value < [[specifier propertyForKey:@"min"] intValue] ||
         value > [[specifier propertyForKey:@"max"] intValue])) {
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
    id key = [specifier propertyForKey:@"key"];
    return [key isKindOfClass:[NSString class]] ? key : nil;
}

@implementation ThrumlineListController

+ (NSString*)settingsPath {
    return @THRUMLINE_SETTINGS_PATH;
}

- (BOOL)settingsFileIsUnreadable {
    BOOL unreadable = NO;
    readSettings([[self class] settingsPath], &unreadable);
    return unreadable;
}

- (NSArray*)specifiers {
    if (_specifiers == nil) {
        _specifiers = [[self loadSpecifiersFromPlistName:@"Root" target:self] mutableCopy];
        // The notice and the reset button only while the file is unreadable.
        if (![self settingsFileIsUnreadable]) {
            NSMutableArray* notice = [NSMutableArray array];
            for (PSSpecifier* specifier in _specifiers) {
                if ([[specifier propertyForKey:@"onlyWhenUnreadable"] boolValue]) {
                    [notice addObject:specifier];
                }
            }
            [_specifiers removeObjectsInArray:notice];
        }
    }
    return _specifiers;
}

- (id)readPreferenceValue:(PSSpecifier*)specifier {
    BOOL unreadable = NO;
    NSDictionary* settings = readSettings([[self class] settingsPath], &unreadable);
    NSString* key = keyOf(specifier);
    return shownValue(key == nil ? nil : [settings objectForKey:key], specifier);
}

// A slider's value as the row above it shows it: whole milliseconds, or
// whole seconds.
- (id)readMilliseconds:(PSSpecifier*)specifier {
    return [NSString stringWithFormat:@"%d ms", [[self readPreferenceValue:specifier] intValue]];
}

- (id)readSeconds:(PSSpecifier*)specifier {
    return [NSString stringWithFormat:@"%d s", [[self readPreferenceValue:specifier] intValue]];
}

- (void)setPreferenceValue:(id)value specifier:(PSSpecifier*)specifier {
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
    postDarwinNotification(kChangeNotification);
    if ([specifier cellType] == PSSliderCell) {
        PSSpecifier* shown = [self specifierForID:[key stringByAppendingString:@"Shown"]];
        if (shown != nil) [self reloadSpecifier:shown animated:NO];
    }
}

- (void)playPreview:(PSSpecifier*)specifier {
    id name = [specifier propertyForKey:@"previewNotification"];
    if ([name isKindOfClass:[NSString class]]) postDarwinNotification(name);
}

// The minute minder's pulse, played here as the tweak plays it at each
// minute (by oldMethod as the file holds it now): the tweak observes no
// preview of it.
- (void)playMinderPulse:(PSSpecifier*)specifier {
    (void)specifier;
    BOOL unreadable = NO;
    id const oldMethod =
        [readSettings([[self class] settingsPath], &unreadable) objectForKey:@"oldMethod"];
    if (isNumberOrString(oldMethod) && [oldMethod boolValue]) {
        AudioServicesPlaySystemSound(kClassicPulseSound);
        return;
    }
    NSMutableArray* const pattern = [NSMutableArray array];
    [pattern addObject:[NSNumber numberWithBool:YES]];
    [pattern addObject:[NSNumber numberWithInt:kMinderPulseMs]];
    NSMutableDictionary* const vibration = [NSMutableDictionary dictionary];
    [vibration setObject:pattern forKey:@"VibePattern"];
    [vibration setObject:[NSNumber numberWithInt:1] forKey:@"Intensity"];
    AudioServicesPlaySystemSoundWithVibration(kVibrateSound, nil, vibration);
}

// Moves the unreadable file aside and writes the settings the package
// installs, so the tweak works again at once.
- (void)resetSettings:(PSSpecifier*)specifier {
    NSString* const path = [[self class] settingsPath];
    NSDictionary* const installed = [specifier propertyForKey:@"installedSettings"];
    BOOL unreadable = NO;
    NSDictionary* const current = readSettings(path, &unreadable);
    if (current == nil && [installed isKindOfClass:[NSDictionary class]] &&
        (!unreadable || moveAside(path)) && writeSettings(installed, path)) {
        postDarwinNotification(kChangeNotification);
    }
    [self reloadSpecifiers];
}

@end
