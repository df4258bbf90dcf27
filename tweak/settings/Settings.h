// The settings store: the settings file, its keys, and the in-memory
// values every other part of the library reads at the moment of use.
#pragma once

#include <cstdint>

#include "tweak/platform/HostServices.h"
#include "tweak/settings/Contract.h"

namespace thrumline {

// Where the settings pane keeps the settings; no other location is tried.
constexpr const char* kSettingsPath = THRUMLINE_SETTINGS_PATH;
// The key the respring guard writes.
constexpr const char* kIsNotRespringingKey = "isNotRespringing";

// The in-memory settings, one field per key, named as the key. Written only
// by refreshPrefs; read directly by everyone else, never cached. The fields
// are the keys of tweak/settings/Contract.h, in its order.
#define THRUMLINE_FIELD_TYPE_BOOLEAN bool
#define THRUMLINE_FIELD_TYPE_INTEGER std::int32_t
#define THRUMLINE_FIELD(key, type, missing, initial) THRUMLINE_FIELD_TYPE_##type key;
struct PrefsValues {
    THRUMLINE_SETTING_KEYS(THRUMLINE_FIELD)
};
#undef THRUMLINE_FIELD
#undef THRUMLINE_FIELD_TYPE_BOOLEAN
#undef THRUMLINE_FIELD_TYPE_INTEGER

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
#define THRUMLINE_COUNT_KEY(key, type, missing, initial) +1
constexpr int kSettingKeyCount = 0 THRUMLINE_SETTING_KEYS(THRUMLINE_COUNT_KEY);
#undef THRUMLINE_COUNT_KEY
extern const SettingKey kSettingKeys[kSettingKeyCount];

// A value as a load reads a Boolean key: its boolValue, or `missing` when it
// is absent or cannot answer boolValue (`boolValueSel`), so that no settings
// file can make the host raise an unrecognized selector.
inline bool readBoolean(HostServices& h, Object value, Selector boolValueSel, bool missing) {
    return value != nullptr && h.respondsToSelector(value, boolValueSel) ? h.boolValue(value)
                                                                         : missing;
}

// The change notification's callback: ignores its five values and reloads.
void PreferencesChangedCallback(NotificationCenter center, void* observer, Object name,
                                const void* object, Object userInfo);

}  // namespace thrumline

// Loads the settings file and replaces the held dictionary and every value. The one
// function the library exports.
extern "C" __attribute__((visibility("default"))) void refreshPrefs();
