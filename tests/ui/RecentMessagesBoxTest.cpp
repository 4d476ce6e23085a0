#include "ui/RecentMessagesBox.h"

#include "UiFixture.h"
#include "ui/LineLimitedLabel.h"

#include <QDateTime>
#include <QLabel>

namespace telvane::test {
namespace {

class RecentMessagesBoxTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        box_.resize(360, 600);
        box_.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&box_));
    }
    // The shown rows from top to bottom, each as the text of its `label`.
    QStringList shown(const char* label)
    {
        QCoreApplication::processEvents();
        QStringList texts;
        for (QWidget* row : shownInOrder<QWidget>(&box_, QStringLiteral("messageRow"))) {
            texts.append(row->findChild<QLabel*>(QLatin1String(label))->text());
        }
        return texts;
    }
    RecentMessagesBox box_;
};

TEST_F(RecentMessagesBoxTest, ShowsAtMostTenRowsNewestFirstAndTheEmptyTextWithoutMessages)
{
    std::vector<MQTTMessage> messages;
    for (int i = 10; i >= 0; --i) {  // newest first, as the store keeps them
        messages.push_back(message("t/" + std::to_string(i), "p" + std::to_string(i), 1'700'000'000 + i));
    }
    box_.setMessages(messages);
    const QStringList topics = shown("messageTopicLabel");
    ASSERT_EQ(topics.size(), 10);
    EXPECT_EQ(topics.front(), "t/10");
    EXPECT_EQ(topics.back(), "t/1");
    auto* empty = box_.findChild<QLabel*>("recentMessagesEmptyLabel");
    EXPECT_FALSE(empty->isVisible());

    // A newer message of a shown topic replaces its row at the top.
    messages.erase(messages.begin() + 3);
    messages.insert(messages.begin(), message("t/7", "neu", 1'700'000'100));
    box_.setMessages(messages);
    EXPECT_EQ(shown("messageTopicLabel").front(), "t/7");
    EXPECT_EQ(shown("messagePayloadLabel").front(), "neu");

    box_.setMessages(std::vector<MQTTMessage>{});
    EXPECT_TRUE(shown("messageTopicLabel").isEmpty());
    EXPECT_TRUE(empty->isVisible());
    EXPECT_EQ(empty->text(), "Noch keine Nachrichten empfangen.");
}

TEST_F(RecentMessagesBoxTest, PayloadsShowTwoPlainTextLinesAtMostAndTheTimeOfDay)
{
    const double when = 1'700'000'000;  // 2023-11-14, 22:13:20 UTC
    box_.setMessages({message("a", "eins\nzwei\ndrei\nvier", when), message("b", std::string(2000, 'x'), when),
                      message("c", "<b>kein</b> HTML", when)});
    const QStringList payloads = shown("messagePayloadLabel");
    ASSERT_EQ(payloads.size(), 3);
    EXPECT_EQ(payloads[0], QStringLiteral("eins\nzwei\u2026"));
    EXPECT_LE(payloads[1].count('\n'), 1) << "a long line wraps into two lines at most";
    EXPECT_TRUE(payloads[1].endsWith(QChar(0x2026)));
    for (QLabel* label : box_.findChildren<QLabel*>()) {
        EXPECT_EQ(label->textFormat(), Qt::PlainText) << label->objectName().toStdString();
    }
    const QString expected = QDateTime::fromSecsSinceEpoch(static_cast<qint64>(when)).toString("HH:mm");
    EXPECT_EQ(shown("messageTimeLabel").front(), expected);
}

TEST_F(RecentMessagesBoxTest, HugePayloadsShowOnlyTheirStartAndAShortDescription)
{
    // 4 MB of three-byte characters, and the same as one long word: only the start is laid out.
    std::string euros;
    for (int i = 0; i < 4'000'000 / 3; ++i) {
        euros += "\xE2\x82\xAC";
    }
    box_.setMessages({message("a", euros, 1'700'000'000), message("b", std::string(4'000'000, 'x'), 1'700'000'000)});
    const QStringList payloads = shown("messagePayloadLabel");
    ASSERT_EQ(payloads.size(), 2);
    for (const QString& payload : payloads) {
        EXPECT_LE(payload.count('\n'), 1);
        EXPECT_TRUE(payload.endsWith(QChar(0x2026)));
        EXPECT_LT(payload.size(), 1000);
    }
    EXPECT_TRUE(payloads[0].startsWith(QString(3, QChar(0x20AC))));
    for (auto* label : box_.findChildren<LineLimitedLabel*>(QStringLiteral("messagePayloadLabel"))) {
        // A cut in the middle of a UTF-8 sequence would show U+FFFD.
        EXPECT_FALSE(label->fullText().contains(QChar(0xFFFD)));
        EXPECT_LE(label->toolTip().size(), 4097);
        EXPECT_LE(label->accessibleDescription().size(), 4097);
        EXPECT_TRUE(label->toolTip().endsWith(QChar(0x2026)));
    }
}

}  // namespace
}  // namespace telvane::test
