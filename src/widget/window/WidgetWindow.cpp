#include "widget/window/WidgetWindow.h"

#include "widget/TextFormats.h"
#include "widget/WidgetText.h"
#include "widget/window/WidgetCard.h"

#include <QContextMenuEvent>
#include <QGridLayout>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QSettings>
#include <QSizeGrip>
#include <QStandardPaths>
#include <QVBoxLayout>

namespace telvane::widget {

namespace {

constexpr int kColumns = 3;
constexpr std::size_t kLabelLength = 28;
constexpr std::size_t kValueLength = 24;

QString qText(const std::string& text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

WidgetWindow::WidgetWindow(QString settingsPath, QWidget* parent)
    : QWidget(parent),
      settingsPath_(std::move(settingsPath))
{
    setObjectName(QStringLiteral("telvaneWidgetWindow"));
    setWindowTitle(QStringLiteral("Telvane Widget"));
    Qt::WindowFlags flags = Qt::FramelessWindowHint;
    // X11 lets a window ask to stay below the others and out of the taskbar
    // (a tool window); Wayland compositors decide that themselves.
    if (QGuiApplication::platformName() == QLatin1String("xcb")) {
        flags |= Qt::Tool | Qt::WindowStaysOnBottomHint;
    }
    setWindowFlags(flags);
    setAttribute(Qt::WA_TranslucentBackground);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(10, 10, 4, 4);
    cards_ = new QGridLayout;
    cards_->setSpacing(8);
    outer->addLayout(cards_);
    auto* grip = new QSizeGrip(this);
    outer->addWidget(grip, 0, Qt::AlignBottom | Qt::AlignRight);
    restoreGeometryFromSettings();
}

QString WidgetWindow::defaultSettingsPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
           + QStringLiteral("/telvane/widget.conf");
}

void WidgetWindow::clearCards()
{
    while (QLayoutItem* item = cards_->takeAt(0)) {
        delete item->widget();
        delete item;
    }
}

WidgetCard* WidgetWindow::addCard(int index, const QString& label, const QString& value, const QString& toolTip,
                                  bool isStale)
{
    auto* card = new WidgetCard(label, value, isStale, this);
    card->setToolTip(toolTip);
    // Top-aligned: a card without a sparkline beside one with keeps its own
    // height instead of stretching to the row's.
    cards_->addWidget(card, index / kColumns, index % kColumns, Qt::AlignTop);
    return card;
}

void WidgetWindow::showSnapshot(const Snapshot& snapshot)
{
    setUpdatesEnabled(false);
    clearCards();
    if (snapshot.entries.empty()) {
        addCard(0, QStringLiteral("Telvane"), qText(stateText(snapshot)), qText(stateExplanation(snapshot)), false);
    }
    int index = 0;
    for (const auto& entry : snapshot.entries) {
        std::string value = barValueText(entry, kValueLength);
        if (entry.isStale && entry.ageSeconds) {
            value += " (" + shortAgeText(*entry.ageSeconds) + ")";
        }
        std::string toolTip = entry.topic;
        if (entry.path) {
            toolTip += " \xE2\x86\x92 " + *entry.path;
        }
        toolTip += "\n" + (entry.ageSeconds ? ageText(*entry.ageSeconds) : std::string("keine Nachricht"));
        WidgetCard* card = addCard(index++, qText(cutText(oneLine(entry.label), kLabelLength)), qText(value),
                                   qText(toolTip), entry.isStale);
        if (!entry.history.empty() && entry.historyRange) {
            card->showHistory(entry.history, *entry.historyRange, lastDaySpan(snapshot.nowUnix));
        }
    }
    setUpdatesEnabled(true);
    if (!restored_) {
        adjustSize();
    }
}

void WidgetWindow::paintEvent(QPaintEvent* /*event*/)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(24, 26, 30, 200));
    painter.drawRoundedRect(rect(), 12, 12);
    emit painted();
}

void WidgetWindow::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        dragging_ = true;
        dragOffset_ = event->globalPosition().toPoint() - frameGeometry().topLeft();
    }
    QWidget::mousePressEvent(event);
}

void WidgetWindow::mouseMoveEvent(QMouseEvent* event)
{
    if (dragging_ && (event->buttons() & Qt::LeftButton) != 0) {
        move(event->globalPosition().toPoint() - dragOffset_);
    }
    QWidget::mouseMoveEvent(event);
}

void WidgetWindow::mouseReleaseEvent(QMouseEvent* event)
{
    if (dragging_ && event->button() == Qt::LeftButton) {
        dragging_ = false;
        saveGeometryToSettings();
    }
    QWidget::mouseReleaseEvent(event);
}

void WidgetWindow::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    // Only a size the user chose is kept, not the one the cards asked for.
    if (isVisible() && QGuiApplication::mouseButtons() != Qt::NoButton) {
        restored_ = true;
        saveGeometryToSettings();
    }
}

void WidgetWindow::contextMenuEvent(QContextMenuEvent* event)
{
    QMenu menu(this);
    menu.addAction(QStringLiteral("Telvane öffnen"), this, &WidgetWindow::openTelvaneRequested);
    menu.addSeparator();
    menu.addAction(QStringLiteral("Schließen"), this, &QWidget::close);
    menu.exec(event->globalPos());
}

void WidgetWindow::restoreGeometryFromSettings()
{
    QSettings settings(settingsPath_, QSettings::IniFormat);
    const QVariant position = settings.value(QStringLiteral("window/position"));
    if (position.canConvert<QPoint>()) {
        move(position.toPoint());
    }
    const QSize size = settings.value(QStringLiteral("window/size")).toSize();
    if (size.isValid()) {
        resize(size);
        restored_ = true;  // the user's size, not the cards'
    }
}

void WidgetWindow::saveGeometryToSettings() const
{
    QSettings settings(settingsPath_, QSettings::IniFormat);
    settings.setValue(QStringLiteral("window/position"), pos());
    if (restored_) {
        settings.setValue(QStringLiteral("window/size"), size());
    }
}

}  // namespace telvane::widget
