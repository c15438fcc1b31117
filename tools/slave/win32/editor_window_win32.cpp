// The editor's window on Windows: a top-level window of a class of our own whose WM_CLOSE only
// marks the close request, so that the editor is closed before its parent is destroyed.
#include <windows.h>
#include <io.h>

#include <cstdio>
#include <string>

#include "tools/slave/editor_window.h"

namespace {

constexpr wchar_t kClassName[] = L"TolvaneSlaveEditor";
constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;

std::wstring wide(const std::string& text) {
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    if (length <= 0) return L"";
    std::wstring result(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, result.data(), length);
    result.resize(static_cast<std::size_t>(length - 1));
    return result;
}

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CLOSE) {
        auto* closeWanted = reinterpret_cast<bool*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (closeWanted != nullptr) *closeWanted = true;
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

bool registerClass() {
    static const bool registered = [] {
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = windowProc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.hCursor = LoadCursor(nullptr, IDC_ARROW);
        windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
        windowClass.lpszClassName = kClassName;
        return RegisterClassExW(&windowClass) != 0;
    }();
    return registered;
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
        window = CreateWindowExW(0, kClassName, wide(title).c_str(), kStyle, CW_USEDEFAULT, CW_USEDEFAULT, size.cx,
                                 size.cy, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
        if (window == nullptr) {
            error = "cannot create the editor's window (error " + std::to_string(GetLastError()) + ")";
            return false;
        }
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&closeWanted));
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
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        return window != nullptr && closeWanted;
    }

    void close() override {
        if (window != nullptr) {
            SetWindowLongPtrW(window, GWLP_USERDATA, 0);
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

bool installEditorRequestHandler(std::atomic<bool>&) { return true; }

bool standardInputIsTerminal() { return _isatty(_fileno(stdin)) != 0; }

std::string editorRequestHint(bool terminalKey) {
    return terminalKey ? "e and Enter here" : "restart the slave";
}
