// The settings store on Linux and other POSIX systems: one text file per deliverable,
// ${XDG_CONFIG_HOME:-$HOME/.config}/Vantor/Tolvane.conf, of `Name=value` lines with decimal values.
//
// The file is read once when the store is opened; opening and reading create nothing, so a host
// that loads and unloads the plug-in (a scan) leaves no trace. The first write creates the
// folders and the file. Only a regular file is ever opened (a symbolic link to one is followed):
// a FIFO, socket, device or folder at the path is not opened, so it cannot block the host, reads
// as no values, and is never replaced by a write. Every write re-reads the current file (so that
// values another instance wrote since then survive), changes or appends the one line, writes the
// whole text to a fresh temporary file in the same folder, flushes it to disk and renames it over
// the file. Readers therefore always see either the old or the new file, never a torn one, even
// when the writer is killed half-way. Writers of one folder serialise on an advisory lock of the
// folder, held only for the read-change-rename, so that two instances writing at the same moment
// do not drop each other's values; the wait for it is bounded, and a writer that cannot get it in
// time writes anyway (still atomically). Lines the store does not know are kept as they are.
// When the file is a symbolic link, the write replaces the regular file it leads to, in that
// file's folder, so that a linked configuration (a dotfiles folder) stays linked.
//
// Nothing here throws: these run inside a host, and every failure answers false or null.
#include "bridge/settings/settings_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

struct SettingsKey {
    std::string dir;       // folder that holds the file
    std::string fileName;  // "Tolvane.conf"
    std::string path;      // dir + '/' + fileName
    std::string text;      // the file's contents as of the open or this key's last write
};

namespace {

// A settings file is a few dozen bytes; anything beyond this is not ours to load into a host.
constexpr std::size_t kMaxFileBytes = 64 * 1024;
// How long a writer waits for another instance's write of the same folder to finish.
constexpr int kLockWaitMs = 1000;
constexpr int kLockStepMs = 2;
constexpr std::string_view kKeyRoot = "Software\\";
constexpr std::string_view kTempMarker = ".tmp.";

std::atomic<unsigned> tempCounter{0};

// Closes a descriptor on every way out of a scope.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Closes the held descriptor (if any) and takes `fd`; false when the close reported an error,
    // which for a written file means data may not have reached it.
    bool reset(int fd = -1) {
        const int rc = fd_ >= 0 ? ::close(fd_) : 0;
        fd_ = fd;
        return rc == 0;
    }

private:
    int fd_;
};

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view trimBlanks(std::string_view s) {
    while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
    return s;
}

// A name the file can hold unambiguously: not empty, no '=', no line break, no blank at either
// end (blanks there are not part of a name when reading) and not starting a comment.
bool isValidName(const char* name) {
    if (name == nullptr || name[0] == '\0') return false;
    const std::string_view s(name);
    if (s.front() == '#' || s.front() == ';') return false;
    if (isBlank(s.front()) || isBlank(s.back())) return false;
    return s.find_first_of("=\n") == std::string_view::npos;
}

// Optional sign, then decimal digits only, within the 32-bit range.
bool parseInt32(std::string_view s, std::int32_t* out) {
    bool negative = false;
    if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    if (s.empty()) return false;
    // Magnitude limit: 2147483647, or 2147483648 for a negative value.
    const std::int64_t limit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + (negative ? 1 : 0);
    std::int64_t magnitude = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        magnitude = magnitude * 10 + (c - '0');
        if (magnitude > limit) return false;
    }
    *out = static_cast<std::int32_t>(negative ? -magnitude : magnitude);
    return true;
}

// One line of the file split at its first '='; a line without '=' or starting with '#' or ';'
// (after blanks) is no entry. Blanks around the name and the value are not part of them.
bool splitEntry(std::string_view line, std::string_view* name, std::string_view* value) {
    const std::string_view trimmed = trimBlanks(line);
    if (trimmed.empty() || trimmed.front() == '#' || trimmed.front() == ';') return false;
    const std::size_t eq = trimmed.find('=');
    if (eq == std::string_view::npos) return false;
    *name = trimBlanks(trimmed.substr(0, eq));
    *value = trimBlanks(trimmed.substr(eq + 1));
    return true;
}

std::vector<std::string_view> splitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const std::size_t nl = text.find('\n');
        if (nl == std::string_view::npos) {
            lines.push_back(text);
            break;
        }
        lines.push_back(text.substr(0, nl));
        text.remove_prefix(nl + 1);
    }
    return lines;
}

// The value of the last line with this name, if any.
bool findValue(std::string_view text, std::string_view name, std::string_view* value) {
    bool found = false;
    for (std::string_view line : splitLines(text)) {
        std::string_view n, v;
        if (splitEntry(line, &n, &v) && n == name) {
            *value = v;
            found = true;
        }
    }
    return found;
}

