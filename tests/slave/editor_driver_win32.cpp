#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "tests/slave/editor_driver.h"

namespace editor_driver {

// The default desktop's process may have been started without the display (Wine starts it
// with the first program of a run): the test moves to a desktop of its own, which the slave it
// starts from this thread inherits.
bool available() {
    static const bool entered = [] {
        if (std::getenv("TOLVANE_TEST_NO_XVFB") != nullptr) return false;  // no display for the desktop
        const HDESK desktop = CreateDesktopA("tolvane-editor-test", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
        return desktop != nullptr && SetThreadDesktop(desktop) != FALSE;
    }();
    return entered;
}

bool waitForWindow(const std::string& title, bool present, std::uint32_t ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while ((FindWindowA(nullptr, title.c_str()) != nullptr) != present) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

bool requestClose(const std::string& title) {
    const HWND window = FindWindowA(nullptr, title.c_str());
    return window != nullptr && PostMessageA(window, WM_CLOSE, 0, 0) != FALSE;
}

bool canReopen() { return false; }

bool requestReopen(long) { return false; }

bool endProcess(long processId) {
    const HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(processId));
    if (process == nullptr) return false;
    const bool ended = TerminateProcess(process, 9) != FALSE;
    CloseHandle(process);
    return ended;
}

}  // namespace editor_driver
