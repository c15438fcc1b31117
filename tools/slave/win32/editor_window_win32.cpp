// The editor's window on Windows: a top-level window of a class of our own whose WM_CLOSE only
// marks the close request, so that the editor is closed before its parent is destroyed. The
// Wine-library slave builds it too (against Wine's headers, where WCHAR is not wchar_t): the
// class is registered by an ANSI name and the UTF-8 title is converted to WCHAR.
#include <windows.h>

#include <string>
#include <vector>

#include "tools/slave/editor_window.h"

namespace {

constexpr char kClassName[] = "TolvaneSlaveEditor";
constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CLOSE) {
        auto* closeWanted = reinterpret_cast<bool*>(GetWindowLongPtrA(window, GWLP_USERDATA));
        if (closeWanted != nullptr) *closeWanted = true;
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

bool registerClass() {
    static const bool registered = [] {
        WNDCLASSEXA windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = windowProc;
        windowClass.hInstance = GetModuleHandleA(nullptr);
        windowClass.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
        windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
        windowClass.lpszClassName = kClassName;
        return RegisterClassExA(&windowClass) != 0;
    }();
    return registered;
}

void setTitle(HWND window, const std::string& title) {
    const int length = MultiByteToWideChar(CP_UTF8, 0, title.c_str(), -1, nullptr, 0);
    if (length <= 0) return;
    std::vector<WCHAR> text(static_cast<std::size_t>(length));
    MultiByteToWideChar(CP_UTF8, 0, title.c_str(), -1, text.data(), length);
    SetWindowTextW(window, text.data());
}

// The outer size of a window whose client area is width x height.
SIZE outerSize(int width, int height) {
    RECT rect{0, 0, width, height};
    AdjustWindowRectEx(&rect, kStyle, FALSE, 0);
    return {rect.right - rect.left, rect.bottom - rect.top};
}

class CWin32EditorWindow : public CEditorWindow {
public:
    ~CWin32EditorWindow() override { close(); }

    bool open(const std::string& title, int width, int height, std::string& error) override {
        close();
        if (!registerClass()) {
            error = "cannot register the editor's window class (error " + std::to_string(GetLastError()) + ")";
            return false;
        }
        const SIZE size = outerSize(width, height);
        window = CreateWindowExA(0, kClassName, "", kStyle, CW_USEDEFAULT, CW_USEDEFAULT, size.cx, size.cy, nullptr,
                                 nullptr, GetModuleHandleA(nullptr), nullptr);
        if (window == nullptr) {
            error = "cannot create the editor's window (error " + std::to_string(GetLastError()) + ")";
            return false;
        }
        setTitle(window, title);
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&closeWanted));
        ShowWindow(window, SW_SHOWNORMAL);
        UpdateWindow(window);
        return true;
    }

    void* parentHandle() const override { return window; }

    void resize(int width, int height) override {
        if (window == nullptr) return;
        const SIZE size = outerSize(width, height);
        SetWindowPos(window, nullptr, 0, 0, size.cx, size.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }

    bool pump() override {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        return window != nullptr && closeWanted;
    }

    void close() override {
        if (window != nullptr) {
            SetWindowLongPtrA(window, GWLP_USERDATA, 0);
            DestroyWindow(window);
        }
        window = nullptr;
        closeWanted = false;
    }

private:
    HWND window = nullptr;
    bool closeWanted = false;
};

}  // namespace

std::unique_ptr<CEditorWindow> makeEditorWindow() { return std::make_unique<CWin32EditorWindow>(); }
