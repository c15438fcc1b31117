// The slave's editor window seen from a test, through the window system as a user meets it:
// found by its title, closed with the window manager's close request. Per platform
// (editor_driver_posix.cpp on X11, editor_driver_win32.cpp).
#pragma once

#include <cstdint>
#include <string>

namespace editor_driver {

// False when there is no window system to look at (no X display); the cases then skip.
bool available();
// Waits up to `ms` for a top-level window titled `title` to exist (`present`) or be gone.
bool waitForWindow(const std::string& title, bool present, std::uint32_t ms);
// Sends the window titled `title` the close request: WM_DELETE_WINDOW on X11, WM_CLOSE.
bool requestClose(const std::string& title);
// Whether the slave can be asked from outside to open its editor again: SIGUSR1 on POSIX.
// (Windows has only the key in the slave's terminal, which a test's pipe is not.)
bool canReopen();
bool requestReopen(long processId);
// Ends the process at once, as a crash would.
bool endProcess(long processId);

}  // namespace editor_driver
