#include "platform/MonotonicClock.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <utility>

namespace telvane {
namespace {

using namespace std::chrono_literals;

// A poll that wakes before its deadline finds nothing due and polls again
// with a timeout of 0 until the deadline: a spin.
TEST(MonotonicClock, PollTimeoutsRoundUpSoThatAPollNeverWakesEarly)
{
    const MonotonicClock::time_point now{100s};
    const std::pair<MonotonicClock::duration, int> cases[] = {
        {-5ms, 0}, {0ns, 0}, {1ns, 1}, {999us, 1}, {1ms, 1}, {1001us, 2}, {59'999'001us, 60'000}, {1h, 60'000},
    };
    for (const auto& [left, timeout] : cases) {
        EXPECT_EQ(pollTimeoutMs(now + left, now), timeout) << left.count() << " ns left";
    }
    EXPECT_EQ(pollTimeoutMs(std::nullopt, now), -1);
    EXPECT_EQ(fromMonotonicUsec(UINT64_MAX), std::nullopt) << "sd-bus's no deadline";
    EXPECT_EQ(fromMonotonicUsec(2'500'001), MonotonicClock::time_point(2'500'001us));
}

}  // namespace
}  // namespace telvane
