// Coalescing reload requests, on a virtual clock.

#include "widget/RenderThrottle.h"

#include <gtest/gtest.h>

#include <map>

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

TEST(RenderThrottle, AStormRendersAtMostFourTimesASecondAndOnceAfterItsLastRequest)
{
    std::vector<Clock::duration> storm;
    for (auto t = Clock::duration(0); t < 10s; t += 100us) {
        storm.push_back(t);  // 10,000 requests a second for 10 s
    }
    const auto renders = rendersFor(storm, 12s);
    std::map<long long, int> perSecond;
    for (std::size_t i = 0; i < renders.size(); ++i) {
        ++perSecond[std::chrono::duration_cast<std::chrono::seconds>(renders[i]).count()];
        if (i > 0) {
            EXPECT_GE(renders[i] - renders[i - 1], 250ms);
        }
    }
    for (const auto& [second, count] : perSecond) {
        EXPECT_LE(count, 4) << "second " << second;
    }
    ASSERT_FALSE(renders.empty());
    EXPECT_GE(renders.back(), storm.back()) << "no render after the last request";
    EXPECT_LE(renders.back(), storm.back() + 250ms);
}

TEST(RenderThrottle, ALoneRequestRendersAtOnceAndOneJustAfterARenderWaitsForTheInterval)
{
    EXPECT_EQ(rendersFor({100ms}, 2s), std::vector<Clock::duration>{100ms});
    EXPECT_EQ(rendersFor({100ms, 1s}, 2s), (std::vector<Clock::duration>{100ms, 1s}));
    EXPECT_EQ(rendersFor({0ms, 10ms}, 1s), (std::vector<Clock::duration>{0ms, 250ms}));
    EXPECT_EQ(rendersFor({0ms, 10ms, 20ms, 300ms}, 1s), (std::vector<Clock::duration>{0ms, 250ms, 500ms}));
}

}  // namespace
}  // namespace telvane::widget
