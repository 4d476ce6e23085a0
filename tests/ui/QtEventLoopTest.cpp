#include "ui/QtEventLoop.h"

#include <QTest>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace telvane {
namespace {

TEST(QtEventLoopTest, TasksPostedFromAnyThreadRunOnTheLoopThreadInOrder)
{
    QtEventLoop loop;
    std::vector<int> ran;
    std::atomic<bool> wrongThread = false;
    QThread* const mainThread = QThread::currentThread();
    std::thread poster([&] {
        for (int i = 0; i < 100; ++i) {
            loop.post([&, i] {
                wrongThread = wrongThread || QThread::currentThread() != mainThread;
                ran.push_back(i);
            });
        }
    });
    poster.join();
    ASSERT_TRUE(QTest::qWaitFor([&] { return ran.size() == 100; }, 5000));
    EXPECT_FALSE(wrongThread);
    EXPECT_TRUE(std::is_sorted(ran.begin(), ran.end()));
}

TEST(QtEventLoopTest, TimersFireOnceOrUntilInvalidatedAndNotAtAllOnceTheirHandleIsGone)
{
    QtEventLoop loop;
    int once = 0;
    int repeated = 0;
    bool cancelledFired = false;
    TimerHandle single = loop.schedule(Seconds(0.01), false, [&] { ++once; });
    TimerHandle repeating;
    repeating = loop.schedule(Seconds(0.01), true, [&] {
        if (++repeated == 3) {
            repeating.invalidate();  // from inside its own action
        }
    });
    loop.schedule(Seconds(0.01), false, [&] { cancelledFired = true; }).invalidate();
    {
        TimerHandle dropped = loop.schedule(Seconds(0.01), false, [&] { cancelledFired = true; });
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return repeated == 3 && once == 1; }, 5000));
    QTest::qWait(60);
    EXPECT_EQ(once, 1);
    EXPECT_EQ(repeated, 3);
    EXPECT_FALSE(cancelledFired);
}

}  // namespace
}  // namespace telvane
