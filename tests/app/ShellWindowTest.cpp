// The shell around the settings window, in-process on the offscreen
// platform: the menu, the about box, and closing without quitting.

#include "app/TelvaneApp.h"
#include "support/TempDir.h"

#include <QAction>
#include <QApplication>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/stat.h>

namespace telvane {
namespace {

class ShellWindowTest : public ::testing::Test {
protected:
    QMenu* telvaneMenu() { return app_.window().findChild<QMenu*>(QStringLiteral("telvaneMenu")); }

    TelvaneApp app_;
};

TEST_F(ShellWindowTest, MenuTelvaneHoldsAboutAndQuitWithCtrlQ)
{
    QMenu* menu = telvaneMenu();
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(menu->title(), QStringLiteral("Telvane"));
    QStringList texts;
    for (QAction* action : menu->actions()) {
        if (!action->isSeparator()) {
            texts << action->text();
        }
    }
    EXPECT_EQ(texts, (QStringList{QStringLiteral("Über Telvane"), QStringLiteral("Beenden")}));
    auto* quit = app_.window().findChild<QAction*>(QStringLiteral("quitAction"));
    ASSERT_NE(quit, nullptr);
    EXPECT_EQ(quit->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
}

TEST_F(ShellWindowTest, AboutBoxShowsNameVersionAndTheCreditsAsALink)
{
    auto* about = app_.window().findChild<QAction*>(QStringLiteral("aboutAction"));
    ASSERT_NE(about, nullptr);
    about->trigger();
    auto* box = app_.window().findChild<QMessageBox*>(QStringLiteral("aboutBox"));
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->windowTitle(), QStringLiteral("Über Telvane"));
    EXPECT_TRUE(box->text().contains(QStringLiteral("Telvane")));
    EXPECT_TRUE(box->text().contains(QStringLiteral(TELVANE_VERSION)));
    EXPECT_TRUE(box->text().contains(QStringLiteral("<a href=\"https://telvane.org/\">")));
    EXPECT_TRUE(box->textInteractionFlags() & Qt::LinksAccessibleByKeyboard);

    // A second choice of the item brings the same box forward.
    about->trigger();
    EXPECT_EQ(app_.window().findChildren<QMessageBox*>(QStringLiteral("aboutBox")).size(), 1);
    box->close();
}

TEST_F(ShellWindowTest, ClosingTheWindowKeepsTheApplicationAndShowWindowBringsItBack)
{
    app_.showWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&app_.window()));
    QSignalSpy quitting(qApp, &QCoreApplication::aboutToQuit);

    EXPECT_TRUE(app_.window().close());
    QCoreApplication::processEvents();
    EXPECT_FALSE(app_.window().isVisible());
    EXPECT_EQ(quitting.count(), 0);

    app_.showWindow();
    EXPECT_TRUE(app_.window().isVisible());
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
