// Replacing the state file on Windows: a temporary file beside it, written and flushed, then
// moved over the old one with MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH.
#include <windows.h>

#include "tools/slave/state_file.h"

namespace {

std::string failure(const std::string& what, const std::string& path) {
    return "cannot " + what + " " + path + " (error " + std::to_string(GetLastError()) + ")";
}

}  // namespace

bool replaceFileAtomically(const std::string& path, const std::string& contents, std::string& error) {
    const std::string temporary = path + ".tmp-" + std::to_string(GetCurrentProcessId());
    HANDLE file = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = failure("create", temporary);
        return false;
    }
    std::size_t written = 0;
    bool ok = true;
    while (ok && written < contents.size()) {
        const std::size_t left = contents.size() - written;
        const DWORD chunk = left > (1u << 30) ? (1u << 30) : static_cast<DWORD>(left);
        DWORD n = 0;
        ok = WriteFile(file, contents.data() + written, chunk, &n, nullptr) != 0 && n > 0;
        written += n;
    }
    if (!ok) error = failure("write", temporary);
    if (ok && !FlushFileBuffers(file)) {
        error = failure("flush", temporary);
        ok = false;
    }
    CloseHandle(file);
    if (ok && !MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = failure("move the new state over", path);
        ok = false;
    }
    if (!ok) DeleteFileA(temporary.c_str());
    return ok;
}
