#include "support/ThreadEventLoop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace telvane {
namespace {

using namespace std::chrono_literals;

TEST(ThreadEventLoopTest, TimersFireInDeadlineOrderAndInvalidatedOnesNever)
{
    ThreadEventLoop loop;
    std::vector<std::string> fired;
    auto late = loop.schedule(Seconds(0.06), false, [&] { fired.push_back("late"); });
    auto early = loop.schedule(Seconds(0.02), false, [&] { fired.push_back("early"); });
    auto dropped = loop.schedule(Seconds(0.04), false, [&] { fired.push_back("dropped"); });
    TimerHandle selfStopping;
    int ticks = 0;
    selfStopping = loop.schedule(Seconds(0.01), true, [&] {
        if (++ticks == 3) {
            selfStopping.invalidate();  // from inside its own action
        }
    });
    dropped.invalidate();

    loop.runFor(Seconds(0.2));
    EXPECT_EQ(fired, (std::vector<std::string>{"early", "late"}));
    EXPECT_EQ(ticks, 3);
}

// A queue that never empties (each task posts the next) must not starve a timer.
TEST(ThreadEventLoopTest, TasksFromAnotherThreadRunInPostOrderOnTheLoopThreadAndLeaveTimersTheirTurn)
{
    ThreadEventLoop loop;
    const auto loopThread = std::this_thread::get_id();
    constexpr int kTasks = 2000;
    std::vector<int> seen;
    int offThread = 0;
    std::thread poster([&] {
        for (int i = 0; i < kTasks; ++i) {
            loop.post([&, i] {
                offThread += std::this_thread::get_id() != loopThread;
                seen.push_back(i);
            });
        }
    });
    bool timerFired = false;
    auto timer = loop.schedule(Seconds(0.02), false, [&] { timerFired = true; });
    std::function<void()> next = [&] { loop.post(next); };
    loop.post(next);
    const bool finished = loop.runUntil([&] { return timerFired && seen.size() == kTasks; }, Seconds(10));
    poster.join();
    ASSERT_TRUE(finished);
    EXPECT_EQ(offThread, 0);
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
}

}  // namespace
}  // namespace telvane
