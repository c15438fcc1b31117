// Asking whether standard output is a terminal on Windows.
#include "tools/host/terminal.h"

#include <cstdio>

#include <io.h>

namespace tolvane::host {

bool stdoutIsTerminal() { return _isatty(_fileno(stdout)) != 0; }

}  // namespace tolvane::host
