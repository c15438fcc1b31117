// The slave's window for a hosted plug-in's editor: a plain top-level window whose client area
// the plug-in fills with a child window of its own, and the requests to open it again. The
// window follows the plug-ins' platform (posix/editor_window_x11.cpp,
// win32/editor_window_win32.cpp: the Wine-library slave's is the Win32 one), the requests the
// process's (posix/editor_request_posix.cpp, win32/editor_request_win32.cpp). Every call runs
// on the slave's main thread, the thread that also makes the plug-in's UI calls.
#pragma once

#include <atomic>
#include <memory>
#include <string>

class CEditorWindow {
public:
    virtual ~CEditorWindow() = default;

    // Shows a window with this title and a client area of width x height pixels. False with a
    // message when there is no display to show it on or the window cannot be made.
    virtual bool open(const std::string& title, int width, int height, std::string& error) = 0;
    // The parent handle effEditOpen takes: the X11 Window id or the HWND. Null when not open.
    virtual void* parentHandle() const = 0;
    // Gives the client area a new size (the editor asked for it).
    virtual void resize(int width, int height) = 0;
    // Handles the window system's pending messages, the plug-in's child windows' included on
    // Windows. True once the user has asked to close the window (WM_DELETE_WINDOW, WM_CLOSE);
    // the window stays until close(), so that the editor is closed while its parent still exists.
    virtual bool pump() = 0;
    // Destroys the window. Idempotent.
    virtual void close() = 0;
};

std::unique_ptr<CEditorWindow> makeEditorWindow();

// Installs what asks the slave to open the editor again: SIGUSR1 on POSIX, SIGRTMIN in the
// Wine-library slave (nothing on Windows). Every request sets `flag`, which must live until the
// program ends.
bool installEditorRequestHandler(std::atomic<bool>& flag);
// The name of that signal for the --help text ("SIGUSR1"), empty where there is none.
const char* editorRequestSignal();
// Whether standard input is a terminal, where "e" and Enter ask for the editor again.
bool standardInputIsTerminal();
// How to ask for the editor again, for the message shown when its window closes: "kill -USR1
// 4242" on POSIX, with "or e and Enter" when the terminal key is read.
std::string editorRequestHint(bool terminalKey);
