#include "sparkline/SparklinePainter.h"

#include "model/JsonPath.h"

#include <QPainter>
#include <QPolygonF>

#include <algorithm>
#include <cmath>
#include <vector>

namespace telvane {

namespace {

constexpr double kLineWidth = 1.5;
constexpr double kDotRadius = 2.0;
// The band only hints at the spread; the line is what is read.
constexpr double kBandOpacity = 0.25;
constexpr double kSecondsPerDay = 24.0 * 60 * 60;

QString numberText(double value)
{
    return QString::fromStdString(formatJSONValue(Json(value)).value_or(std::string()));
}

// Where values and times land in the rect.
class Scale {
public:
    Scale(const QRectF& rect, const HistoryRange& range, double fromUnix, double toUnix)
        : rect_(rect),
          range_(range),
          fromUnix_(fromUnix),
          toUnix_(toUnix)
    {}

    [[nodiscard]] double x(double unixTime) const
    {
        if (toUnix_ <= fromUnix_) {
            return rect_.center().x();
        }
        const double share = std::clamp((unixTime - fromUnix_) / (toUnix_ - fromUnix_), 0.0, 1.0);
        return rect_.left() + share * rect_.width();
    }

    [[nodiscard]] double y(double value) const
    {
        if (range_.max <= range_.min) {
            return rect_.center().y();
        }
        const double share = std::clamp((value - range_.min) / (range_.max - range_.min), 0.0, 1.0);
        return rect_.bottom() - share * rect_.height();
    }

private:
    QRectF rect_;
    HistoryRange range_;
    double fromUnix_;
    double toUnix_;
};

bool allFinite(std::span<const HistoryPoint> points)
{
    return std::all_of(points.begin(), points.end(), [](const HistoryPoint& point) {
        return std::isfinite(point.time) && std::isfinite(point.value) && std::isfinite(point.min)
               && std::isfinite(point.max);
    });
}

void paintBand(QPainter& painter, const Scale& scale, std::span<const HistoryPoint> points, const QColor& ink)
{
    const bool spread = std::any_of(points.begin(), points.end(), [](const HistoryPoint& p) { return p.max > p.min; });
    if (!spread) {
        return;
    }
    QPolygonF band;
    band.reserve(static_cast<qsizetype>(points.size()) * 2);
    for (const auto& point : points) {
        band << QPointF(scale.x(point.time), scale.y(point.max));
    }
    for (auto point = points.rbegin(); point != points.rend(); ++point) {
        band << QPointF(scale.x(point->time), scale.y(point->min));
    }
    QColor faint = ink;
    faint.setAlphaF(static_cast<float>(static_cast<double>(ink.alphaF()) * kBandOpacity));
    painter.setPen(QPen(faint, 1.0));
    painter.setBrush(faint);
    painter.drawPolygon(band);
}

}  // namespace

void paintSparkline(QPainter& painter, const QRectF& rect, std::span<const HistoryPoint> points, const QColor& ink,
                    const std::optional<SparklineSpan>& span)
{
    const auto range = historyRange(points);
    if (!range || !allFinite(points) || rect.isEmpty()) {
        return;
    }
    // More points than pixels across only cost stroking time: merged a run
    // per pixel, the band still holds each run's spike.
    const auto columns = static_cast<std::size_t>(std::max(2.0, rect.width()));
    std::vector<HistoryPoint> thinned;
    if (points.size() > columns) {
        thinned = thinHistory({points.begin(), points.end()}, columns);
        points = thinned;
    }
    // Inset by a dot's radius, so that neither a dot nor the line at the top
    // or bottom is cut.
    const QRectF area = rect.adjusted(kDotRadius, kDotRadius, -kDotRadius, -kDotRadius);
    const Scale scale(area, *range, span ? span->fromUnix : points.front().time,
                      span ? span->toUnix : points.back().time);

    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    if (points.size() == 1) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(ink);
        painter.drawEllipse(QPointF(scale.x(points.front().time), scale.y(points.front().value)), kDotRadius,
                            kDotRadius);
        painter.restore();
        return;
    }
    paintBand(painter, scale, points, ink);
    QPolygonF line;
    line.reserve(static_cast<qsizetype>(points.size()));
    for (const auto& point : points) {
        line << QPointF(scale.x(point.time), scale.y(point.value));
    }
    QPen pen(ink, kLineWidth);
    pen.setJoinStyle(Qt::RoundJoin);
    pen.setCapStyle(Qt::RoundCap);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawPolyline(line);
    painter.restore();
}

QString historyRangeText(const HistoryRange& range)
{
    return QStringLiteral("min %1 \u00B7 max %2").arg(numberText(range.min), numberText(range.max));
}

QString dayHistoryAccessibleText(const std::optional<HistoryRange>& range)
{
    if (!range) {
        return QStringLiteral("Verlauf 24 h: keine Werte");
    }
    return QStringLiteral("Verlauf 24 h: min %1, max %2").arg(numberText(range->min), numberText(range->max));
}

SparklineSpan lastDaySpan(double nowUnix)
{
    return {nowUnix - kSecondsPerDay, nowUnix};
}

}  // namespace telvane
