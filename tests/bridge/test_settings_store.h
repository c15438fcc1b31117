// A fresh, empty place for the settings store in every test, set up per platform
// (test_settings_posix.cpp: a temporary XDG_CONFIG_HOME; test_settings_win32.cpp: a test-unique
// key under HKEY_CURRENT_USER\Software\Vantor). Everything is removed again afterwards.
#pragma once

#include <gtest/gtest.h>

#include <string>

class SettingsStoreTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The key path to open; nothing exists under it when the test starts.
    const char* keyPath() const { return keyPath_.c_str(); }
    // True when the store behind keyPath() exists (the file, or the registry key).
    bool storeExists() const;

    std::string keyPath_;
    std::string scratch_;  // POSIX: the temporary configuration folder
    std::string savedXdg_;
    bool hadXdg_ = false;
};
