// runConfigDialog on Linux: the soft dialog manager over an X11 window. Without libX11, without
// a display or when the window cannot be created the dialog cannot be created: nothing is
// edited and plug-in creation goes on at once.
#include "dialog/config_dialog.h"
#include "dialog/posix/x11_surface.h"
#include "dialog/wait_dlg.h"

bool runConfigDialog(CTolvane& owner) {
    try {
        CX11Surface surface;
        CSoftDialogSystem system(surface);
        CWaitDlg dialog(&owner, system);
        return dialog.doModal();
    } catch (...) {
        return false;
    }
}
