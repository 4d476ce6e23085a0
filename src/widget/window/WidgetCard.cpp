#include "widget/window/WidgetCard.h"

#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>

namespace telvane::widget {

namespace {

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

WidgetCard::WidgetCard(const QString& label, const QString& value, bool isStale, QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("card"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(10, 6, 10, 8);
    layout->setSpacing(0);
    layout->addWidget(makeLabel(label, "cardLabel", 0.85, false, QColor(200, 200, 200), this));
    layout->addWidget(
        makeLabel(value, "cardValue", 1.6, true, isStale ? QColor(154, 154, 154) : QColor(255, 255, 255), this));
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
