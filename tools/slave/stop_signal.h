// Turns the operating system's requests to end the program (Ctrl-C, a termination signal, and
// on Windows the closing of the console) into a flag that the serving loop looks at.
#pragma once

#include <atomic>

// Installs the handlers; every request sets `flag` (which must live until the program ends).
// False when the handlers cannot be installed.
bool installStopHandlers(std::atomic<bool>& flag);

// Called once the objects are released. On Windows a console-close request ends the process as
// soon as its handler returns, so the handler waits (a few seconds at most) for this.
void notifyStopped();
