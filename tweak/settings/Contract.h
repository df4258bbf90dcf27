/* What the library, its settings pane, the simulator and the tools agree on:
 * the settings file and its keys, the Darwin notifications, the sounds and
 * the fixed figures. Plain C, so that the pane (Objective-C) includes it too;
 * everything else takes these values from here and writes none of them again.
 */
#ifndef THRUMLINE_SETTINGS_CONTRACT_H
#define THRUMLINE_SETTINGS_CONTRACT_H

/* The one settings file; no other location is tried. */
#define THRUMLINE_SETTINGS_PATH "/var/mobile/Library/Preferences/com.brindle.thrumline.plist"

/* Darwin notifications: the pane posts all five, the library observes them
 * and posts only the change notification (after its own writes). */
#define THRUMLINE_PREFS_CHANGED_NOTIFICATION "com.brindle.thrumline.prefschanged"
#define THRUMLINE_VIB1_PREVIEW_NOTIFICATION "com.brindle.thrumline.vib1Preview"
#define THRUMLINE_VIB2_PREVIEW_NOTIFICATION "com.brindle.thrumline.vib2Preview"
#define THRUMLINE_VIB3_PREVIEW_NOTIFICATION "com.brindle.thrumline.vib3Preview"
#define THRUMLINE_VIB4_PREVIEW_NOTIFICATION "com.brindle.thrumline.vib4Preview"
/* All five, in the order the library registers its observers at start-up. */
#define THRUMLINE_NOTIFICATIONS                                                   \
    THRUMLINE_PREFS_CHANGED_NOTIFICATION, THRUMLINE_VIB1_PREVIEW_NOTIFICATION,    \
        THRUMLINE_VIB2_PREVIEW_NOTIFICATION, THRUMLINE_VIB3_PREVIEW_NOTIFICATION, \
        THRUMLINE_VIB4_PREVIEW_NOTIFICATION

/* The settings keys, in the order a load reads them:
 * X(key, type, value when missing, value before the first load).
 * The type is BOOLEAN or INTEGER (a 32-bit signed integer).
 * The first four switches start true although a missing key reads false:
 * the tweak has always started that way, and the first load, which the loader
 * runs before any hook can fire, replaces them. */
#define THRUMLINE_SETTING_KEYS(X)           \
    X(isEnabled, BOOLEAN, 0, 1)             \
    X(isNotRespringing, BOOLEAN, 0, 1)      \
    X(isVibrationsNumber, BOOLEAN, 0, 1)    \
    X(oldMethod, BOOLEAN, 0, 1)             \
    X(firstVibrationNumber, INTEGER, 0, 0)  \
    X(lastVibrationNumber, INTEGER, 0, 0)   \
    X(VibrationDuration, INTEGER, 200, 200) \
    X(vibration1, INTEGER, 300, 300)        \
    X(vibration2, INTEGER, 300, 300)        \
    X(connectOutgoingOnly, BOOLEAN, 0, 0)   \
    X(minuteMinder, BOOLEAN, 0, 0)          \
    X(minuteMinderSecond, INTEGER, THRUMLINE_MINDER_DEFAULT_SECOND, THRUMLINE_MINDER_DEFAULT_SECOND)

/* AudioToolbox's system sounds: the vibrate sound that plays a pattern
 * dictionary ("VibePattern", "Intensity"), and the classic vibration. */
#define THRUMLINE_VIBRATE_SOUND 4095
#define THRUMLINE_CLASSIC_SOUND 1352
#define THRUMLINE_PATTERN_INTENSITY 1

/* Vibration number 3, the fixed rhythm: milliseconds on and off in turn,
 * starting on. Numbers 0 to 2 are one to three pulses of the slot's length,
 * VibrationDuration apart. */
#define THRUMLINE_RHYTHM_FIGURE_MS 50, 100, 50, 300, 50, 300, 50, 100, 50

/* The minute minder: its pulse in pattern output (classic output plays the
 * classic sound), and the second it takes when minuteMinderSecond is outside
 * 1..59. */
#define THRUMLINE_MINDER_PULSE_MS 50
#define THRUMLINE_MINDER_DEFAULT_SECOND 50

#endif
