#include "ui/RecentMessagesBox.h"

#include "ui/LineLimitedLabel.h"
#include "ui/WindowStyle.h"

#include <QDateTime>
#include <QLabel>
#include <QLocale>
#include <QScrollArea>
#include <QVBoxLayout>

#include <cmath>

namespace telvane {

namespace {

// Of a payload no more than this is turned into text for its row: two lines
// show a few hundred characters, and a payload may be megabytes.
constexpr std::size_t kMaxPayloadBytes = 16'384;

QString payloadText(const std::string& payload)
{
    if (payload.size() <= kMaxPayloadBytes) {
        return QString::fromStdString(payload);
    }
    std::size_t end = kMaxPayloadBytes;
    // Not in the middle of a UTF-8 sequence: back off its continuation bytes.
    while (end > 0 && (static_cast<unsigned char>(payload[end]) & 0xC0u) == 0x80u) {
        --end;
    }
    return QString::fromUtf8(payload.data(), static_cast<qsizetype>(end)) + QChar(0x2026);
}

QWidget* messageRow(const MQTTMessage& message, QWidget* parent)
{
    auto* row = new QWidget(parent);
    row->setObjectName(QStringLiteral("messageRow"));
    auto* layout = new QVBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);

    auto* topic = new LineLimitedLabel(1, row);
    topic->setObjectName(QStringLiteral("messageTopicLabel"));
    topic->setFont(style::captionFont(topic->font()));
    style::makeSecondary(topic);
    topic->setFullText(QString::fromStdString(message.topic));

    auto* payload = new LineLimitedLabel(2, row);
    payload->setObjectName(QStringLiteral("messagePayloadLabel"));
    payload->setFullText(payloadText(message.payload));

    QLabel* time = style::plainLabel(RecentMessagesBox::timeOfDay(message.timestamp), row);
    time->setObjectName(QStringLiteral("messageTimeLabel"));
    time->setFont(style::smallCaptionFont(time->font()));
    style::makeSecondary(time);

    layout->addWidget(topic);
    layout->addWidget(payload);
    layout->addWidget(time);
    return row;
}

}  // namespace

RecentMessagesBox::RecentMessagesBox(QWidget* parent)
    : QGroupBox(QStringLiteral("Letzte Nachrichten"), parent),
      emptyLabel_(style::plainLabel(QStringLiteral("Noch keine Nachrichten empfangen."), this)),
      scrollArea_(new QScrollArea(this)),
      rowsLayout_(nullptr)
{
    setObjectName(QStringLiteral("recentMessagesBox"));
    emptyLabel_->setObjectName(QStringLiteral("recentMessagesEmptyLabel"));
    style::makeSecondary(emptyLabel_);

    auto* rows = new QWidget(scrollArea_);
    rows->setObjectName(QStringLiteral("recentMessagesRows"));
    rowsLayout_ = new QVBoxLayout(rows);
    rowsLayout_->setSpacing(8);
    rowsLayout_->addStretch(1);
    scrollArea_->setObjectName(QStringLiteral("recentMessagesList"));
    scrollArea_->setWidget(rows);
    scrollArea_->setWidgetResizable(true);
    scrollArea_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scrollArea_->setMinimumHeight(120);
    scrollArea_->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);
    scrollArea_->hide();

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(emptyLabel_);
    layout->addWidget(scrollArea_, 1);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);
}

void RecentMessagesBox::setMessages(std::vector<MQTTMessage> messages)
{
    setMessages(std::make_shared<const std::vector<MQTTMessage>>(std::move(messages)));
}

void RecentMessagesBox::setMessages(std::shared_ptr<const std::vector<MQTTMessage>> messages)
{
    if (!messages || messages == shown_) {
        return;
    }
    const std::size_t count = std::min(messages->size(), kMaxRows);
    const auto first = messages->begin();
    const auto last = first + static_cast<std::ptrdiff_t>(count);
    if (shown_
        && std::equal(first, last, shown_->begin(), shown_->begin() + static_cast<std::ptrdiff_t>(shownCount_))) {
        shown_ = std::move(messages);  // the same rows: keep them, forget the old list
        return;
    }
    shown_ = std::move(messages);
    shownCount_ = count;

    // Everything but the trailing stretch.
    while (rowsLayout_->count() > 1) {
        QLayoutItem* item = rowsLayout_->takeAt(0);
        delete item->widget();
        delete item;
    }
    for (std::size_t i = 0; i < shownCount_; ++i) {
        rowsLayout_->insertWidget(static_cast<int>(i), messageRow((*shown_)[i], rowsLayout_->parentWidget()));
    }
    emptyLabel_->setVisible(shownCount_ == 0);
    scrollArea_->setVisible(shownCount_ != 0);
}

QString RecentMessagesBox::timeOfDay(const Date& timestamp)
{
    const double millis = timestamp.unixSeconds() * 1000.0;
    if (!std::isfinite(millis) || std::fabs(millis) > 8.64e15) {  // beyond what a date can hold
        return {};
    }
    const auto msecs = static_cast<qint64>(std::llround(millis));
    return QLocale().toString(QDateTime::fromMSecsSinceEpoch(msecs).time(), QLocale::ShortFormat);
}

}  // namespace telvane
