#pragma once

// A real main loop without a GUI, for integration tests and benchmarks that
// run the core against a real broker or daemon: tasks and timers run on the
// thread that calls runUntil() or runFor(), timers on the steady clock.

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

    // Any thread; wakes a waiting runUntil().
    void post(std::function<void()> task) override;

    // Call on the loop's thread (or before it runs). A repeating timer fires
    // every `interval` from now; ticks missed while a action ran late are
    // skipped, not run in a burst. Intervals below 1 ms count as 1 ms.
    [[nodiscard]] TimerHandle schedule(Seconds interval, bool repeats, std::function<void()> action) override;

    // Runs tasks and timers until `done()` is true (checked after every task
    // or timer action and at least every 10 ms) or `timeout` has passed.
    // Returns the last value of `done()`.
    bool runUntil(const std::function<bool()>& done, Seconds timeout);

    // Runs tasks and timers for `duration`.
    void runFor(Seconds duration);

    struct Core;  // shared with the timer handles

private:
    std::shared_ptr<Core> core_;
};

}  // namespace telvane
