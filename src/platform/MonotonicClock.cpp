#include "platform/MonotonicClock.h"

#include <algorithm>

namespace telvane {

std::optional<MonotonicClock::time_point> fromMonotonicUsec(std::uint64_t usec)
{
    // Also past what the clock's nanoseconds can hold: a deadline centuries
    // ahead is none.
    constexpr auto kLatest = std::chrono::duration_cast<std::chrono::microseconds>(MonotonicClock::duration::max());
    if (usec >= static_cast<std::uint64_t>(kLatest.count())) {
        return std::nullopt;
    }
    return MonotonicClock::time_point(std::chrono::microseconds(static_cast<std::int64_t>(usec)));
}

int pollTimeoutMs(std::optional<MonotonicClock::time_point> deadline, MonotonicClock::time_point now)
{
    constexpr std::chrono::milliseconds kLongest = std::chrono::minutes(1);
    if (!deadline) {
        return -1;
    }
    if (*deadline <= now) {
        return 0;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - now);
    return static_cast<int>(std::min(left, kLongest).count());
}

}  // namespace telvane
