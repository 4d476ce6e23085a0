#pragma once

// The core's main-thread event loop on top of the Qt event loop of the
// thread that creates it (the GUI thread in the application).

#include "platform/EventLoop.h"

#include <QObject>

#include <memory>

namespace telvane {

class QtEventLoop final : public EventLoop {
public:
    // Binds to the calling thread's Qt event loop. Create it on the GUI
    // thread before anything posts to it, and keep it alive while any thread
    // may still post.
    QtEventLoop();
    ~QtEventLoop() override;
    QtEventLoop(const QtEventLoop&) = delete;
    QtEventLoop& operator=(const QtEventLoop&) = delete;

    // Queues `task` behind the tasks posted before it. Thread-safe.
    void post(std::function<void()> task) override;

    // A precise QTimer. Its action runs on the loop's thread; invalidating the
    // handle from inside the action is allowed. Call on the loop's thread only.
    [[nodiscard]] TimerHandle schedule(Seconds interval, bool repeats, std::function<void()> action) override;

private:
    // Receiver of posted tasks and parent of the timers: tasks and timers die
    // with the loop instead of running against a destroyed owner.
    std::unique_ptr<QObject> context_;
};

}  // namespace telvane
