// The shell in-process on the offscreen platform: what the end-to-end test
// cannot see from outside the process. That one covers the hand-over between
// two processes and the socket left by a killed one.

#include "app/Autostart.h"
#include "app/SingleInstance.h"
#include "app/TelvaneApp.h"
#include "support/MosquittoBroker.h"
#include "support/TempDir.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>

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

TEST(ShellWindowTest, AutostartedTelvaneHidesItsWindowOnlyWhereATrayCanBringItBack)
{
    for (const bool tray : {true, false}) {
        SCOPED_TRACE(tray);
        LaunchOptions options;
        options.autostarted = true;
        options.trayAvailable = tray;
        TelvaneApp app(options);
        app.launch();
        QCoreApplication::processEvents();
        EXPECT_EQ(app.window().isVisible(), !tray);
    }
    // An ordinary start always shows it.
    LaunchOptions options;
    options.trayAvailable = true;
    TelvaneApp app(options);
    app.launch();
    EXPECT_TRUE(app.window().isVisible());
}

TEST(ShellWindowTest, StartAtLoginWritesAndRemovesTheAutostartEntryAndShowsItsState)
{
    test::TempDir config;
    const auto entry = config.path() / "autostart" / "telvane.desktop";
    LaunchOptions options;
    options.trayAvailable = true;
    options.autostartEntry = entry;
    TelvaneApp app(options);
    const auto actions = app.window().findChildren<QAction*>(QStringLiteral("autostartAction"));
    ASSERT_EQ(actions.size(), 1) << "the menu bar's; the tray menu is not a child of the window";
    QAction* action = actions.front();
    EXPECT_FALSE(action->isChecked());

    action->trigger();
    ASSERT_TRUE(std::filesystem::exists(entry));
    EXPECT_TRUE(action->isChecked());
    EXPECT_NE(test::readFile(entry).find("--autostart\n"), std::string::npos) << test::readFile(entry);

    action->trigger();
    EXPECT_FALSE(std::filesystem::exists(entry));
    EXPECT_FALSE(action->isChecked());

    // Where the entry cannot be written (a file stands where its folder
    // belongs) the item stays unchecked.
    std::filesystem::remove_all(config.path() / "autostart");
    std::ofstream(config.path() / "autostart") << "not a folder";
    action->trigger();
    EXPECT_FALSE(action->isChecked());
}

// The client of the real shell against a real broker: it connects at
// launch, and every save in the window connects it with what was saved.
TEST(ShellWindowTest, TheClientConnectsAtLaunchAndAgainWithEverySavedConfiguration)
{
    if (!test::MosquittoBroker::isInstalled()) {
        GTEST_SKIP() << "mosquitto is not installed";
    }
    test::MosquittoBroker broker;
    ASSERT_TRUE(broker.start()) << broker.log();
    const test::MosquittoBroker nobody;  // a free port, never listened on
    MQTTConfig config;
    config.host = broker.host();
    config.port = broker.port();
    config.clientID = "Telvane-shell";
    SharedStore(SharedStore::defaultDatabasePath()).saveConfig(config);

    TelvaneApp app;
    app.launch();
    const auto* status = app.window().findChild<QLabel*>(QStringLiteral("statusText"));
    const auto* error = app.window().findChild<QLabel*>(QStringLiteral("lastErrorLabel"));
    auto* port = app.window().findChild<QLineEdit*>(QStringLiteral("portField"));
    auto* save = app.window().findChild<QPushButton*>(QStringLiteral("saveButton"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return status->text() == QStringLiteral("Verbunden"); }, 10'000));

    const struct {
        std::uint16_t port;
        QString status;
        QString error;
    } saves[] = {
        {nobody.port(), QStringLiteral("Getrennt"), QStringLiteral("Verbindung verweigert")},
        {broker.port(), QStringLiteral("Verbunden"), QString()},
    };
    for (const auto& saved : saves) {
        SCOPED_TRACE(saved.port);
        port->selectAll();
        QTest::keyClicks(port, QString::number(saved.port));
        QTest::mouseClick(save, Qt::LeftButton);
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return status->text() == saved.status && error->isVisible() == !saved.error.isEmpty(); }, 10'000));
        if (!saved.error.isEmpty()) {
            EXPECT_TRUE(error->text().startsWith(saved.error)) << error->text().toStdString();
        }
    }
    SharedStore(SharedStore::defaultDatabasePath()).saveConfig({});
}

TEST(AutostartTest, EntryStartsThisExecutableAndHiddenEntriesCountAsOff)
{
    const struct {
        std::string executable;
        std::string execLine;
    } cases[] = {
        {"/usr/bin/telvane", "Exec=/usr/bin/telvane --autostart"},
        {"/home/a b/build/telvane", "Exec=\"/home/a b/build/telvane\" --autostart"},
        {"/opt/100%/t$x", "Exec=\"/opt/100%%/t\\$x\" --autostart"},
    };
    for (const auto& c : cases) {
        EXPECT_NE(Autostart::entryText(c.executable).find(c.execLine + "\n"), std::string::npos)
            << Autostart::entryText(c.executable);
    }

    test::TempDir dir;
    const auto path = dir.path() / "telvane.desktop";
    Autostart autostart(path, "/usr/bin/telvane");
    EXPECT_TRUE(autostart.setEnabled(true));
    EXPECT_TRUE(autostart.isEnabled());
    std::ofstream(path, std::ios::app) << "Hidden=true\n";
    EXPECT_FALSE(autostart.isEnabled());

    Autostart nowhere(std::nullopt, "/usr/bin/telvane");
    EXPECT_FALSE(nowhere.setEnabled(true));
    EXPECT_FALSE(nowhere.isEnabled());
}

TEST(SingleInstanceTest, LaterStartOnTheSameStoreAsksTheRunningOneToComeForward)
{
    const QString userStore = SingleInstance::socketNameForStore(QStringLiteral("/home/a/.local/share/x.sqlite3"));
    SingleInstance first(userStore);
    ASSERT_EQ(first.claim(), SingleInstance::Role::primary);
    first.serve();
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
