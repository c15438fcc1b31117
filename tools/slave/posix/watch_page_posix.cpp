// The supervisor's watch page on POSIX: a memfd without close-on-exec, so that the child started
// with posix_spawn inherits the descriptor, whose number it is given.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <new>

#include "tools/slave/hang_watch.h"

struct CWatchPage::State {
    int fd = -1;
    void* view = nullptr;
};

CWatchPage::CWatchPage() : state(std::make_unique<State>()) {}

CWatchPage::~CWatchPage() {
    if (state->view != nullptr) munmap(state->view, sizeof(WatchPage));
    if (state->fd >= 0) close(state->fd);
}

bool CWatchPage::create(std::string& error) {
    const int fd = memfd_create("tolvane-watch", 0);  // inherited by the child on purpose
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(sizeof(WatchPage))) != 0) {
        error = std::string("cannot create the supervisor's watch page: ") + std::strerror(errno);
        if (fd >= 0) close(fd);
        return false;
    }
    void* view = mmap(nullptr, sizeof(WatchPage), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (view == MAP_FAILED) {
        error = std::string("cannot map the supervisor's watch page: ") + std::strerror(errno);
        close(fd);
        return false;
    }
    state->fd = fd;
    state->view = view;
    new (view) WatchPage{};  // the fresh memfd reads as zeros; the atomics begin their lifetime here
    return true;
}

std::string CWatchPage::childHandle() const { return std::to_string(state->fd); }

bool CWatchPage::attach(std::string_view handle, std::string& error) {
    int fd = -1;
    const auto [end, problem] = std::from_chars(handle.data(), handle.data() + handle.size(), fd);
    struct stat info {};
    if (problem != std::errc() || end != handle.data() + handle.size() || fd < 0 || fstat(fd, &info) != 0 ||
        info.st_size < static_cast<off_t>(sizeof(WatchPage))) {
        error = "--watch " + std::string(handle) + " names no watch page";
        return false;
    }
    void* view = mmap(nullptr, sizeof(WatchPage), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (view == MAP_FAILED) {
        error = "--watch " + std::string(handle) + ": " + std::strerror(errno);
        return false;
    }
    state->fd = fd;
    state->view = view;
    return true;
}

WatchPage* CWatchPage::page() const { return static_cast<WatchPage*>(state->view); }
