#include "ui/LineLimitedLabel.h"
#include "ui/RecentMessagesBox.h"

#include "UiFixture.h"

#include <QDateTime>
#include <QLabel>
#include <QTest>

namespace telvane::test {
namespace {

QList<QWidget*> rows(const RecentMessagesBox& box)
{
    QList<QWidget*> shown;
    for (QWidget* row : box.findChildren<QWidget*>(QStringLiteral("messageRow"))) {
        shown.append(row);
    }
    std::sort(shown.begin(), shown.end(), [](QWidget* a, QWidget* b) { return a->y() < b->y(); });
    return shown;
}

QString rowText(QWidget* row, const char* label)
{
    auto* l = row->findChild<QLabel*>(QLatin1String(label));
    return l != nullptr ? l->text() : QString();
}

class RecentMessagesBoxTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        box_.resize(360, 600);
        box_.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&box_));
    }
    RecentMessagesBox box_;
};

TEST_F(RecentMessagesBoxTest, ShowsAtMostTenRowsNewestFirst)
{
    std::vector<MQTTMessage> messages;
    for (int i = 10; i >= 0; --i) {  // newest first, as the store keeps them
        messages.push_back(message("t/" + std::to_string(i), "p" + std::to_string(i), 1'700'000'000 + i));
    }
    box_.setMessages(messages);
    QCoreApplication::processEvents();

    const auto shown = rows(box_);
    ASSERT_EQ(shown.size(), 10);
    EXPECT_EQ(rowText(shown.front(), "messageTopicLabel"), "t/10");
    EXPECT_EQ(rowText(shown.back(), "messageTopicLabel"), "t/1");
    EXPECT_FALSE(box_.findChild<QLabel*>("recentMessagesEmptyLabel")->isVisible());

    // A newer message of a shown topic replaces its row at the top.
    messages.erase(messages.begin() + 3);
    messages.insert(messages.begin(), message("t/7", "neu", 1'700'000'100));
    box_.setMessages(messages);
    QCoreApplication::processEvents();
    const auto updated = rows(box_);
    EXPECT_EQ(rowText(updated.front(), "messageTopicLabel"), "t/7");
    EXPECT_EQ(rowText(updated.front(), "messagePayloadLabel"), "neu");
}

TEST_F(RecentMessagesBoxTest, PayloadsShowTwoLinesAtMostAndTheTimeOfDay)
{
    const std::string longLine(2000, 'x');
    const double when = 1'700'000'000;  // 2023-11-14, 22:13:20 UTC
    box_.setMessages({message("a", "eins\nzwei\ndrei\nvier", when), message("b", longLine, when),
                      message("c", "<b>kein</b> HTML", when)});
    QCoreApplication::processEvents();
    const auto shown = rows(box_);
    ASSERT_EQ(shown.size(), 3);

    EXPECT_EQ(rowText(shown[0], "messagePayloadLabel"), QStringLiteral("eins\nzwei\u2026"));
    const QString cut = rowText(shown[1], "messagePayloadLabel");
    EXPECT_LE(cut.count('\n'), 1);
    EXPECT_TRUE(cut.endsWith(QChar(0x2026))) << cut.toStdString();
    EXPECT_EQ(shown[1]->findChild<LineLimitedLabel*>("messagePayloadLabel")->fullText().size(), 2000);
    EXPECT_EQ(shown[2]->findChild<QLabel*>("messagePayloadLabel")->textFormat(), Qt::PlainText);

    const QString expected = QDateTime::fromSecsSinceEpoch(static_cast<qint64>(when)).toString("HH:mm");
    EXPECT_EQ(rowText(shown[0], "messageTimeLabel"), expected);
}

TEST_F(RecentMessagesBoxTest, NoMessagesShowsTheEmptyText)
{
    box_.setMessages({message("a", "1", 1'700'000'000)});
    box_.setMessages({});
    auto* empty = box_.findChild<QLabel*>("recentMessagesEmptyLabel");
    EXPECT_TRUE(empty->isVisible());
    EXPECT_EQ(empty->text(), "Noch keine Nachrichten empfangen.");
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    EXPECT_TRUE(rows(box_).isEmpty());
}

}  // namespace
}  // namespace telvane::test
