#include <windows.h>

#include "bridge_fixture.h"

void platformPrepareSandbox(std::string&) {}

void platformRemoveSandbox(const std::string& keyPath, const std::string&) {
    RegDeleteKeyA(HKEY_CURRENT_USER, keyPath.c_str());
}

bool platformSandboxExists(const std::string& keyPath) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, keyPath.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}
