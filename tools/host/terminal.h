// Whether the host tool's standard output is an interactive terminal, which only the operating
// system can tell. Each platform has its own file (posix/, win32/); the build picks one.
#pragma once

namespace tolvane::host {

// True when standard output is an interactive terminal (progress is shown only then).
bool stdoutIsTerminal();

}  // namespace tolvane::host
