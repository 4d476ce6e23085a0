#pragma once

// When to render after reload requests: at once when the last render is at
// least the interval ago, else when it will be, and always once after the
// last request of a burst. So a storm of requests costs at most one render
// per interval, and the last render comes after the last request.

#include <algorithm>
#include <chrono>
#include <optional>

namespace telvane::widget {

class RenderThrottle {
public:
    using Clock = std::chrono::steady_clock;

    explicit RenderThrottle(Clock::duration minInterval = std::chrono::milliseconds(250)) : minInterval_(minInterval) {}

    // A reload request at `now`.
    void request(Clock::time_point now)
    {
        if (!pending_) {
            pending_ = true;
            dueAt_ = hasRendered_ ? std::max(now, lastRender_ + minInterval_) : now;
        }
    }

    // When the pending render is due; none when nothing is pending.
    [[nodiscard]] std::optional<Clock::time_point> dueAt() const
    {
        return pending_ ? std::optional<Clock::time_point>(dueAt_) : std::nullopt;
    }

    // True when a render is due at `now`; the caller renders then.
    [[nodiscard]] bool isDue(Clock::time_point now) const { return pending_ && now >= dueAt_; }

    // A render happened at `now` (for a request or any other reason): it
    // covers every request made before it.
    void rendered(Clock::time_point now)
    {
        pending_ = false;
        hasRendered_ = true;
        lastRender_ = now;
    }

private:
    Clock::duration minInterval_;
    Clock::time_point lastRender_{};
    bool hasRendered_ = false;
    Clock::time_point dueAt_{};
    bool pending_ = false;
};

}  // namespace telvane::widget
