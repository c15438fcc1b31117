// The settings store's contract, the same on every platform.
#include <climits>
#include <cstdint>

#include "bridge/settings/settings_store.h"
#include "tests/bridge/test_settings_store.h"

namespace {

constexpr const char* kNames[] = {"NumInputs", "NumOutputs", "ConfigDlg", "TermSlave", "StereoPins"};
constexpr std::int32_t kUntouched = 0x5A5A5A5A;

TEST_F(SettingsStoreTest, MissingStoreOpensWithNoValuesAndExistsAfterTheFirstWrite) {
    ASSERT_FALSE(storeExists());
    SettingsKey* key = platformOpenSettings(keyPath());
    ASSERT_NE(key, nullptr);
    for (const char* name : kNames) {
        std::int32_t value = kUntouched;
        EXPECT_FALSE(platformReadSetting(key, name, &value)) << name;
        EXPECT_EQ(value, kUntouched) << name;
    }
    EXPECT_TRUE(platformCloseSettings(key));

    // Opened again (whether or not that open made the store), it still holds nothing.
    key = platformOpenSettings(keyPath());
    ASSERT_NE(key, nullptr);
    std::int32_t value = kUntouched;
    EXPECT_FALSE(platformReadSetting(key, "NumInputs", &value));
    EXPECT_EQ(value, kUntouched);
    ASSERT_TRUE(platformWriteSetting(key, "NumInputs", 3));
    EXPECT_TRUE(storeExists());
    EXPECT_TRUE(platformCloseSettings(key));
}

TEST_F(SettingsStoreTest, WrittenValuesReadBackInTheSameBatchAndAfterReopening) {
    const std::int32_t values[] = {3, 16, 0, 1, INT32_MIN, INT32_MAX, -1};
    static_assert(sizeof values / sizeof values[0] >= sizeof kNames / sizeof kNames[0]);

    SettingsKey* key = platformOpenSettings(keyPath());
    ASSERT_NE(key, nullptr);
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(platformWriteSetting(key, kNames[i], values[i])) << kNames[i];
    for (int i = 0; i < 5; ++i) {
        std::int32_t value = kUntouched;
        EXPECT_TRUE(platformReadSetting(key, kNames[i], &value)) << kNames[i];
        EXPECT_EQ(value, values[i]) << kNames[i];
    }
    // A second write of the same name replaces the value; writing it unchanged also succeeds.
    ASSERT_TRUE(platformWriteSetting(key, "NumInputs", -1));
    ASSERT_TRUE(platformWriteSetting(key, "NumInputs", -1));
    EXPECT_TRUE(platformCloseSettings(key));

    key = platformOpenSettings(keyPath());
    ASSERT_NE(key, nullptr);
    const std::int32_t expected[] = {-1, values[1], values[2], values[3], values[4]};
    for (int i = 0; i < 5; ++i) {
        std::int32_t value = kUntouched;
        EXPECT_TRUE(platformReadSetting(key, kNames[i], &value)) << kNames[i];
        EXPECT_EQ(value, expected[i]) << kNames[i];
    }
    EXPECT_TRUE(platformCloseSettings(key));
}

TEST_F(SettingsStoreTest, NullAndEmptyArgumentsFailWithoutHarm) {
    std::int32_t value = kUntouched;
    EXPECT_EQ(platformOpenSettings(nullptr), nullptr);
    EXPECT_FALSE(platformReadSetting(nullptr, "NumInputs", &value));
    EXPECT_FALSE(platformWriteSetting(nullptr, "NumInputs", 1));
    EXPECT_TRUE(platformCloseSettings(nullptr));

    SettingsKey* key = platformOpenSettings(keyPath());
    ASSERT_NE(key, nullptr);
    EXPECT_FALSE(platformWriteSetting(key, nullptr, 1));
    EXPECT_FALSE(platformWriteSetting(key, "", 1));
    EXPECT_FALSE(platformReadSetting(key, nullptr, &value));
    EXPECT_FALSE(platformReadSetting(key, "", &value));
    ASSERT_TRUE(platformWriteSetting(key, "NumInputs", 4));
    EXPECT_FALSE(platformReadSetting(key, "NumInputs", nullptr));
    EXPECT_EQ(value, kUntouched);
    EXPECT_TRUE(platformCloseSettings(key));
}

}  // namespace
