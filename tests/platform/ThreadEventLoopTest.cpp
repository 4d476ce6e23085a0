#include "platform/ThreadEventLoop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
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
            selfStopping.invalidate();  // from inside its own block
        }
    });
    dropped.invalidate();

    loop.runFor(Seconds(0.2));
    EXPECT_EQ(fired, (std::vector<std::string>{"early", "late"}));
    EXPECT_EQ(ticks, 3);
}

TEST(ThreadEventLoopTest, DestroyedHandleStopsARepeatingTimer)
{
    ThreadEventLoop loop;
    int ticks = 0;
    {
        auto handle = loop.schedule(Seconds(0.005), true, [&] { ++ticks; });
        loop.runUntil([&] { return ticks >= 2; }, Seconds(5));
    }
    const int ticksAtRelease = ticks;
    loop.runFor(Seconds(0.05));
    EXPECT_EQ(ticks, ticksAtRelease);
}

TEST(ThreadEventLoopTest, TasksFromOtherThreadsRunInPostOrderOnTheLoopThread)
{
    ThreadEventLoop loop;
    const auto loopThread = std::this_thread::get_id();
    constexpr int kPerThread = 2000;
    std::vector<int> seen[2];
    std::atomic<int> offThread = 0;
    std::vector<std::thread> posters;
    for (int t = 0; t < 2; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                loop.post([&, t, i] {
                    if (std::this_thread::get_id() != loopThread) {
                        ++offThread;
                    }
                    seen[t].push_back(i);
                });
            }
        });
    }
    const bool finished = loop.runUntil(
        [&] { return seen[0].size() == kPerThread && seen[1].size() == kPerThread; }, Seconds(10));
    for (auto& poster : posters) {
        poster.join();
    }
    ASSERT_TRUE(finished);
    EXPECT_EQ(offThread, 0);
    for (const auto& sequence : seen) {
        EXPECT_TRUE(std::is_sorted(sequence.begin(), sequence.end()));
    }
}

TEST(ThreadEventLoopTest, StopFromAnotherThreadEndsRunAndKeepsPendingTasks)
{
    ThreadEventLoop loop;
    std::thread stopper([&] {
        std::this_thread::sleep_for(20ms);
        loop.stop();
    });
    loop.run();  // returns only because of stop()
    stopper.join();

    // A stop() while nothing runs ends the next run at once, tasks stay queued.
    bool ran = false;
    loop.post([&] { ran = true; });
    loop.stop();
    loop.run();
    EXPECT_FALSE(ran);
    EXPECT_TRUE(loop.runUntil([&] { return ran; }, Seconds(1)));
}

TEST(ThreadEventLoopTest, BusyTaskStreamDoesNotStarveTimers)
{
    ThreadEventLoop loop;
    bool timerFired = false;
    auto timer = loop.schedule(Seconds(0.02), false, [&] { timerFired = true; });
    // Each task posts the next one, so the queue is never empty.
    std::function<void()> next = [&] { loop.post(next); };
    loop.post(next);
    EXPECT_TRUE(loop.runUntil([&] { return timerFired; }, Seconds(5)));
}

TEST(ThreadEventLoopTest, HandleOutlivingTheLoopIsHarmless)
{
    TimerHandle handle;
    {
        ThreadEventLoop loop;
        handle = loop.schedule(Seconds(10), false, [] {});
    }
    handle.invalidate();
    EXPECT_FALSE(handle);
}

}  // namespace
}  // namespace telvane
