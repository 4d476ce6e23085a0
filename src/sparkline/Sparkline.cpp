#include "sparkline/Sparkline.h"

#include <QPainter>

namespace telvane {

namespace {

bool sameSpan(const std::optional<SparklineSpan>& a, const std::optional<SparklineSpan>& b)
{
    return a.has_value() == b.has_value() && (!a || (a->fromUnix == b->fromUnix && a->toUnix == b->toUnix));
}

}  // namespace

Sparkline::Sparkline(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("sparkline"));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void Sparkline::setPoints(Points points, const std::optional<SparklineSpan>& span)
{
    if (points == points_ && sameSpan(span, span_)) {
        return;
    }
    points_ = std::move(points);
    span_ = span;
    update();
}

QSize Sparkline::sizeHint() const
{
    return {120, 28};
}

void Sparkline::paintEvent(QPaintEvent* /*event*/)
{
    if (!points_) {
        return;
    }
    QPainter painter(this);
    paintSparkline(painter, contentsRect(), *points_, palette().color(foregroundRole()), span_);
}

}  // namespace telvane
