// Asking whether standard output is a terminal on Linux and other POSIX systems.
#include "tools/host/terminal.h"

#include <unistd.h>

namespace tolvane::host {

bool stdoutIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

}  // namespace tolvane::host
