#pragma once

// A main loop without a GUI for headless tools and integration tests: tasks
// and timers run on the thread that calls run() or runUntil(), timers on the
// steady clock.

#include "platform/EventLoop.h"

#include <functional>
#include <memory>

namespace telvane {

class ThreadEventLoop final : public EventLoop {
public:
    ThreadEventLoop();
    // Drops tasks and timers that have not run. Timer handles may outlive
    // the loop; invalidating them then does nothing.
    ~ThreadEventLoop() override;
    ThreadEventLoop(const ThreadEventLoop&) = delete;
    ThreadEventLoop& operator=(const ThreadEventLoop&) = delete;

    // Any thread; wakes a waiting run().
    void post(std::function<void()> task) override;

    // Call on the loop's thread (or before it runs). A repeating timer fires
    // every `interval` from now; ticks missed while a action ran late are
    // skipped, not run in a burst. Intervals below 1 ms count as 1 ms.
    [[nodiscard]] TimerHandle schedule(Seconds interval, bool repeats, std::function<void()> action) override;

    // Runs tasks and timers on the calling thread until stop().
    void run();

    // Runs tasks and timers until `done()` is true (checked after every task
    // or timer action and at least every 10 ms) or `timeout` has passed.
    // Returns the last value of `done()`. stop() also ends it.
    bool runUntil(const std::function<bool()>& done, Seconds timeout);

    // Runs tasks and timers for `duration`.
    void runFor(Seconds duration);

    // Any thread: makes the running run(), runUntil() or runFor() return
    // after the task or action that is running, or, when none runs, the next
    // one at once. Tasks not run yet stay queued.
    void stop();

    struct Core;  // shared with the timer handles

private:
    std::shared_ptr<Core> core_;
};

}  // namespace telvane
