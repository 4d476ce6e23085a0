#pragma once

// The main thread's event loop as the core sees it. The application supplies
// the Qt one, tests a virtual clock, integration tests and benchmarks a loop
// on a thread of their own (both in tests/support).

#include <chrono>
#include <functional>
#include <memory>

namespace telvane {

class Timer {
public:
    virtual ~Timer() = default;
    // Stops the timer; its action never runs again. Idempotent.
    virtual void invalidate() = 0;
};

// Owning handle: destroying it invalidates the timer.
class TimerHandle {
public:
    TimerHandle() = default;
    explicit TimerHandle(std::unique_ptr<Timer> timer) : timer_(std::move(timer)) {}
    TimerHandle(TimerHandle&&) noexcept = default;
    TimerHandle& operator=(TimerHandle&& other) noexcept
    {
        invalidate();
        timer_ = std::move(other.timer_);
        return *this;
    }
    ~TimerHandle() { invalidate(); }

    void invalidate()
    {
        if (timer_) {
            timer_->invalidate();
            timer_.reset();
        }
    }
    [[nodiscard]] explicit operator bool() const { return timer_ != nullptr; }

private:
    std::unique_ptr<Timer> timer_;
};

using Seconds = std::chrono::duration<double>;

class EventLoop {
public:
    virtual ~EventLoop() = default;

    // Runs `task` on the loop's thread, after the tasks posted before it.
    // Callable from any thread.
    virtual void post(std::function<void()> task) = 0;

    // Arms a one-shot or repeating timer whose action runs on the loop's
    // thread. Call on the loop's thread only.
    [[nodiscard]] virtual TimerHandle schedule(Seconds interval, bool repeats, std::function<void()> action) = 0;
};

}  // namespace telvane
