// The settings store on Windows: REG_DWORD values under HKEY_CURRENT_USER\<keyPath>.
//
// The key is opened (or created) for one batch of reads or writes and closed after it. A value is
// read into a 4-byte buffer whatever type the registry reports: data longer than 4 bytes fails,
// shorter data is taken as the low bytes of a little-endian integer whose other bytes are zero.
#include "bridge/settings/settings_store.h"

#include <windows.h>

#include <new>

struct SettingsKey {
    HKEY key;
};

// [main or dispatch thread] Opens HKEY_CURRENT_USER\<keyPath>, creating it when missing.
SettingsKey* platformOpenSettings(const char* keyPath) {
    if (keyPath == nullptr) return nullptr;  // a null sub-key would hand out HKEY_CURRENT_USER itself
    HKEY key = nullptr;
    if (RegCreateKeyA(HKEY_CURRENT_USER, keyPath, &key) != ERROR_SUCCESS) return nullptr;
    auto* settings = new (std::nothrow) SettingsKey{key};
    if (settings == nullptr) RegCloseKey(key);
    return settings;
}

// [main or dispatch thread] *out changes only when the whole read succeeded.
bool platformReadSetting(SettingsKey* key, const char* name, std::int32_t* out) {
    // An empty or null name would address the key's unnamed default value, which is none of ours.
    if (key == nullptr || name == nullptr || name[0] == '\0' || out == nullptr) return false;
    // Zeroed first: a value of fewer than 4 bytes fills only the low bytes, and the rest must not
    // come from whatever the buffer held before.
    BYTE data[4] = {0, 0, 0, 0};
    DWORD type = 0;
    DWORD size = sizeof data;
    if (RegQueryValueExA(key->key, name, nullptr, &type, data, &size) != ERROR_SUCCESS) return false;
    const std::uint32_t bits = std::uint32_t{data[0]} | std::uint32_t{data[1]} << 8 | std::uint32_t{data[2]} << 16 |
                         std::uint32_t{data[3]} << 24;
    *out = static_cast<std::int32_t>(bits);
    return true;
}

// [main or dispatch thread] Stores the value as a REG_DWORD, whether or not it changed.
bool platformWriteSetting(SettingsKey* key, const char* name, std::int32_t value) {
    if (key == nullptr || name == nullptr || name[0] == '\0') return false;
    const auto bits = static_cast<std::uint32_t>(value);
    const BYTE data[4] = {static_cast<BYTE>(bits), static_cast<BYTE>(bits >> 8), static_cast<BYTE>(bits >> 16),
                          static_cast<BYTE>(bits >> 24)};
    return RegSetValueExA(key->key, name, 0, REG_DWORD, data, sizeof data) == ERROR_SUCCESS;
}

// [main or dispatch thread]
bool platformCloseSettings(SettingsKey* key) {
    if (key == nullptr) return true;
    const bool closed = RegCloseKey(key->key) == ERROR_SUCCESS;
    delete key;
    return closed;
}
