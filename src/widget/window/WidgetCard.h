#pragma once

// One card of the widget window: the label small above the value large, on
// a lighter rounded background, and with a kept history a sparkline with its
// minimum and maximum under the value. Painted directly rather than styled with a
// style sheet, which would cost the window more memory than all its cards.

#include "sparkline/SparklinePainter.h"

#include <QWidget>

#include <vector>

class QLabel;

namespace telvane::widget {

class WidgetCard final : public QWidget {
    Q_OBJECT

public:
    WidgetCard(const QString& label, const QString& value, bool isStale, QWidget* parent);

    // Adds the sparkline of `points` over `span` and "min … · max …" of
    // `range` under the value. A card never shown a history keeps the
    // height of label and value alone.
    void showHistory(std::vector<HistoryPoint> points, const HistoryRange& range, const SparklineSpan& span);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool isStale_;
};

}  // namespace telvane::widget
