#include "dialog/wait_dlg.h"

#include "bridge/tolvane.h"
#include "dialog/resource.h"

CWaitDlg::CWaitDlg(CTolvane* dialogOwner, CDialogSystem& windowSystem)
    : owner(dialogOwner), hwnd(nullptr), windows(windowSystem) {}

CWaitDlg::~CWaitDlg() = default;

bool CWaitDlg::doModal() { return windows.runModal(IDD_CONFIG, this) == kIdOk; }

void CWaitDlg::onInitDialog(DialogWindow window) {
    hwnd = window;
    windows.setTimer(hwnd, kConnectTimerId, kConnectIntervalMs);
    // Each text set here reports a change, as a user edit does, so the values pass through
    // onControlNotify at once: counts outside their ranges are clamped as the dialog opens and
    // the channel is reopened once for the present slave number.
    windows.setItemInt(hwnd, IDC_SLAVE, static_cast<std::uint32_t>(owner->slaveNumber), true);
    windows.setItemInt(hwnd, IDC_INPUTS, static_cast<std::uint32_t>(owner->io.numInputs), false);
    windows.setItemInt(hwnd, IDC_OUTPUTS, static_cast<std::uint32_t>(owner->io.numOutputs), false);
    windows.setCheck(hwnd, IDC_STEREO_PINS, owner->io.stereoPins ? kBstChecked : kBstUnchecked);
    windows.setUpDownRange(hwnd, IDC_SLAVE_SPIN, -1, 16);
    windows.setUpDownRange(hwnd, IDC_INPUTS_SPIN, 0, kMaxIoChannels);
    windows.setUpDownRange(hwnd, IDC_OUTPUTS_SPIN, 1, kMaxIoChannels);
}

void CWaitDlg::onCommand(std::uint16_t id) {
    if (id != kIdOk && id != kIdCancel) return;
    // OK and Cancel differ only in doModal's result: both keep every value edited so far. The
    // check box is read only here, so clicking it changes nothing until the dialog ends.
    owner->io.stereoPins = windows.checkState(hwnd, IDC_STEREO_PINS) == kBstChecked;
    windows.end(hwnd, id);
}

void CWaitDlg::onControlNotify(std::uint16_t code, std::uint16_t id, DialogWindow) {
    if (code != kEnChange) return;
    // Read keystroke by keystroke. A clamped count is stored but not written back into the box.
    switch (id) {
    case IDC_INPUTS:
        owner->io.numInputs = clampInputs(static_cast<VstInt32>(windows.itemInt(hwnd, IDC_INPUTS, false)));
        break;
    case IDC_OUTPUTS:
        owner->io.numOutputs = clampOutputs(static_cast<VstInt32>(windows.itemInt(hwnd, IDC_OUTPUTS, false)));
        break;
    case IDC_SLAVE: {
        // Any number typed in is taken; the up-down control's range limits only its own steps.
        // Only the channel moves: no stop, no change of the master role, no connect (the next
        // timer tick connects).
        const VstInt32 number = static_cast<VstInt32>(windows.itemInt(hwnd, IDC_SLAVE, true));
        owner->slaveNumber = number;
        owner->channel.openChannel(number);
        break;
    }
    default: break;
    }
}

void CWaitDlg::onTimer(std::uintptr_t id) {
    if (id != kConnectTimerId || !owner->connectSlave()) return;
    // The start command went out: close as if OK had been pressed. The connection itself is
    // established later, by the processing call that picks up the answer.
    windows.killTimer(hwnd, kConnectTimerId);
    postMessage(msg::kCommand, static_cast<DialogWParam>(kIdOk), 0);
}

bool CWaitDlg::postMessage(unsigned message, DialogWParam wparam, DialogLParam lparam) {
    return windows.post(hwnd, message, wparam, lparam);
}

bool CWaitDlg::postMessage(DialogWindow window, unsigned message, DialogWParam wparam, DialogLParam lparam) {
    return windows.post(window, message, wparam, lparam);
}

DialogResult CWaitDlg::sendMessage(unsigned message, DialogWParam wparam, DialogLParam lparam) {
    return windows.send(hwnd, message, wparam, lparam);
}

DialogResult CWaitDlg::sendMessage(DialogWindow window, unsigned message, DialogWParam wparam,
                                   DialogLParam lparam) {
    return windows.send(window, message, wparam, lparam);
}

DialogResult dialogProc(CDialogSystem& windows, DialogWindow window, unsigned message, DialogWParam wparam,
                        DialogLParam lparam) noexcept {
    CWaitDlg* dialog = nullptr;
    if (message == msg::kInitDialog) {
        dialog = reinterpret_cast<CWaitDlg*>(lparam);
        windows.setUserData(window, dialog);
        if (dialog) dialog->onInitDialog(window);
        return 0;
    }
    dialog = static_cast<CWaitDlg*>(windows.userData(window));
    if (!dialog) return 0;
    if (message == msg::kCommand) {
        const auto code = static_cast<std::uint16_t>((wparam >> 16) & 0xFFFF);
        const auto id = static_cast<std::uint16_t>(wparam & 0xFFFF);
        if (code == 0 || code == 1) {
            dialog->onCommand(id);
        } else {
            dialog->onControlNotify(code, id, reinterpret_cast<DialogWindow>(lparam));
        }
    } else if (message == msg::kTimer) {
        dialog->onTimer(static_cast<std::uintptr_t>(wparam));
    }
    return 0;
}