// The text with `name` set to `value`: the last line of that name is replaced in place, earlier
// ones are dropped, and a new name is appended. Every other line stays as it was.
std::string withValue(std::string_view text, std::string_view name, std::int32_t value) {
    const std::vector<std::string_view> lines = splitLines(text);
    std::size_t last = lines.size();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string_view n, v;
        if (splitEntry(lines[i], &n, &v) && n == name) last = i;
    }
    std::string entry(name);
    entry += '=';
    entry += std::to_string(value);

    std::string result;
    result.reserve(text.size() + entry.size() + 2);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string_view n, v;
        if (i == last) {
            result += entry;
        } else if (splitEntry(lines[i], &n, &v) && n == name) {
            continue;
        } else {
            result += lines[i];
        }
        result += '\n';
    }
    if (last == lines.size()) {
        result += entry;
        result += '\n';
    }
    return result;
}

enum class ReadResult { Ok, Missing, Failed };

// Reads all of an open file; false on an error or when it is not a regular file of sane size.
bool readAll(int fd, std::string* text) {
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    if (static_cast<std::uint64_t>(st.st_size) > kMaxFileBytes) return false;
    std::string result;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) break;
        result.append(buffer, static_cast<std::size_t>(n));
        if (result.size() > kMaxFileBytes) return false;  // grew while being read
    }
    *text = std::move(result);
    return true;
}

// Reads the file at `path` when it is a regular file (through a symbolic link only when
// `followLink`). Anything else is looked at with stat alone and never opened: opening a FIFO
// blocks until a writer comes, and opening a device may act on it. The open is non-blocking all
// the same, for something swapped in between the stat and the open, which readAll then refuses.
ReadResult readRegularFile(const std::string& path, bool followLink, std::string* text) {
    struct stat st{};
    if ((followLink ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0) {
        return errno == ENOENT ? ReadResult::Missing : ReadResult::Failed;
    }
    if (!S_ISREG(st.st_mode)) return ReadResult::Failed;
    const int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | (followLink ? 0 : O_NOFOLLOW);
    Fd fd(::open(path.c_str(), flags));
    if (!fd.valid()) return errno == ENOENT ? ReadResult::Missing : ReadResult::Failed;
    return readAll(fd.get(), text) ? ReadResult::Ok : ReadResult::Failed;
}

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool isDirectory(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Creates every missing folder of an absolute path, new ones with mode 0700.
bool makeFolders(const std::string& path) {
    for (std::size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos != path.size() && path[pos] != '/') continue;
        const std::string prefix = path.substr(0, pos);
        if (isDirectory(prefix)) continue;
        if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    return isDirectory(path);
}

// $XDG_CONFIG_HOME when it is an absolute path, else $HOME/.config, else the password
// database's home folder with .config. A relative XDG_CONFIG_HOME is ignored, as the XDG base
// directory rules ask: it would depend on the host's working folder.
bool configRoot(std::string* root) {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/') {
        *root = xdg;
        return true;
    }
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') {
        *root = std::string(home) + "/.config";
        return true;
    }
    std::vector<char> buffer(16384);
    struct passwd pw{};
    struct passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &pw, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
        found->pw_dir == nullptr || found->pw_dir[0] != '/') {
        return false;
    }
    *root = std::string(found->pw_dir) + "/.config";
    return true;
}

// "Software\Vantor\Tolvane" -> folder "Vantor" and file "Tolvane.conf" below the root. Each part
// must be a plain name: no '/', not "." or "..", not empty, so the file stays inside the root.
bool keyToPath(std::string_view keyPath, std::string* folder, std::string* fileName) {
    if (keyPath.substr(0, kKeyRoot.size()) == kKeyRoot) keyPath.remove_prefix(kKeyRoot.size());
    std::vector<std::string_view> parts;
    while (true) {
        const std::size_t sep = keyPath.find('\\');
        const std::string_view part = keyPath.substr(0, sep);
        if (part.empty() || part == "." || part == ".." || part.find('/') != std::string_view::npos) {
            return false;
        }
        parts.push_back(part);
        if (sep == std::string_view::npos) break;
        keyPath.remove_prefix(sep + 1);
    }
    folder->clear();
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        *folder += '/';
        *folder += parts[i];
    }
    *fileName = std::string(parts.back()) + ".conf";
    return true;
}

void sleepMs(int ms) {
    struct timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// Takes the folder's write lock, waiting about kLockWaitMs at most (monotonic clock); false when
// it could not be had.
bool lockFolder(int dirFd) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLockWaitMs);
    for (;;) {
        if (::flock(dirFd, LOCK_EX | LOCK_NB) == 0) return true;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK || std::chrono::steady_clock::now() >= deadline) return false;
        sleepMs(kLockStepMs);
    }
}

// The file a write replaces: the key's own path, or the regular file a symbolic link there leads to.
struct WriteTarget {
    std::string dir;
    std::string fileName;
    std::string path;  // dir + '/' + fileName, free of symbolic links when it came from a link
};

// False for a link that leads nowhere (or loops): there is no file to write through it, and
// replacing the link with a file would undo the user's link.
bool resolveWriteTarget(const SettingsKey& key, WriteTarget* target) {
    struct stat st{};
    if (::lstat(key.path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
        *target = WriteTarget{key.dir, key.fileName, key.path};  // missing or not a link: checked when read
        return true;
    }
    char* resolved = ::realpath(key.path.c_str(), nullptr);
    if (resolved == nullptr) return false;
    std::string path(resolved);
    std::free(resolved);
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash + 1 == path.size()) return false;
    target->dir = slash == 0 ? std::string("/") : path.substr(0, slash);
    target->fileName = path.substr(slash + 1);
    target->path = std::move(path);
    return true;
}

