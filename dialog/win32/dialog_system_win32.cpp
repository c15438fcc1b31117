// The dialog on Windows: the Windows dialog manager runs the template IDD_CONFIG from this
// module's resources (win32/config.rc) and calls dialogProc through a thin trampoline.
#include <windows.h>

#include <commctrl.h>

#include "dialog/config_dialog.h"
#include "dialog/wait_dlg.h"
#include "frame/module.h"

namespace {

class CWin32DialogSystem : public CDialogSystem {
public:
    DialogResult runModal(int templateId, CWaitDlg* dialog) override;

    void setUserData(DialogWindow window, void* data) override {
        SetWindowLongPtrA(hwndOf(window), DWLP_USER, reinterpret_cast<LONG_PTR>(data));
    }
    void* userData(DialogWindow window) override {
        return reinterpret_cast<void*>(GetWindowLongPtrA(hwndOf(window), DWLP_USER));
    }
    void setItemInt(DialogWindow window, int id, std::uint32_t value, bool isSigned) override {
        SetDlgItemInt(hwndOf(window), id, value, isSigned ? TRUE : FALSE);
    }
    std::uint32_t itemInt(DialogWindow window, int id, bool isSigned) override {
        return GetDlgItemInt(hwndOf(window), id, nullptr, isSigned ? TRUE : FALSE);
    }
    void setCheck(DialogWindow window, int id, int state) override {
        SendDlgItemMessageA(hwndOf(window), id, BM_SETCHECK, static_cast<WPARAM>(state), 0);
    }
    int checkState(DialogWindow window, int id) override {
        return static_cast<int>(SendDlgItemMessageA(hwndOf(window), id, BM_GETCHECK, 0, 0));
    }
    void setUpDownRange(DialogWindow window, int id, int lower, int upper) override {
        SendDlgItemMessageA(hwndOf(window), id, UDM_SETRANGE, 0, upDownRangeParam(lower, upper));
    }
    bool setTimer(DialogWindow window, unsigned id, unsigned milliseconds) override {
        return SetTimer(hwndOf(window), id, milliseconds, nullptr) != 0;
    }
    bool killTimer(DialogWindow window, unsigned id) override { return KillTimer(hwndOf(window), id) != FALSE; }
    bool post(DialogWindow window, unsigned message, DialogWParam wparam, DialogLParam lparam) override {
        return PostMessageA(hwndOf(window), message, wparam, lparam) != FALSE;
    }
    DialogResult send(DialogWindow window, unsigned message, DialogWParam wparam, DialogLParam lparam) override {
        return SendMessageA(hwndOf(window), message, wparam, lparam);
    }
    bool end(DialogWindow window, DialogResult result) override { return EndDialog(hwndOf(window), result) != FALSE; }

private:
    static HWND hwndOf(DialogWindow window) { return static_cast<HWND>(window); }
};

CWin32DialogSystem windowsSystem;

// [main thread] Called by the dialog manager for every message of the dialog window.
INT_PTR CALLBACK dialogTrampoline(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    return dialogProc(windowsSystem, window, message, wparam, lparam);
}

DialogResult CWin32DialogSystem::runModal(int templateId, CWaitDlg* dialog) {
    // The template holds up-down controls, whose window class exists only once the common
    // controls have been registered; a host that never did so would make the dialog fail.
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_UPDOWN_CLASS};
    InitCommonControlsEx(&controls);
    return DialogBoxParamA(static_cast<HINSTANCE>(moduleHandle), MAKEINTRESOURCEA(templateId), GetActiveWindow(),
                           dialogTrampoline, reinterpret_cast<LPARAM>(dialog));
}

}  // namespace

bool runConfigDialog(CTolvane& owner) {
    try {
        CWaitDlg dialog(&owner, windowsSystem);
        return dialog.doModal();
    } catch (...) {
        return false;
    }
}
