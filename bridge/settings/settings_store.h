// The per-user store of the bridge's five persistent settings, behind one small interface.
// Windows: the registry under HKEY_CURRENT_USER\<keyPath>, REG_DWORD values.
// Linux: the text file ${XDG_CONFIG_HOME:-$HOME/.config}/<keyPath without "Software\", with '/'
// for '\'>.conf of `Name=value` lines ("Software\Vantor\Tolvane" -> Vantor/Tolvane.conf).
// [dispatch or main thread only: these do file or registry I/O and may allocate]
#pragma once

#include <cstdint>

struct SettingsKey;  // an open store; opened for one batch of reads or writes, then closed

// Opens the store; null on failure. A missing store opens with no values. On POSIX nothing is
// created until the first write, and anything but a regular file at the path fails without being
// opened; the Windows registry key is created at the open.
SettingsKey* platformOpenSettings(const char* keyPath);
// True and *out set when the value exists and is a 4-byte integer; otherwise *out is untouched.
bool platformReadSetting(SettingsKey* key, const char* name, std::int32_t* out);
// Writes the value (always, whether or not it differs), creating the store when missing; true on
// success.
bool platformWriteSetting(SettingsKey* key, const char* name, std::int32_t value);
// Closes the store; true on success. A null key closes nothing and answers true.
bool platformCloseSettings(SettingsKey* key);
