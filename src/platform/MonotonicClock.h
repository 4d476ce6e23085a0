#pragma once

// Deadlines for poll() loops on CLOCK_MONOTONIC. sd-bus states its deadlines
// in microseconds of that clock, and std::chrono::steady_clock is that clock
// on Linux, so both meet here.

#include <chrono>
#include <cstdint>
#include <optional>

namespace telvane {

using MonotonicClock = std::chrono::steady_clock;

// An sd-bus deadline as a time point; none for UINT64_MAX, sd-bus's "no
// deadline".
[[nodiscard]] std::optional<MonotonicClock::time_point> fromMonotonicUsec(std::uint64_t usec);

// The poll() timeout from `now` until `deadline`: -1 without a deadline, 0
// once it has passed, else in milliseconds rounded up (a poll that woke
// before its deadline would find nothing due and spin until it), at most a
// minute.
[[nodiscard]] int pollTimeoutMs(std::optional<MonotonicClock::time_point> deadline, MonotonicClock::time_point now);

}  // namespace telvane
