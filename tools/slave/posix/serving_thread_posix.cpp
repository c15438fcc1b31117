#include <system_error>
#include <thread>

#include "tools/slave/serving_thread.h"

namespace {

class CStdThread : public CServingThread {
public:
    explicit CStdThread(std::function<void()> body) : thread(std::move(body)) {}
    void join() override {
        if (thread.joinable()) thread.join();
    }

private:
    std::thread thread;
};

}  // namespace

std::unique_ptr<CServingThread> startServingThread(std::function<void()> body) {
    try {
        return std::make_unique<CStdThread>(std::move(body));
    } catch (const std::system_error&) {
        return nullptr;
    }
}
