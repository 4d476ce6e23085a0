#include "widget/window/WidgetWindow.h"

#include "widget/TextFormats.h"
#include "widget/WidgetText.h"
#include "widget/window/WidgetCard.h"
#include "widget/window/X11Desktop.h"

#include <QContextMenuEvent>
#include <QGridLayout>
#include <QGuiApplication>
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
    // X11 lets a window ask to stay below the others, on every workspace
    // and out of the taskbar; Wayland compositors decide that themselves.
    const bool onX11 = QGuiApplication::platformName() == QLatin1String("xcb");
    setWindowFlags(onX11 ? Qt::FramelessWindowHint | Qt::Tool | Qt::WindowStaysOnBottomHint : Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);
    if (onX11) {
        keepOnEveryWorkspace(*this);  // after the attribute: it picks the window's visual
    }

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

std::vector<CardText> cardsFor(const Snapshot& snapshot)
{
    std::vector<CardText> cards;
    if (snapshot.entries.empty()) {
        cards.push_back({"Telvane", stateText(snapshot), stateExplanation(snapshot), false});
    }
    for (const auto& entry : snapshot.entries) {
        CardText card{cutText(oneLine(entry.label), kLabelLength), barValueText(entry, kValueLength), entry.topic,
                      entry.isStale};
        if (entry.isStale && entry.ageSeconds) {
            card.value += " (" + shortAgeText(*entry.ageSeconds) + ")";
        }
        if (entry.path) {
            card.toolTip += " \xE2\x86\x92 " + *entry.path;
        }
        card.toolTip += "\n" + (entry.ageSeconds ? ageText(*entry.ageSeconds) : std::string("keine Nachricht"));
        cards.push_back(std::move(card));
    }
    return cards;
}

void WidgetWindow::showSnapshot(const Snapshot& snapshot)
{
    setUpdatesEnabled(false);
    clearCards();
    int index = 0;
    for (const auto& text : cardsFor(snapshot)) {
        auto* card = new WidgetCard(qText(text.label), qText(text.value), text.isStale, this);
        card->setToolTip(qText(text.toolTip));
        cards_->addWidget(card, index / kColumns, index % kColumns);
        ++index;
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
