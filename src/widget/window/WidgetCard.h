#pragma once

// One card of the widget window: the label small above the value large, on
// a lighter rounded background. Painted directly rather than styled with a
// style sheet, which would cost the window more memory than all its cards.

#include <QWidget>

class QLabel;

namespace telvane::widget {

class WidgetCard final : public QWidget {
    Q_OBJECT

public:
    WidgetCard(const QString& label, const QString& value, bool isStale, QWidget* parent);

protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace telvane::widget
