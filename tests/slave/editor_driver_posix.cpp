#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <signal.h>

#include <chrono>
#include <thread>

#include "tests/slave/editor_driver.h"

namespace {

Display* display() {
    static Display* const connection = XOpenDisplay(nullptr);
    return connection;
}

// The top-level window with this title (under Xvfb there is no window manager: the slave's
// window is a child of the root).
Window findWindow(const std::string& title) {
    Display* d = display();
    Window root = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(d, DefaultRootWindow(d), &root, &parent, &children, &count)) return 0;
    Window found = 0;
    for (unsigned i = 0; i < count && found == 0; ++i) {
        char* name = nullptr;
        if (XFetchName(d, children[i], &name) && name != nullptr) {
            if (title == name) found = children[i];
            XFree(name);
        }
    }
    if (children != nullptr) XFree(children);
    return found;
}

}  // namespace

namespace editor_driver {

bool available() { return display() != nullptr; }

bool waitForWindow(const std::string& title, bool present, std::uint32_t ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while ((findWindow(title) != 0) != present) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

bool requestClose(const std::string& title) {
    const Window window = findWindow(title);
    if (window == 0) return false;
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display(), "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display(), "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    const bool sent = XSendEvent(display(), window, False, NoEventMask, &event) != 0;
    XFlush(display());
    return sent;
}

bool canReopen() { return true; }

bool endProcess(long processId) { return processId > 0 && kill(static_cast<pid_t>(processId), SIGKILL) == 0; }

bool requestReopen(long processId) { return processId > 0 && kill(static_cast<pid_t>(processId), SIGUSR1) == 0; }

}  // namespace editor_driver
