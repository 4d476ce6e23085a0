#pragma once

// An event loop on a virtual clock, for tests: time stands still until the
// test advances it, and then every timer that falls due runs at its own
// instant, in time order. Also a SerialQueue, so that a test can run the
// client's "queue" work on the same deterministic loop.

#include "platform/Connection.h"
#include "platform/EventLoop.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace telvane {

class VirtualEventLoop final : public EventLoop, public SerialQueue {
public:
    VirtualEventLoop() = default;
    ~VirtualEventLoop() override;
    VirtualEventLoop(const VirtualEventLoop&) = delete;
    VirtualEventLoop& operator=(const VirtualEventLoop&) = delete;

    // FIFO; the task runs during the next runUntilIdle() or advance().
    // Callable from any thread.
    void post(std::function<void()> task) override;

    // The first run is `interval` from now (at least the clock's resolution,
    // so a zero interval never runs in the same instant as it was armed).
    [[nodiscard]] TimerHandle schedule(Seconds interval, bool repeats, std::function<void()> action) override;

    // Runs posted tasks, including those they post, until none is left.
    // Returns how many ran. Time does not move.
    std::size_t runUntilIdle();

    // Moves the clock forward by `duration`: first runs what is posted, then
    // each timer due by the end, at its due time and in due order (ties in
    // arming order), draining posted tasks after each.
    void advance(Seconds duration);

    // Seconds since the loop was created.
    [[nodiscard]] double now() const { return now_; }

    // Timers armed and not invalidated.
    [[nodiscard]] std::size_t activeTimerCount() const;

private:
    struct TimerEntry;
    class VirtualTimer;

    [[nodiscard]] std::shared_ptr<TimerEntry> nextDueBy(double deadline);

    mutable std::mutex postMutex_;
    std::deque<std::function<void()>> posted_;
    std::vector<std::shared_ptr<TimerEntry>> timers_;
    double now_ = 0.0;
    std::uint64_t nextSequence_ = 0;
};

}  // namespace telvane
