#pragma once

// A sparkline as a widget of its own (see paintSparkline), drawn in its
// foreground colour, so it follows the palette of the window it sits in.

#include "sparkline/SparklinePainter.h"

#include <QWidget>

#include <memory>
#include <optional>
#include <vector>

namespace telvane {

class Sparkline final : public QWidget {
    Q_OBJECT

public:
    using Points = std::shared_ptr<const std::vector<HistoryPoint>>;

    explicit Sparkline(QWidget* parent = nullptr);

    // Shows `points` (null as none) over `span`; repaints only when the
    // pointer or the span changed, so a caller that keeps handing out the
    // same points costs no paint.
    void setPoints(Points points, const std::optional<SparklineSpan>& span);
    [[nodiscard]] const Points& points() const { return points_; }

    [[nodiscard]] QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Points points_;
    std::optional<SparklineSpan> span_;
};

}  // namespace telvane
