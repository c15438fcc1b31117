#include <windows.h>

#include "tools/slave/stop_signal.h"

namespace {

std::atomic<bool>* stopFlag = nullptr;
HANDLE stoppedEvent = nullptr;  // manual reset; set by notifyStopped
constexpr DWORD kCloseGraceMs = 4000;  // Windows ends a closing console's processes after about 5 s

BOOL WINAPI onConsoleControl(DWORD type) {
    if (stopFlag == nullptr) return FALSE;
    stopFlag->store(true, std::memory_order_release);
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
        // Returning ends the process: hold on until the slave mark is cleared.
        if (stoppedEvent != nullptr) WaitForSingleObject(stoppedEvent, kCloseGraceMs);
    }
    return TRUE;
}

}  // namespace

bool installStopHandlers(std::atomic<bool>& flag) {
    stopFlag = &flag;
    stoppedEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    // A process started in a new process group inherits Ctrl-C as ignored; take it back.
    SetConsoleCtrlHandler(nullptr, FALSE);
    return SetConsoleCtrlHandler(onConsoleControl, TRUE) != 0;
}

void notifyStopped() {
    if (stoppedEvent != nullptr) SetEvent(stoppedEvent);
}
