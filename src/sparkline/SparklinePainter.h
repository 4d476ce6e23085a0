#pragma once

// Drawing a value's kept history as a sparkline, and the texts that go with
// it. Both Qt programs draw it the same way: the settings window beside each
// display item, the widget window under each card's value.

#include "model/History.h"

#include <QColor>
#include <QRectF>
#include <QString>

#include <optional>
#include <span>

class QPainter;

namespace telvane {

// The stretch of time a sparkline spans, in Unix seconds.
struct SparklineSpan {
    double fromUnix = 0;
    double toUnix = 0;
};

// Paints `points` (oldest first) into `rect`: the values as a line in `ink`
// and, faintly behind it, each point's min..max as a band, so a spike merged
// into a point still shows. The range of all points' min and max fills the
// height. Across, a point sits at its time within `span` (times outside it
// at its edges), or without a span between the first and the last point's
// time. A flat series is a line across the middle, a single point a dot, no
// points (or a value that is no finite number) nothing at all.
void paintSparkline(QPainter& painter, const QRectF& rect, std::span<const HistoryPoint> points, const QColor& ink,
                    const std::optional<SparklineSpan>& span = std::nullopt);

// "min 17.2 · max 21.5": each number written as a card or row shows a
// value of a payload (the shortest text that reads back, with ".").
[[nodiscard]] QString historyRangeText(const HistoryRange& range);

// What a screen reader says for a sparkline of the last 24 hours:
// "Verlauf 24 h: min 17.2, max 21.5", or "Verlauf 24 h: keine Werte".
[[nodiscard]] QString dayHistoryAccessibleText(const std::optional<HistoryRange>& range);

// The last 24 hours up to `nowUnix`, the span both windows show.
[[nodiscard]] SparklineSpan lastDaySpan(double nowUnix);

}  // namespace telvane
