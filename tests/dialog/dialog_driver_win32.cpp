#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "dialog/resource.h"
#include "dialog_driver.h"

namespace {

const char* const kTitle = "Palisor Bandwick: Tolvane";
const char* const kKey = "Software\\Vantor\\Tolvane";

HWND findDialog() { return FindWindowA(nullptr, kTitle); }

}  // namespace

std::string nativePath(const std::string& path) {
    // The build hands over POSIX paths; under Wine drive Z: is the root of that file system.
    std::string out;
    if (!path.empty() && path[0] == '/') out.append("Z:");
    for (char c : path) out.push_back(c == '/' ? '\\' : c);
    return out;
}

CPluginModule::CPluginModule() = default;
CPluginModule::~CPluginModule() {
    if (handle) FreeLibrary(static_cast<HMODULE>(handle));
}

bool CPluginModule::load(const std::string& path) {
    handle = LoadLibraryA(nativePath(path).c_str());
    return handle != nullptr;
}

AEffect* CPluginModule::create(audioMasterCallback host) {
    using Entry = AEffect* (*)(audioMasterCallback);
    auto entry = reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), "VSTPluginMain")));
    return entry ? entry(host) : nullptr;
}

CPrivateSettings::CPrivateSettings(const std::map<std::string, std::int32_t>& values) {
    place = kKey;
    RegDeleteKeyA(HKEY_CURRENT_USER, kKey);
    HKEY key = nullptr;
    if (RegCreateKeyA(HKEY_CURRENT_USER, kKey, &key) != ERROR_SUCCESS) return;
    for (const auto& [name, value] : values) {
        const DWORD data = static_cast<DWORD>(value);
        RegSetValueExA(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof(data));
    }
    RegCloseKey(key);
}

CPrivateSettings::~CPrivateSettings() { RegDeleteKeyA(HKEY_CURRENT_USER, place.c_str()); }

bool CPrivateSettings::read(const char* name, std::int32_t& value) const {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, place.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    DWORD data = 0, size = sizeof(data), type = 0;
    const bool ok = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) == ERROR_SUCCESS;
    RegCloseKey(key);
    if (ok) value = static_cast<std::int32_t>(data);
    return ok;
}

void enterTestDesktop() {
    if (headless()) return;
    // The default desktop's process may have been started by a program without the display.
    static const HDESK desktop =
        CreateDesktopA("tolvane-dialog-test", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    if (desktop) SetThreadDesktop(desktop);
}

bool waitForDialog(int milliseconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (std::chrono::steady_clock::now() < deadline) {
        const HWND w = findDialog();
        if (w && IsWindowVisible(w)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

bool dialogExists() { return findDialog() != nullptr; }

bool enterSlaveNumber(std::int32_t number) {
    const HWND w = findDialog();
    // Setting the text from this thread is sent to the dialog's thread, where the edit box
    // reports the change as it does for typing.
    return w && SetDlgItemInt(w, IDC_SLAVE, static_cast<UINT>(number), TRUE) != FALSE;
}

bool pressKeys(const std::string& keys) {
    const HWND w = findDialog();
    if (!w) return false;
    const DWORD thread = GetWindowThreadProcessId(w, nullptr);
    for (char k : keys) {
        GUITHREADINFO info{};
        info.cbSize = sizeof(info);
        const HWND target = GetGUIThreadInfo(thread, &info) && info.hwndFocus ? info.hwndFocus : w;
        // Posted as the keyboard would: the dialog's message loop hands them to the dialog manager.
        if (k >= '0' && k <= '9') {
            PostMessageA(target, WM_CHAR, static_cast<WPARAM>(k), 1);
        } else {
            const WPARAM vk = k == 't' ? VK_TAB : k == 'u' ? VK_UP : k == 'd' ? VK_DOWN : VK_ESCAPE;
            PostMessageA(target, WM_KEYDOWN, vk, 1);
            PostMessageA(target, WM_KEYUP, vk, static_cast<LPARAM>(0xC0000001u));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
    return true;
}

bool cancelDialog() {
    const HWND w = findDialog();
    return w && PostMessageA(w, WM_COMMAND, IDCANCEL, 0) != FALSE;
}

std::int32_t shownInputs() {
    const HWND w = findDialog();
    BOOL ok = FALSE;
    const UINT value = w ? GetDlgItemInt(w, IDC_INPUTS, &ok, FALSE) : 0;
    return ok ? static_cast<std::int32_t>(value) : -1;
}

bool headless() {
    const char* name = std::getenv("DISPLAY");
    return !name || !*name;
}

// The Windows graphics driver is chosen when the process starts; a display cannot be hidden later.
CNoDisplay::CNoDisplay() = default;
CNoDisplay::~CNoDisplay() = default;

CPrivateXServer::~CPrivateXServer() = default;
bool CPrivateXServer::start() { return false; }
void CPrivateXServer::stop() {}
