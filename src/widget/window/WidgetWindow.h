#pragma once

// The small desktop window of telvane-widget --window: frameless and
// translucent, one card per entry (label small, value large, and the last
// 24 hours as a sparkline when the entry has kept points). On X11 it
// stays below other windows and out of the taskbar; on Wayland it is an
// ordinary small window. It is dragged by any point; where it was put and
// how large it was made is kept in a settings file.

#include "widget/Snapshot.h"

#include <QPoint>
#include <QString>
#include <QWidget>

class QGridLayout;
class QLabel;

namespace telvane::widget {

class WidgetCard;

class WidgetWindow final : public QWidget {
    Q_OBJECT

public:
    // `settingsPath`: the file that keeps position and size
    // ($XDG_CONFIG_HOME/telvane/widget.conf).
    explicit WidgetWindow(QString settingsPath, QWidget* parent = nullptr);

    // Replaces the cards with the snapshot's entries (or one card saying
    // why there are none).
    void showSnapshot(const Snapshot& snapshot);

    // $XDG_CONFIG_HOME/telvane/widget.conf (or ~/.config/...).
    [[nodiscard]] static QString defaultSettingsPath();

signals:
    void openTelvaneRequested();
    void painted();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    WidgetCard* addCard(int index, const QString& label, const QString& value, const QString& toolTip, bool isStale);
    void clearCards();
    void restoreGeometryFromSettings();
    void saveGeometryToSettings() const;

    QString settingsPath_;
    QGridLayout* cards_ = nullptr;
    QPoint dragOffset_;
    bool dragging_ = false;
    bool restored_ = false;
};

}  // namespace telvane::widget
