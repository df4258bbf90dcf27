// The settings store: the settings file, its keys, and the in-memory
// values every other part of the library reads at the moment of use.
#pragma once

#include <cstdint>

#include "host/HostServices.h"

namespace thrumline {

// Where the settings pane keeps the settings; no other location is tried.
constexpr const char* kSettingsPath = "/var/mobile/Library/Preferences/com.brindle.thrumline.plist";
// The key the respring guard writes.
constexpr const char* kIsNotRespringingKey = "isNotRespringing";

// The in-memory settings, one field per key, named as the key. Written only
// by refreshPrefs; read directly by everyone else, never cached.
struct PrefsValues {
    bool isEnabled;
    bool isNotRespringing;
    bool isVibrationsNumber;
    bool oldMethod;
    std::int32_t firstVibrationNumber;
    std::int32_t lastVibrationNumber;
    std::int32_t VibrationDuration;
    std::int32_t vibration1;
    std::int32_t vibration2;
    // Optional features, off when their keys are missing.
    bool connectOutgoingOnly;         // the connected vibration only for outgoing calls
    bool minuteMinder;                // a short pulse once a minute during a call
    std::int32_t minuteMinderSecond;  // its second within each minute; 1..59, else 50
};

extern PrefsValues prefsValues;

// The dictionary the last load read, or nothing when that load found no
// readable dictionary. The store holds the only reference.
extern StrongRef prefs;

enum class SettingType { Boolean, Integer };

// One row of the settings table: a key, how it is read, and the value it
// takes when it is missing from the file.
struct SettingKey {
    const char* key;
    SettingType type;
    bool PrefsValues::*booleanField;          // Boolean keys
    std::int32_t PrefsValues::*integerField;  // Integer keys
    std::int32_t missingValue;
};

// The keys, in the order a load reads them.
constexpr int kSettingKeyCount = 12;
extern const SettingKey kSettingKeys[kSettingKeyCount];

// The change notification's callback: ignores its five values and reloads.
void PreferencesChangedCallback(NotificationCenter center, void* observer, Object name,
                                const void* object, Object userInfo);

}  // namespace thrumline

// Loads the settings file and replaces the held dictionary and every value. The one
// function the library exports.
extern "C" __attribute__((visibility("default"))) void refreshPrefs();
