// The shell in-process on the offscreen platform: what the end-to-end test
// cannot see from outside the process. It covers the hand-over between two
// processes and the socket left by a killed one.

#include "app/SingleInstance.h"
#include "app/TelvaneApp.h"
#include "support/TempDir.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QMainWindow>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdlib>
#include <future>
#include <sys/stat.h>

namespace telvane {
namespace {

TEST(ShellWindowTest, ClosingTheWindowKeepsTheApplicationAndShowWindowBringsItBack)
{
    TelvaneApp app;
    app.showWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&app.window()));
    QSignalSpy quitting(qApp, &QCoreApplication::aboutToQuit);

    EXPECT_TRUE(app.window().close());
    QCoreApplication::processEvents();
    EXPECT_FALSE(app.window().isVisible());
    EXPECT_EQ(quitting.count(), 0);

    app.showWindow();
    EXPECT_TRUE(app.window().isVisible());
}

TEST(SingleInstanceTest, LaterStartOnTheSameStoreAsksTheRunningOneToComeForward)
{
    const QString userStore = SingleInstance::socketNameForStore(QStringLiteral("/home/a/.local/share/x.sqlite3"));
    SingleInstance first(userStore);
    ASSERT_EQ(first.claim(), SingleInstance::Role::primary);
    EXPECT_EQ(QFileInfo(first.socketPath()).dir(), QDir(qEnvironmentVariable("XDG_RUNTIME_DIR")));
    QSignalSpy activations(&first, &SingleInstance::activationRequested);

    // An instance on another store (the demo's) runs beside it.
    SingleInstance demo(SingleInstance::socketNameForStore(QStringLiteral("/tmp/demo/x.sqlite3")));
    EXPECT_EQ(demo.claim(), SingleInstance::Role::primary);

    // The later start blocks until the running one answers, so it runs on a
    // thread of its own while this one serves.
    auto second = std::async(std::launch::async, [&userStore] { return SingleInstance(userStore).claim(); });
    while (second.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) {
        QCoreApplication::processEvents();
    }
    EXPECT_EQ(second.get(), SingleInstance::Role::secondary);
    QCoreApplication::processEvents();
    EXPECT_EQ(activations.count(), 1);
}

}  // namespace
}  // namespace telvane

// The QApplication must outlive every test and go before static destructors run.
int main(int argc, char** argv)
{
    // The shared store and the runtime directory of this process.
    telvane::test::TempDir home;
    ::chmod(home.path().c_str(), 0700);
    ::setenv("XDG_DATA_HOME", (home.path() / "data").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", home.path().c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    telvane::TelvaneApp::configureApplication();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
