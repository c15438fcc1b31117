// Builds without a dialog: the dialog cannot be created, so nothing is edited and plug-in
// creation goes on at once.
#include "dialog/config_dialog.h"

bool runConfigDialog(CTolvane&) { return false; }
