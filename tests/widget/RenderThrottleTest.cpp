// Coalescing reload requests, on a virtual clock.

#include "widget/RenderThrottle.h"

#include <gtest/gtest.h>

#include <vector>

namespace telvane::widget {
namespace {

using namespace std::chrono_literals;
using Clock = RenderThrottle::Clock;

// Drives the throttle the way the follow loop does: requests at the given
// offsets, a render whenever one is due; returns the render times.
std::vector<Clock::duration> rendersFor(const std::vector<Clock::duration>& requests, Clock::duration until)
{
    RenderThrottle throttle;
    const Clock::time_point zero{};
    std::vector<Clock::duration> renders;
    std::size_t next = 0;
    for (auto now = zero; now <= zero + until; now += 1ms) {
        while (next < requests.size() && zero + requests[next] <= now) {
            throttle.request(now);
            ++next;
        }
        if (throttle.isDue(now)) {
            throttle.rendered(now);
            renders.push_back(now - zero);
        }
    }
    return renders;
}

TEST(RenderThrottle, ARequestRendersAtOnceOrWhenTheIntervalIsUpAndOnceAfterTheLastOfAStorm)
{
    EXPECT_EQ(rendersFor({100ms}, 2s), std::vector<Clock::duration>{100ms});
    EXPECT_EQ(rendersFor({100ms, 1s}, 2s), (std::vector<Clock::duration>{100ms, 1s}));
    EXPECT_EQ(rendersFor({0ms, 10ms}, 1s), (std::vector<Clock::duration>{0ms, 250ms}));
    EXPECT_EQ(rendersFor({0ms, 10ms, 20ms, 300ms}, 1s), (std::vector<Clock::duration>{0ms, 250ms, 500ms}));
    std::vector<Clock::duration> storm;  // a request every millisecond for a second
    for (auto t = 0ms; t < 1s; t += 1ms) {
        storm.push_back(t);
    }
    EXPECT_EQ(rendersFor(storm, 2s), (std::vector<Clock::duration>{0ms, 250ms, 500ms, 750ms, 1000ms}));
}

}  // namespace
}  // namespace telvane::widget
