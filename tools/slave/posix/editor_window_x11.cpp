// The editor's window on X11. The slave keeps one display connection of its own; the plug-in
// opens its own, so the window is synchronised to the server before its id is handed over.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdint>
#include <cstdlib>

#include "tools/slave/editor_window.h"

namespace {

// A protocol error (a plug-in that destroys a window twice, say) must not end the slave, which
// Xlib's default handler would do: it is ignored.
extern "C" int ignoreXError(Display*, XErrorEvent*) { return 0; }

class CX11EditorWindow : public CEditorWindow {
public:
    ~CX11EditorWindow() override {
        close();
        if (display != nullptr) XCloseDisplay(display);
    }

    bool open(const std::string& title, int width, int height, std::string& error) override {
        close();
        if (display == nullptr) {
            display = XOpenDisplay(nullptr);
            if (display != nullptr) XSetErrorHandler(ignoreXError);
        }
        if (display == nullptr) {
            const char* name = std::getenv("DISPLAY");
            error = std::string("cannot open the X display ") + (name != nullptr && *name != '\0' ? name : "(DISPLAY is not set)");
            return false;
        }
        const int screen = DefaultScreen(display);
        window = XCreateSimpleWindow(display, RootWindow(display, screen), 0, 0, static_cast<unsigned>(width),
                                     static_cast<unsigned>(height), 0, BlackPixel(display, screen),
                                     BlackPixel(display, screen));
        XStoreName(display, window, title.c_str());
        const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
        XChangeProperty(display, window, XInternAtom(display, "_NET_WM_NAME", False), utf8, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(title.data()), static_cast<int>(title.size()));
        XClassHint classHint{const_cast<char*>("tolvane-slave"), const_cast<char*>("tolvane-slave")};
        XSetClassHint(display, window, &classHint);
        deleteAtom = XInternAtom(display, "WM_DELETE_WINDOW", False);
        XSetWMProtocols(display, window, &deleteAtom, 1);
        setFixedSize(width, height);
        XMapWindow(display, window);
        XSync(display, False);  // the plug-in's connection must find the window on the server
        return true;
    }

    void* parentHandle() const override {
        return window != 0 ? reinterpret_cast<void*>(static_cast<std::uintptr_t>(window)) : nullptr;
    }

    void resize(int width, int height) override {
        if (window == 0) return;
        setFixedSize(width, height);
        XResizeWindow(display, window, static_cast<unsigned>(width), static_cast<unsigned>(height));
        XSync(display, False);
    }

    bool pump() override {
        if (window == 0) return false;
        while (XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type == ClientMessage && event.xclient.window == window &&
                static_cast<Atom>(event.xclient.data.l[0]) == deleteAtom) {
                closeWanted = true;
            }
        }
        return closeWanted;
    }

    void close() override {
        if (window != 0) {
            XDestroyWindow(display, window);
            XSync(display, False);
        }
        window = 0;
        closeWanted = false;
    }

private:
    // The editor's size is its own: the window follows it rather than the user's dragging.
    void setFixedSize(int width, int height) {
        XSizeHints hints{};
        hints.flags = PMinSize | PMaxSize;
        hints.min_width = hints.max_width = width;
        hints.min_height = hints.max_height = height;
        XSetWMNormalHints(display, window, &hints);
    }

    Display* display = nullptr;
    Window window = 0;
    Atom deleteAtom = 0;
    bool closeWanted = false;
};

}  // namespace

std::unique_ptr<CEditorWindow> makeEditorWindow() { return std::make_unique<CX11EditorWindow>(); }
