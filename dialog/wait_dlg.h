// CWaitDlg: the modal dialog shown while a plug-in instance is created. It edits the owner's
// slave number, pin counts and stereo labels, and every 100 ms tries to connect to the slave;
// once the connect sequence succeeds it closes itself with IDOK. Cancel keeps the edited values.
//
// The logic is the same on every platform; it reaches its window only through CDialogSystem.
// Everything runs on the thread that constructs the plug-in, inside the modal loop.
#pragma once

#include <cstdint>

#include "dialog/dialog_system.h"

class CTolvane;

constexpr unsigned kConnectTimerId = 1;
constexpr unsigned kConnectIntervalMs = 100;

class CWaitDlg {
public:
    // The object lives on the plug-in constructor's stack for the duration of doModal.
    CWaitDlg(CTolvane* owner, CDialogSystem& windows);
    virtual ~CWaitDlg();

    // [main thread, modal] True when the dialog ended with IDOK; false for IDCANCEL and when
    // the dialog cannot be created (then nothing has been edited).
    virtual bool doModal();
    // The handlers run inside the modal loop, on the same thread. [main thread]
    virtual void onInitDialog(DialogWindow window);
    virtual void onCommand(std::uint16_t id);
    // EN_CHANGE of a box: its value goes to the owner at once. [main thread; the slave box
    // reopens the owner's channel]
    virtual void onControlNotify(std::uint16_t code, std::uint16_t id, DialogWindow control);
    // The connect timer: one connect attempt. [main thread, may wait 400 ms]
    virtual void onTimer(std::uintptr_t id);
    virtual bool postMessage(unsigned message, DialogWParam wparam, DialogLParam lparam);
    virtual bool postMessage(DialogWindow window, unsigned message, DialogWParam wparam, DialogLParam lparam);
    virtual DialogResult sendMessage(unsigned message, DialogWParam wparam, DialogLParam lparam);
    virtual DialogResult sendMessage(DialogWindow window, unsigned message, DialogWParam wparam,
                                     DialogLParam lparam);

    CTolvane* owner;   // the plug-in whose members the dialog edits
    DialogWindow hwnd; // the dialog window; null until onInitDialog
    CDialogSystem& windows;
};

// The dialog procedure of every CWaitDlg: finds the object through the window's user slot
// (stored at WM_INITDIALOG) and hands WM_COMMAND and WM_TIMER to it. Returns 0 for every
// message. [main thread] Never throws.
DialogResult dialogProc(CDialogSystem& windows, DialogWindow window, unsigned message, DialogWParam wparam,
                        DialogLParam lparam) noexcept;
