#include "tweak/settings/Settings.h"

namespace thrumline {

#define THRUMLINE_INITIAL_VALUE(key, type, missing, initial) /*key=*/ initial,
PrefsValues prefsValues = {THRUMLINE_SETTING_KEYS(THRUMLINE_INITIAL_VALUE)};
#undef THRUMLINE_INITIAL_VALUE

StrongRef prefs;

namespace {

constexpr SettingKey row(const char* key, bool PrefsValues::*field, std::int32_t missing) {
    return {key, SettingType::Boolean, field, nullptr, missing};
}
constexpr SettingKey row(const char* key, std::int32_t PrefsValues::*field, std::int32_t missing) {
    return {key, SettingType::Integer, nullptr, field, missing};
}

}  // namespace

#define THRUMLINE_KEY_ROW(key, type, missing, initial) row(#key, &PrefsValues::key, missing),
const SettingKey kSettingKeys[kSettingKeyCount] = {THRUMLINE_SETTING_KEYS(THRUMLINE_KEY_ROW)};
#undef THRUMLINE_KEY_ROW

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
        // dictionary) counts as missing.
        if (row.type == SettingType::Boolean) {
            prefsValues.*row.booleanField =
                readBoolean(h, value, boolValueSel, row.missingValue != 0);
        } else {
            prefsValues.*row.integerField =
                value != nullptr && h.respondsToSelector(value, intValueSel) ? h.intValue(value)
                                                                             : row.missingValue;
        }
    }
}
