// The window under the offscreen platform: cards from a seeded store,
// redrawn within a second of a change, and its place remembered; and the
// sparkline both Qt programs draw, read back pixel by pixel.

#include "WidgetStore.h"
#include "model/HistoryTables.h"
#include "platform/DBusReloadSignal.h"
#include "sparkline/Sparkline.h"
#include "support/TempDir.h"
#include "widget/window/WidgetCard.h"
#include "widget/window/WidgetWindow.h"
#include "widget/window/WindowFollower.h"

#include <QApplication>
#include <QLabel>
#include <QPainter>
#include <QTest>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

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

HistoryPoint point(double time, double value, double min, double max)
{
    return {.time = time, .value = value, .min = min, .max = max};
}

HistoryPoint point(double time, double value)
{
    return point(time, value, value, value);
}

// Whether a pixel of `area` is at least `minAlpha` opaque.
bool hasInk(const QImage& image, const QRect& area, int minAlpha)
{
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            if (qAlpha(image.pixel(x, y)) >= minAlpha) {
                return true;
            }
        }
    }
    return false;
}

TEST(Sparkline, DrawsASeriesScaledToItsRangeAndTime)
{
    constexpr int kAny = 1;
    constexpr int kLine = 128;  // the band is fainter
    struct Probe {
        QRect area;
        int minAlpha;
        bool ink;
    };
    struct Case {
        const char* name;
        std::vector<HistoryPoint> points;
        std::optional<SparklineSpan> span;
        std::vector<Probe> probes;
    };
    // 100 x 40 pixels, drawn 2 pixels in: x 2..98, y 2 (top of range)..38.
    const std::vector<Case> cases{
        {"rise and fall",
         {point(0, 10), point(1, 20), point(2, 30), point(3, 15), point(4, 0)},
         {},
         {{{49, 0, 3, 6}, kLine, true},  // the highest point at the top of its column
          {{49, 12, 3, 28}, kAny, false},
          {{96, 34, 4, 6}, kLine, true},  // the lowest at the bottom of its column
          {{96, 0, 4, 26}, kAny, false}}},
        {"flat",
         {point(0, 5), point(1, 5), point(2, 5)},
         {},
         {{{10, 18, 80, 5}, kLine, true}, {{0, 0, 100, 12}, kAny, false}, {{0, 28, 100, 12}, kAny, false}}},
        {"one point", {point(5, 7)}, {}, {{{48, 18, 5, 5}, kLine, true}, {{0, 0, 42, 40}, kAny, false}}},
        {"one point at the end of the day",
         {point(90'000, 7)},
         SparklineSpan{3'600, 90'000},
         {{{95, 18, 5, 5}, kLine, true}, {{0, 0, 90, 40}, kAny, false}}},
        {"a spike merged into a point",
         {point(0, 10), point(1, 10, 10, 40), point(2, 10)},
         {},
         {{{49, 3, 3, 8}, 32, true},  // the band reaches up to the spike
          {{0, 0, 100, 30}, kLine, false},
          {{10, 35, 80, 4}, kLine, true}}},
        {"no points", {}, {}, {{{0, 0, 100, 40}, kAny, false}}},
        {"a value that is no number",
         {point(0, 1), point(1, std::numeric_limits<double>::quiet_NaN())},
         {},
         {{{0, 0, 100, 40}, kAny, false}}},
    };
    for (const auto& [name, points, span, probes] : cases) {
        QImage image(100, 40, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        {
            QPainter painter(&image);
            paintSparkline(painter, image.rect(), points, Qt::black, span);
        }
        for (const auto& [area, minAlpha, ink] : probes) {
            EXPECT_EQ(hasInk(image, area, minAlpha), ink)
                << name << ": " << area.x() << "," << area.y() << " " << area.width() << "x" << area.height();
        }
    }
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
    // Points of the temperature only: the humidity's card stays as it was.
    const auto temperatureAgo = [](double secondsAgo, double value) {
        const double time = Date::now().unixSeconds() - secondsAgo;
        return HistoryRow{{{"home/room", "t"}, kCoarseTier.id, historyBucket(kCoarseTier, time)}, point(time, value)};
    };
    store_.telvane().appendMessages({MQTTMessage{"home/room", R"({"t":21.5,"h":40})", Date::now()}}, 50,
                                    {temperatureAgo(26 * 3600, 30), temperatureAgo(3600, 19), temperatureAgo(0, 21.5)});
    WidgetWindow window(settingsPath_);
    WidgetOptions options;
    WindowFollower follower(options, store_.path(), DBusReloadSignal::sessionBusAddress(), window);
    follower.start();
    window.show();
    EXPECT_EQ(cardTexts(window, "cardLabel"), (QStringList{"Temperatur", "Feuchte", "Keller"}));
    EXPECT_EQ(cardTexts(window, "cardValue"), (QStringList{"21.5", "40", "\u2013"}));
    EXPECT_EQ(cardTexts(window, "cardRange"), QStringList{"min 19 \u00B7 max 21.5"}) << "the last 24 hours only";
    EXPECT_TRUE(window.windowFlags().testFlag(Qt::FramelessWindowHint));
    EXPECT_TRUE(window.testAttribute(Qt::WA_TranslucentBackground));

    DBusReloadSignal reload(DBusReloadSignal::sessionBusAddress());
    store_.telvane().appendMessages({MQTTMessage{"home/room", R"({"t":22,"h":41})", Date::now()}}, 50,
                                    {temperatureAgo(0, 22)});
    reload.emitReload();
    QTRY_COMPARE_WITH_TIMEOUT(cardTexts(window, "cardValue"), (QStringList{"22", "41", "\u2013"}), 1000);
    EXPECT_EQ(cardTexts(window, "cardRange"), QStringList{"min 19 \u00B7 max 22"});
    EXPECT_FALSE(::testing::Test::HasFailure());
}

TEST_F(Window, ACardWithKeptPointsShowsItsDayUnderTheValueAndOthersKeepTheirHeight)
{
    Snapshot snapshot;
    snapshot.nowUnix = test::kNow;
    Entry warm;
    warm.label = "Temperatur";
    warm.value = "21.5";
    warm.history = {point(test::kNow - 7200, 17.2, 17.2, 19), point(test::kNow - 60, 21.5, 20, 21.5)};
    warm.historyRange = HistoryRange{17.2, 21.5};
    Entry humid;
    humid.label = "Feuchte";
    humid.value = "40";
    snapshot.entries = {warm, humid};
    WidgetWindow window(settingsPath_);
    window.showSnapshot(snapshot);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));

    const auto cards = window.findChildren<WidgetCard*>();
    ASSERT_EQ(cards.size(), 2);
    const auto* sparkline = cards[0]->findChild<Sparkline*>();
    ASSERT_NE(sparkline, nullptr);
    EXPECT_EQ(sparkline->accessibleName(), "Verlauf 24 h: min 17.2, max 21.5");
    EXPECT_EQ(cardTexts(window, "cardRange"), QStringList{"min 17.2 · max 21.5"});
    EXPECT_EQ(cards[1]->findChild<Sparkline*>(), nullptr);
    const WidgetCard plain("Feuchte", "40", false, nullptr);
    EXPECT_EQ(cards[1]->height(), plain.sizeHint().height());
    EXPECT_GT(cards[0]->height(), cards[1]->height());
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