// Removes temporary files that writers killed before their rename left behind. Only files of
// processes that no longer exist are touched; a live writer's file is never removed.
void removeStaleTempFiles(const WriteTarget& target) {
    DIR* dir = ::opendir(target.dir.c_str());
    if (dir == nullptr) return;
    const std::string prefix = target.fileName + std::string(kTempMarker);
    const pid_t self = ::getpid();
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name(entry->d_name);
        if (name.substr(0, prefix.size()) != prefix) continue;
        std::string_view rest = name.substr(prefix.size());
        const std::size_t dot = rest.find('.');
        std::int32_t pid = 0;
        if (dot == std::string_view::npos || !parseInt32(rest.substr(0, dot), &pid) || pid <= 0) continue;
        if (pid == self) continue;
        if (::kill(pid, 0) == 0 || errno != ESRCH) continue;
        ::unlinkat(::dirfd(dir), entry->d_name, 0);
    }
    ::closedir(dir);
}

// Writes `text` to a new temporary file in the key's folder, flushes it and renames it over the
// file. On failure the temporary file is removed and the file is as it was.
bool replaceFile(const WriteTarget& target, int dirFd, std::string_view text) {
    std::string tempPath;
    Fd fd;
    for (int attempt = 0; attempt < 8 && !fd.valid(); ++attempt) {
        tempPath = target.path + std::string(kTempMarker) + std::to_string(::getpid()) + '.' +
                   std::to_string(tempCounter.fetch_add(1, std::memory_order_relaxed));
        fd.reset(::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600));
        if (!fd.valid() && errno != EEXIST) return false;
    }
    if (!fd.valid()) return false;
    const bool written = writeAll(fd.get(), text) && ::fsync(fd.get()) == 0;
    const bool closed = fd.reset();
    if (!written || !closed || ::rename(tempPath.c_str(), target.path.c_str()) != 0) {
        ::unlink(tempPath.c_str());
        return false;
    }
    // Makes the rename itself durable; the data is already on disk either way.
    if (dirFd >= 0) ::fsync(dirFd);
    return true;
}

}  // namespace

// [main or dispatch thread] Reads the file; a missing file (or folder) opens with no values and
// is not created. Null when something other than a readable regular file of at most 64 KiB is
// at the path, or the path cannot be formed.
SettingsKey* platformOpenSettings(const char* keyPath) {
    try {
        if (keyPath == nullptr) return nullptr;
        std::string root, folder, fileName;
        if (!configRoot(&root) || !keyToPath(keyPath, &folder, &fileName)) return nullptr;

        auto* key = new SettingsKey;
        key->dir = root + folder;
        key->fileName = std::move(fileName);
        key->path = key->dir + '/' + key->fileName;
        if (readRegularFile(key->path, true, &key->text) != ReadResult::Failed) return key;
        delete key;
        return nullptr;
    } catch (...) {
        return nullptr;
    }
}

// [main or dispatch thread] Answers from the text read at the open (or this key's last write).
bool platformReadSetting(SettingsKey* key, const char* name, std::int32_t* out) {
    try {
        if (key == nullptr || out == nullptr || !isValidName(name)) return false;
        std::string_view text;
        std::int32_t value = 0;
        if (!findValue(key->text, name, &text) || !parseInt32(text, &value)) return false;
        *out = value;
        return true;
    } catch (...) {
        return false;
    }
}

// [main or dispatch thread] Re-reads the file, sets the one value and replaces the file; the
// first write creates the folders (mode 0700) and the file (mode 0600).
bool platformWriteSetting(SettingsKey* key, const char* name, std::int32_t value) {
    try {
        if (key == nullptr || !isValidName(name)) return false;
        WriteTarget target;
        if (!resolveWriteTarget(*key, &target) || !makeFolders(target.dir)) return false;
        Fd dirFd(::open(target.dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!dirFd.valid()) return false;
        // Without the lock the write still happens; only a simultaneous writer's value may be lost.
        const bool locked = lockFolder(dirFd.get());
        if (locked) removeStaleTempFiles(target);

        // A file that is missing is created; anything else that is not a regular file the store
        // can read (too large, unreadable, a FIFO, socket, device, folder, or a link put there
        // since the target was resolved) is not replaced, or its contents would be lost.
        std::string current;
        if (readRegularFile(target.path, false, &current) == ReadResult::Failed) return false;
        std::string updated = withValue(current, name, value);
        if (!replaceFile(target, dirFd.get(), updated)) return false;
        key->text = std::move(updated);
        return true;  // closing dirFd releases the lock
    } catch (...) {
        return false;
    }
}

// [main or dispatch thread] Every write is already on disk; closing only frees the key.
bool platformCloseSettings(SettingsKey* key) {
    delete key;
    return true;
}
