// Before Xlib, whose macros (None, Status, ...) gtest would meet otherwise.
#include "tests/support/test_files.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "dialog_driver.h"
#include "tests/support/scratch.h"

extern char** environ;

namespace {

const char* const kTitle = "Palisor Bandwick: Tolvane";

// One connection of the test's own per call, so the calls can come from any test thread.
struct Connection {
    Connection() {
        const char* name = getenv("DISPLAY");
        display = name && *name ? XOpenDisplay(name) : nullptr;
    }
    ~Connection() {
        if (display) XCloseDisplay(display);
    }
    Display* display;
};

Window findTitled(Display* d, Window w) {
    char* name = nullptr;
    if (XFetchName(d, w, &name) && name) {
        const bool match = std::strcmp(name, kTitle) == 0;
        XFree(name);
        if (match) return w;
    }
    Window root = 0, parent = 0, *children = nullptr;
    unsigned count = 0;
    Window found = 0;
    if (XQueryTree(d, w, &root, &parent, &children, &count)) {
        for (unsigned i = 0; i < count && !found; ++i) found = findTitled(d, children[i]);
        if (children) XFree(children);
    }
    return found;
}

Window findDialog(Display* d) { return findTitled(d, DefaultRootWindow(d)); }

bool sendKey(Display* d, Window w, KeySym sym, unsigned state = 0) {
    XKeyEvent e{};
    e.type = KeyPress;
    e.display = d;
    e.window = w;
    e.root = DefaultRootWindow(d);
    e.time = CurrentTime;
    e.same_screen = True;
    e.state = state;
    e.keycode = XKeysymToKeycode(d, sym);
    if (e.keycode == 0) return false;
    const Status ok = XSendEvent(d, w, True, KeyPressMask, reinterpret_cast<XEvent*>(&e));
    XFlush(d);
    return ok != 0;
}

std::string settingsFile(const std::string& place) { return place + "/Vantor/Tolvane.conf"; }

}  // namespace

CPluginModule::CPluginModule() = default;
CPluginModule::~CPluginModule() {
    if (handle) dlclose(handle);
}

bool CPluginModule::load(const std::string& path) {
    handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    return handle != nullptr;
}

AEffect* CPluginModule::create(audioMasterCallback host) {
    using Entry = AEffect* (*)(audioMasterCallback);
    auto entry = reinterpret_cast<Entry>(dlsym(handle, "VSTPluginMain"));
    return entry ? entry(host) : nullptr;
}

CPrivateSettings::CPrivateSettings(const std::map<std::string, std::int32_t>& values) {
    place = makeScratchConfigHome("dialog");
    std::filesystem::create_directories(place + "/Vantor");
    std::ofstream out(settingsFile(place));
    for (const auto& [name, value] : values) out << name << '=' << value << '\n';
}

CPrivateSettings::~CPrivateSettings() { removeScratchFolder(place); }

bool CPrivateSettings::read(const char* name, std::int32_t& value) const {
    const auto values = parseKv(readText(settingsFile(place)));
    const auto it = values.find(name);
    if (it == values.end()) return false;
    value = std::stoi(it->second);
    return true;
}

void enterTestDesktop() {}

bool waitForDialog(int milliseconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    Connection c;
    if (!c.display) return false;
    while (std::chrono::steady_clock::now() < deadline) {
        const Window w = findDialog(c.display);
        XWindowAttributes attributes{};
        if (w && XGetWindowAttributes(c.display, w, &attributes) && attributes.map_state == IsViewable) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

bool dialogExists() {
    Connection c;
    return c.display && findDialog(c.display) != 0;
}

bool enterSlaveNumber(std::int32_t number) {
    Connection c;
    if (!c.display) return false;
    const Window w = findDialog(c.display);
    if (!w) return false;
    // The slave box has the focus with its text selected: typing replaces it.
    const std::string digits = std::to_string(number);
    for (char ch : digits) {
        if (!sendKey(c.display, w, XK_0 + (ch - '0'))) return false;
    }
    return true;
}

bool pressKeys(const std::string& keys) {
    Connection c;
    if (!c.display) return false;
    const Window w = findDialog(c.display);
    if (!w) return false;
    for (char k : keys) {
        KeySym sym = k == 't' ? XK_Tab : k == 'u' ? XK_Up : k == 'd' ? XK_Down : k == 'e' ? XK_Escape : XK_0 + (k - '0');
        if (!sendKey(c.display, w, sym)) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    return true;
}

bool cancelDialog() {
    Connection c;
    if (!c.display) return false;
    const Window w = findDialog(c.display);
    return w && sendKey(c.display, w, XK_Escape);
}

std::int32_t shownInputs() { return -1; }

bool headless() {
    const char* name = getenv("DISPLAY");
    return !name || !*name;
}

CNoDisplay::CNoDisplay() {
    const char* name = getenv("DISPLAY");
    saved = name ? name : "";
    unsetenv("DISPLAY");
    active = true;
}

CNoDisplay::~CNoDisplay() {
    if (!saved.empty()) setenv("DISPLAY", saved.c_str(), 1);
}

std::string nativePath(const std::string& path) { return path; }

CPrivateXServer::~CPrivateXServer() { stop(); }

bool CPrivateXServer::start() {
    int fds[2];
    if (pipe(fds) != 0) return false;
    const std::string fd = std::to_string(fds[1]);
    const char* argv[] = {"Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "640x480x24", "-nolisten", "tcp", nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t child = -1;
    const int rc = posix_spawnp(&child, "Xvfb", &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        return false;
    }
    pid = child;
    // The server writes its display number once it is ready.
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    char c = 0;
    while (poll(&p, 1, 5000) > 0 && read(fds[0], &c, 1) == 1 && c != '\n') number.push_back(c);
    close(fds[0]);
    if (number.empty()) {
        stop();
        return false;
    }
    const char* current = getenv("DISPLAY");
    saved = current ? current : "";
    setenv("DISPLAY", (":" + number).c_str(), 1);
    return true;
}

void CPrivateXServer::stop() {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    pid = -1;
    if (saved.empty()) {
        unsetenv("DISPLAY");
    } else {
        setenv("DISPLAY", saved.c_str(), 1);
    }
}
