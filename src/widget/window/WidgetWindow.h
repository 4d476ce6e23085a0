#pragma once

// The small desktop window of telvane-widget --window: frameless and
// translucent, one card per entry (label small, value large). On X11 it
// stays below other windows and out of the taskbar; on Wayland it is an
// ordinary small window. It is dragged by any point; where it was put and
// how large it was made is kept in a settings file.

#include "widget/Snapshot.h"

#include <QPoint>
#include <QString>
#include <QWidget>

#include <string>
#include <vector>

class QGridLayout;

namespace telvane::widget {

// What one card shows.
struct CardText {
    std::string label;
    std::string value;
    std::string toolTip;
    bool isStale = false;
};

// The cards of a snapshot: one per entry, or one saying why there are none.
[[nodiscard]] std::vector<CardText> cardsFor(const Snapshot& snapshot);

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
