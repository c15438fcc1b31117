#include <windows.h>

#include "tools/slave/serving_thread.h"

namespace {

DWORD WINAPI runBody(LPVOID parameter) {
    (*static_cast<std::function<void()>*>(parameter))();
    return 0;
}

class CWin32Thread : public CServingThread {
public:
    explicit CWin32Thread(std::function<void()> body) : body(std::move(body)) {}
    ~CWin32Thread() override {
        if (handle != nullptr) CloseHandle(handle);
    }
    bool start() {
        handle = CreateThread(nullptr, 0, runBody, &body, 0, nullptr);
        return handle != nullptr;
    }
    void join() override {
        if (handle != nullptr) WaitForSingleObject(handle, INFINITE);
    }

private:
    std::function<void()> body;  // lives as long as the handle, so past the thread's end
    HANDLE handle = nullptr;
};

}  // namespace

std::unique_ptr<CServingThread> startServingThread(std::function<void()> body) {
    auto thread = std::make_unique<CWin32Thread>(std::move(body));
    if (!thread->start()) return nullptr;
    return thread;
}
