// The settings store in the Windows registry: the value types it writes and which stored data it
// accepts when reading. Every test works under its own key below HKCU\Software\Vantor.
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "bridge/settings/settings_store.h"
#include "tests/bridge/test_settings_store.h"

// ---- the fixture: a test-unique key, deleted afterwards ----

void SettingsStoreTest::SetUp() {
    static int counter = 0;
    keyPath_ = "Software\\Vantor\\TolvaneTest_" + std::to_string(GetCurrentProcessId()) + "_" +
               std::to_string(counter++);
    RegDeleteKeyA(HKEY_CURRENT_USER, keyPath_.c_str());
}

void SettingsStoreTest::TearDown() { RegDeleteKeyA(HKEY_CURRENT_USER, keyPath_.c_str()); }

bool SettingsStoreTest::storeExists() const {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, keyPath_.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

namespace {

constexpr std::int32_t kUntouched = 0x5A5A5A5A;

class RegistrySettingsTest : public SettingsStoreTest {
protected:
    // Stores raw data of any type, bypassing the store.
    void putValue(const char* name, DWORD type, const void* data, DWORD size) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, keyPath(), &key), ERROR_SUCCESS);
        EXPECT_EQ(RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
        RegCloseKey(key);
    }
    bool readOnce(const char* name, std::int32_t* out) {
        SettingsKey* key = platformOpenSettings(keyPath());
        if (key == nullptr) return false;
        const bool ok = platformReadSetting(key, name, out);
        EXPECT_TRUE(platformCloseSettings(key));
        return ok;
    }
};

TEST_F(RegistrySettingsTest, WritesAreFourByteDwordValues) {
    SettingsKey* key = platformOpenSettings(keyPath());
    ASSERT_NE(key, nullptr);
    ASSERT_TRUE(platformWriteSetting(key, "NumOutputs", -2));
    ASSERT_TRUE(platformCloseSettings(key));

    HKEY raw = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, keyPath(), 0, KEY_READ, &raw), ERROR_SUCCESS);
    DWORD type = 0;
    BYTE data[16] = {};
    DWORD size = sizeof data;
    EXPECT_EQ(RegQueryValueExA(raw, "NumOutputs", nullptr, &type, data, &size), ERROR_SUCCESS);
    RegCloseKey(raw);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    ASSERT_EQ(size, 4u);
    const BYTE expected[4] = {0xFE, 0xFF, 0xFF, 0xFF};  // little-endian -2
    EXPECT_EQ(std::memcmp(data, expected, 4), 0);
}

TEST_F(RegistrySettingsTest, DataOfUpToFourBytesReadsWhateverItsTypeAndLongerDataFails) {
    const DWORD dword = 0x01020304;
    putValue("Dword", REG_DWORD, &dword, sizeof dword);
    const BYTE twoBytes[2] = {0x34, 0x12};
    putValue("Short", REG_BINARY, twoBytes, sizeof twoBytes);
    putValue("Empty", REG_BINARY, nullptr, 0);
    const char shortText[] = "7";
    putValue("ShortText", REG_SZ, shortText, sizeof shortText);
    const char longText[] = "sixteen or so";
    putValue("LongText", REG_SZ, longText, sizeof longText);
    const std::uint64_t qword = 5;
    putValue("Qword", REG_QWORD, &qword, sizeof qword);
    const BYTE fiveBytes[5] = {1, 0, 0, 0, 0};
    putValue("Five", REG_BINARY, fiveBytes, sizeof fiveBytes);

    std::int32_t value = kUntouched;
    EXPECT_TRUE(readOnce("Dword", &value));
    EXPECT_EQ(value, 0x01020304);
    // Short data fills the low bytes; the others are zero, not left over from before.
    value = kUntouched;
    EXPECT_TRUE(readOnce("Short", &value));
    EXPECT_EQ(value, 0x1234);
    value = kUntouched;
    EXPECT_TRUE(readOnce("Empty", &value));
    EXPECT_EQ(value, 0);
    value = kUntouched;
    EXPECT_TRUE(readOnce("ShortText", &value));  // the type is not looked at: "7\0" is 0x0037
    EXPECT_EQ(value, 0x37);

    for (const char* name : {"LongText", "Qword", "Five", "Missing"}) {
        value = kUntouched;
        EXPECT_FALSE(readOnce(name, &value)) << name;
        EXPECT_EQ(value, kUntouched) << name;
    }
}

}  // namespace
