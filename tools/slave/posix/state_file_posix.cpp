// Replacing the state file on POSIX: a temporary file beside it, written, fsync'd, renamed over
// the old one, and the folder fsync'd so that the rename itself survives a power cut.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/slave/state_file.h"

namespace {

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string failure(const std::string& what, const std::string& path) {
    return "cannot " + what + " " + path + ": " + std::strerror(errno);
}

}  // namespace

bool replaceFileAtomically(const std::string& path, const std::string& contents, std::string& error) {
    const std::string temporary = path + ".tmp-" + std::to_string(static_cast<long>(getpid()));
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = failure("create", temporary);
        return false;
    }
    std::size_t written = 0;
    bool ok = true;
    while (ok && written < contents.size()) {
        const ssize_t n = write(fd, contents.data() + written, contents.size() - written);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) written += static_cast<std::size_t>(n);
    }
    if (!ok) error = failure("write", temporary);
    if (ok && fsync(fd) != 0) {
        error = failure("flush", temporary);
        ok = false;
    }
    if (close(fd) != 0 && ok) {
        error = failure("close", temporary);
        ok = false;
    }
    if (ok && rename(temporary.c_str(), path.c_str()) != 0) {
        error = failure("rename the new state over", path);
        ok = false;
    }
    if (!ok) {
        unlink(temporary.c_str());
        return false;
    }
    const int folder = open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        fsync(folder);  // best effort: the file is whole either way
        close(folder);
    }
    return true;
}
