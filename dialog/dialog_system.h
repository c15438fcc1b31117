// The small window interface that the configuration dialog's logic runs over. The Windows build
// implements it with the Windows dialog manager (win32/dialog_system_win32.cpp); elsewhere the
// dialog manager of soft_dialog.h implements it over a drawing surface (X11 on Linux); the tests
// implement it with a scripted surface. Message numbers and notification codes keep their
// Windows values on every platform, so the logic reads the same everywhere.
#pragma once

#include <cstdint>

using DialogWindow = void*;            // opaque: an HWND on Windows, a soft dialog or control elsewhere
using DialogWParam = std::uintptr_t;
using DialogLParam = std::intptr_t;
using DialogResult = std::intptr_t;

namespace msg {
constexpr unsigned kInitDialog = 0x110;  // WM_INITDIALOG: lparam is the init parameter
constexpr unsigned kCommand = 0x111;     // WM_COMMAND: wparam = id | code << 16, lparam = control
constexpr unsigned kTimer = 0x113;       // WM_TIMER: wparam is the timer id
constexpr unsigned kClose = 0x10;        // WM_CLOSE
}  // namespace msg

constexpr std::uint16_t kBnClicked = 0;      // BN_CLICKED
constexpr std::uint16_t kEnChange = 0x300;   // EN_CHANGE
constexpr int kBstUnchecked = 0;             // BST_UNCHECKED
constexpr int kBstChecked = 1;               // BST_CHECKED
constexpr DialogResult kIdOk = 1;            // IDOK
constexpr DialogResult kIdCancel = 2;        // IDCANCEL

class CWaitDlg;

class CDialogSystem {
public:
    virtual ~CDialogSystem() = default;

    // Creates the dialog from template `templateId` and runs it modally on the calling thread;
    // WM_INITDIALOG carries `dialog` as its lparam. The value given to end(), or -1 when the
    // dialog cannot be created (then no message has reached the dialog procedure).
    virtual DialogResult runModal(int templateId, CWaitDlg* dialog) = 0;

    // The window's user slot (DWLP_USER), null until set.
    virtual void setUserData(DialogWindow window, void* data) = 0;
    virtual void* userData(DialogWindow window) = 0;

    // Item text as a number (SetDlgItemInt, GetDlgItemInt). Setting the text of an edit box
    // makes it report EN_CHANGE before this returns, as a user edit does. Reading answers 0 for
    // empty or unreadable text and for a number outside the 32-bit range (signed or unsigned).
    virtual void setItemInt(DialogWindow window, int id, std::uint32_t value, bool isSigned) = 0;
    virtual std::uint32_t itemInt(DialogWindow window, int id, bool isSigned) = 0;

    // Check state of a check box (BM_SETCHECK, BM_GETCHECK): kBstChecked or kBstUnchecked.
    virtual void setCheck(DialogWindow window, int id, int state) = 0;
    virtual int checkState(DialogWindow window, int id) = 0;

    // Range of an up-down control (UDM_SETRANGE).
    virtual void setUpDownRange(DialogWindow window, int id, int lower, int upper) = 0;

    // A timer that delivers WM_TIMER with `id` every `milliseconds` until killed or the dialog ends.
    virtual bool setTimer(DialogWindow window, unsigned id, unsigned milliseconds) = 0;
    virtual bool killTimer(DialogWindow window, unsigned id) = 0;

    // PostMessageA and SendMessageA.
    virtual bool post(DialogWindow window, unsigned message, DialogWParam wparam, DialogLParam lparam) = 0;
    virtual DialogResult send(DialogWindow window, unsigned message, DialogWParam wparam, DialogLParam lparam) = 0;

    // EndDialog: runModal returns `result` once the current message is handled.
    virtual bool end(DialogWindow window, DialogResult result) = 0;
};

// UDM_SETRANGE's lparam: the upper limit in bits 0 to 15, the lower in bits 16 to 31, as a
// sign-extended 32-bit value (-1 to 16 gives 0xFFFFFFFFFFFF0010).
constexpr DialogLParam upDownRangeParam(int lower, int upper) {
    return static_cast<DialogLParam>(static_cast<std::int32_t>(
        (static_cast<std::uint32_t>(lower & 0xFFFF) << 16) | static_cast<std::uint32_t>(upper & 0xFFFF)));
}
