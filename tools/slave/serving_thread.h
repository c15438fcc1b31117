// The thread that serves the link while the main thread runs the plug-in's UI, and any other
// thread that calls the plug-in (the state keeper's). Each platform
// starts it in its own file (posix/, win32/); a build whose plug-in code may only run on threads
// of a particular kind supplies its own.
#pragma once

#include <functional>
#include <memory>

class CServingThread {
public:
    virtual ~CServingThread() = default;
    // Waits for the thread to end. Called once, before the handle is destroyed.
    virtual void join() = 0;
};

// Starts `body` on a new thread; null when the thread cannot be started.
std::unique_ptr<CServingThread> startServingThread(std::function<void()> body);
