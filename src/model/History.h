#pragma once

// The kept history of the values the widget shows. A series is the numbers
// at one path of one topic's payloads: one per display item, and, while no
// display item exists, one per configured topic whose whole payload is a
// number (the empty path). The store keeps at most one point per series
// every 10 seconds for a day and one every 5 minutes for a week (see
// StoreSchema.h); a read hands out at most a given number of points, merged
// evenly when the span holds more.

#include "model/Records.h"

#include <compare>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace telvane {

// One kept point of a series: the newest value of its interval with the
// interval's smallest and largest value, so a spike is not lost.
struct HistoryPoint {
    double time = 0;  // Unix seconds of the newest value's arrival
    double value = 0;
    double min = 0;
    double max = 0;

    bool operator==(const HistoryPoint&) const = default;
};

// The key of a series. `path` is a display item's dotted path as written
// (see JsonPath.h); empty for a topic whose whole payload is the number.
struct HistorySeries {
    std::string topic;
    std::string path;

    auto operator<=>(const HistorySeries&) const = default;
};

// The series kept for these display items (each item's topic and path, but
// for paths that address no value), or while there are none for these
// configured topics (each with the empty path). Sorted, without duplicates.
[[nodiscard]] std::vector<HistorySeries> wantedHistorySeries(const std::vector<std::string>& topics,
                                                             const std::vector<MQTTDisplayItem>& items);

// The most points a read hands out per series: a 24 hour span of 5 minute
// points fits, and a drawing of a few hundred pixels needs no more.
inline constexpr std::size_t kMaxHistoryPoints = 300;

// The smallest and largest value of a run of points.
struct HistoryRange {
    double min = 0;
    double max = 0;

    bool operator==(const HistoryRange&) const = default;
};

// The range over the points' min and max (so a spike merged away still
// counts); no value without points.
[[nodiscard]] std::optional<HistoryRange> historyRange(std::span<const HistoryPoint> points);

// `points` (oldest first) merged to at most `maxPoints`: consecutive runs of
// about equal length become one point each, with the run's newest time and
// value, the smallest min and the largest max. Fewer points come back as
// they are; `maxPoints` 0 gives none.
[[nodiscard]] std::vector<HistoryPoint> thinHistory(std::vector<HistoryPoint> points, std::size_t maxPoints);

}  // namespace telvane
