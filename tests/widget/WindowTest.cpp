// The window under the offscreen platform: cards from a seeded store,
// redrawn within a second of a change, and its place remembered.

#include "WidgetStore.h"
#include "platform/DBusReloadSignal.h"
#include "support/TempDir.h"
#include "widget/window/WidgetWindow.h"
#include "widget/window/WindowFollower.h"

#include <QApplication>
#include <QLabel>
#include <QTest>

#include <gtest/gtest.h>

namespace telvane::widget {
namespace {

QStringList cardTexts(const WidgetWindow& window, const char* name)
{
    QStringList texts;
    for (const auto* label : window.findChildren<QLabel*>(QString::fromLatin1(name))) {
        texts << label->text();
    }
    return texts;
}

class Window : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(std::getenv("DBUS_SESSION_BUS_ADDRESS"), nullptr) << "run under dbus-run-session";
        settingsPath_ = QString::fromStdString((settings_.path() / "widget.conf").string());
    }

    telvane::test::TempDir settings_;
    QString settingsPath_;
    test::WidgetStore store_;
};

TEST_F(Window, ShowsACardPerItemAndAChangeWithinASecond)
{
    store_.seed(
        {MQTTMessage{"home/room", R"({"t":21.5,"h":40})", Date::now()}},
        {MQTTDisplayItem::make("home/room", "Temperatur", "t"), MQTTDisplayItem::make("home/room", "Feuchte", "h"),
         MQTTDisplayItem::make("home/none", "Keller", "t")});
    WidgetWindow window(settingsPath_);
    WidgetOptions options;
    WindowFollower follower(options, store_.path(), DBusReloadSignal::sessionBusAddress(), window);
    follower.start();
    window.show();
    EXPECT_EQ(cardTexts(window, "cardLabel"), (QStringList{"Temperatur", "Feuchte", "Keller"}));
    EXPECT_EQ(cardTexts(window, "cardValue"), (QStringList{"21.5", "40", "\u2013"}));
    EXPECT_TRUE(window.windowFlags().testFlag(Qt::FramelessWindowHint));
    EXPECT_TRUE(window.testAttribute(Qt::WA_TranslucentBackground));

    DBusReloadSignal reload(DBusReloadSignal::sessionBusAddress());
    store_.telvane().appendMessages({MQTTMessage{"home/room", R"({"t":22,"h":41})", Date::now()}}, 50);
    reload.emitReload();
    QTRY_COMPARE_WITH_TIMEOUT(cardTexts(window, "cardValue"), (QStringList{"22", "41", "\u2013"}), 1000);
    EXPECT_FALSE(::testing::Test::HasFailure());
}

TEST_F(Window, AMissingStoreShowsOneCardSayingSo)
{
    WidgetWindow window(settingsPath_);
    WindowFollower follower(WidgetOptions{}, std::filesystem::path("/nonexistent/defaults.sqlite3"), "", window);
    follower.start();
    EXPECT_EQ(cardTexts(window, "cardValue"), QStringList{"Telvane: kein Speicher"});
    EXPECT_TRUE(window.findChild<QWidget*>("card")->toolTip().contains("Kein Telvane-Speicher"));
}

TEST_F(Window, ADraggedWindowOpensWhereItWasLeft)
{
    QPoint dropped;
    {
        WidgetWindow window(settingsPath_);
        window.showSnapshot(Snapshot{});
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        const QPoint start = window.pos();
        QTest::mousePress(&window, Qt::LeftButton, {}, QPoint(5, 5));
        QMouseEvent move(QEvent::MouseMove, QPointF(5, 5), QPointF(window.mapToGlobal(QPoint(5, 5)) + QPoint(40, 30)),
                         Qt::NoButton, Qt::LeftButton, {});
        QApplication::sendEvent(&window, &move);
        QTest::mouseRelease(&window, Qt::LeftButton, {}, QPoint(5, 5));
        dropped = window.pos();
        EXPECT_EQ(dropped, start + QPoint(40, 30));
    }
    WidgetWindow reopened(settingsPath_);
    EXPECT_EQ(reopened.pos(), dropped);
}

}  // namespace
}  // namespace telvane::widget

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
