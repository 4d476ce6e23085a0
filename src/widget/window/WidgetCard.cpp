#include "widget/window/WidgetCard.h"

#include "sparkline/Sparkline.h"

#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>

namespace telvane::widget {

namespace {

const QColor kValueColour(255, 255, 255);
const QColor kStaleColour(154, 154, 154);
const QColor kCaptionColour(200, 200, 200);
constexpr int kSparklineHeight = 28;

QLabel* makeLabel(const QString& text, const char* name, double scale, bool bold, const QColor& colour, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setTextFormat(Qt::PlainText);
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * scale);
    font.setBold(bold);
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, colour);
    label->setPalette(palette);
    return label;
}

}  // namespace

WidgetCard::WidgetCard(const QString& label, const QString& value, bool isStale, QWidget* parent)
    : QWidget(parent),
      isStale_(isStale)
{
    setObjectName(QStringLiteral("card"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(10, 6, 10, 8);
    layout->setSpacing(0);
    layout->addWidget(makeLabel(label, "cardLabel", 0.85, false, kCaptionColour, this));
    layout->addWidget(makeLabel(value, "cardValue", 1.6, true, isStale ? kStaleColour : kValueColour, this));
}

void WidgetCard::showHistory(std::vector<HistoryPoint> points, const HistoryRange& range, const SparklineSpan& span)
{
    auto* sparkline = new Sparkline(this);
    sparkline->setFixedHeight(kSparklineHeight);
    // The card is dark in every theme: the line takes the value's colour,
    // not the theme's text colour.
    QPalette palette = sparkline->palette();
    palette.setColor(QPalette::WindowText, isStale_ ? kStaleColour : kValueColour);
    sparkline->setPalette(palette);
    const QString rangeText = historyRangeText(range);
    sparkline->setAccessibleName(dayHistoryAccessibleText(range));
    sparkline->setPoints(std::make_shared<const std::vector<HistoryPoint>>(std::move(points)), span);
    layout()->addWidget(sparkline);
    layout()->addWidget(makeLabel(rangeText, "cardRange", 0.75, false, kCaptionColour, this));
}

void WidgetCard::paintEvent(QPaintEvent* /*event*/)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(255, 255, 255, 28));
    painter.drawRoundedRect(rect(), 8, 8);
}

}  // namespace telvane::widget
