#include "settings/Settings.h"

namespace thrumline {

PrefsValues prefsValues = {
    /*isEnabled=*/true,
    /*isNotRespringing=*/true,
    /*isVibrationsNumber=*/true,
    /*oldMethod=*/true,
    /*firstVibrationNumber=*/0,
    /*lastVibrationNumber=*/0,
    /*VibrationDuration=*/200,
    /*vibration1=*/300,
    /*vibration2=*/300,
    /*connectOutgoingOnly=*/false,
    /*minuteMinder=*/false,
    /*minuteMinderSecond=*/50,
};

StrongRef prefs;

const SettingKey kSettingKeys[kSettingKeyCount] = {
    {"isEnabled", SettingType::Boolean, &PrefsValues::isEnabled, nullptr, 0},
    {"isNotRespringing", SettingType::Boolean, &PrefsValues::isNotRespringing, nullptr, 0},
    {"isVibrationsNumber", SettingType::Boolean, &PrefsValues::isVibrationsNumber, nullptr, 0},
    {"oldMethod", SettingType::Boolean, &PrefsValues::oldMethod, nullptr, 0},
    {"firstVibrationNumber", SettingType::Integer, nullptr, &PrefsValues::firstVibrationNumber, 0},
    {"lastVibrationNumber", SettingType::Integer, nullptr, &PrefsValues::lastVibrationNumber, 0},
    {"VibrationDuration", SettingType::Integer, nullptr, &PrefsValues::VibrationDuration, 200},
    {"vibration1", SettingType::Integer, nullptr, &PrefsValues::vibration1, 300},
    {"vibration2", SettingType::Integer, nullptr, &PrefsValues::vibration2, 300},
    {"connectOutgoingOnly", SettingType::Boolean, &PrefsValues::connectOutgoingOnly, nullptr, 0},
    {"minuteMinder", SettingType::Boolean, &PrefsValues::minuteMinder, nullptr, 0},
    {"minuteMinderSecond", SettingType::Integer, nullptr, &PrefsValues::minuteMinderSecond, 50},
};

void PreferencesChangedCallback(NotificationCenter, void*, Object, const void*, Object) {
    refreshPrefs();
}

}  // namespace thrumline

extern "C" void refreshPrefs() {
    using namespace thrumline;
    HostServices& h = host();
    // Assigning keeps the new dictionary before the old one is released.
    prefs = h.initWithContentsOfFile(kSettingsPath);

    const Selector boolValueSel = h.sel_registerName("boolValue");
    const Selector intValueSel = h.sel_registerName("intValue");
    for (const SettingKey& row : kSettingKeys) {
        Object value = h.objectForKeyedSubscript(prefs.get(), row.key);
        // A value that cannot answer the conversion (data, date, array,
        // dictionary) counts as missing, so no settings file can make the
        // host raise an unrecognized selector.
        if (row.type == SettingType::Boolean) {
            prefsValues.*row.booleanField =
                value != nullptr && h.respondsToSelector(value, boolValueSel)
                    ? h.boolValue(value)
                    : row.missingValue != 0;
        } else {
            prefsValues.*row.integerField =
                value != nullptr && h.respondsToSelector(value, intValueSel) ? h.intValue(value)
                                                                             : row.missingValue;
        }
    }
}
